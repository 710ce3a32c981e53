// Arbitrary bytes as mirrors.ini, read as the update button reads it.
#include "mirrorlist.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

// Beyond this the straightforward reading below is too slow to compare
// with on every input; the list itself has no such limit.
constexpr int OracleMaxSize = 256;

// The plain reading of the format, entry by entry.
QMap<QString, int> readEveryEntry(const QString &path, int size)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.allKeys();
    QMap<QString, int> mirrors;
    for (int i = 1; i < size; ++i) {
        const QString name = settings.value(QStringLiteral("mirrors/%1/mirror").arg(i)).toString();
        mirrors.insert(settings.value(name + QLatin1String("/url")).toString(),
                       settings.value(name + QLatin1String("/retries"), 0).toInt());
    }
    return mirrors;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static quint64 serial = 0;
    // QSettings caches what it parsed per file name and trusts the size and
    // time stamp; a fresh name per input keeps one input from reading the
    // last one's settings.
    const QString path = dir.path() + QStringLiteral("/mirrors-%1.ini").arg(++serial);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            __builtin_trap();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }

    const QMap<QString, int> mirrors = vt3::readMirrorList(path);
    QSettings whole(path, QSettings::IniFormat);
    whole.allKeys();
    const int listSize = whole.value(QStringLiteral("mirrors/size"), 0).toInt();
    if (listSize <= OracleMaxSize && mirrors != readEveryEntry(path, listSize))
        __builtin_trap();
    if (listSize <= 1 && !mirrors.isEmpty())
        __builtin_trap();
    QFile::remove(path);
    return 0;
}
