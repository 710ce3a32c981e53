#include "mirrorlist.h"

#include <QSettings>
#include <QStringList>
#include <QVector>

#include <algorithm>

namespace {

void insertMirror(QSettings &settings, const QString &name, QMap<QString, int> &mirrors)
{
    // An empty name makes these "/url" and "/retries", which QSettings
    // reads as the top-level keys of [General].
    const QString url = settings.value(name + QLatin1String("/url")).toString();
    const int retries = settings.value(name + QLatin1String("/retries"), 0).toInt();
    mirrors.insert(url, retries);
}

// Six connections are what browsers open to one server, what the network
// framework allows itself, and what web servers expect of one client.
constexpr int DefaultParallelTransfers = 6;
// More would only wait in the framework's queue for one of its six
// connections; a queued request may be handed a connection the server is
// closing.
constexpr int MaxParallelTransfers = 6;

} // namespace

namespace vt3 {

int readParallelTransfers(const QString &iniPath)
{
    const QSettings settings(iniPath, QSettings::IniFormat);
    bool ok = false;
    const int parallel = settings.value(QStringLiteral("transfers/parallel")).toString().trimmed().toInt(&ok, 10);
    if (!ok)
        return DefaultParallelTransfers;
    return qBound(1, parallel, MaxParallelTransfers);
}

bool readHttp2Allowed(const QString &iniPath)
{
    const QSettings settings(iniPath, QSettings::IniFormat);
    const QString value = settings.value(QStringLiteral("transfers/http2")).toString().trimmed().toLower();
    // Only a plain no turns it off: a typo must not cost every user the
    // multiplexed transfers.
    static const QStringList off{QStringLiteral("off"), QStringLiteral("false"), QStringLiteral("no"),
                                 QStringLiteral("0")};
    return !off.contains(value);
}

QMap<QString, int> readMirrorList(const QString &iniPath)
{
    QSettings settings(iniPath, QSettings::IniFormat);
    // QSettings parses an INI file section by section as keys are asked
    // for; with stray zero bytes or broken section headers that lazy
    // reading misses keys that a full reading finds. Listing every key
    // first makes each lookup below see the whole file.
    settings.allKeys();
    const int size = settings.value(QStringLiteral("mirrors/size"), 0).toInt();

    // The entry count is one more than the number of entries: 1 .. size-1.
    // Only entries that are there are visited, so a size of two billion
    // costs no more than the file's own lines; every run of absent numbers
    // stands for the top-level entry, read where the run lies.
    settings.beginGroup(QStringLiteral("mirrors"));
    const QStringList groups = settings.childGroups();
    settings.endGroup();
    QVector<int> present;
    for (const QString &group : groups) {
        bool ok = false;
        const int index = group.toInt(&ok, 10);
        if (ok && index >= 1 && index < size && QString::number(index) == group)
            present.append(index);
    }
    std::sort(present.begin(), present.end());

    QMap<QString, int> mirrors;
    const QString topLevel;
    int next = 1;
    for (const int index : qAsConst(present)) {
        if (index > next)
            insertMirror(settings, topLevel, mirrors);
        const QString name = settings.value(QStringLiteral("mirrors/%1/mirror").arg(index)).toString();
        insertMirror(settings, name, mirrors);
        next = index + 1;
    }
    if (next < size)
        insertMirror(settings, topLevel, mirrors);
    return mirrors;
}

} // namespace vt3
