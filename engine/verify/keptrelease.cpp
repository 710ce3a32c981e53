#include "keptrelease.h"

#include "install/durable.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace vt3 {

namespace {
const QLatin1String ManifestName("vt3update.manifest");
const QLatin1String SignatureName("vt3update.manifest.sig");
const QLatin1String StatsName("vt3update.files");
// One line a file: size, modification time in ms since 1970, name. The name
// is last, so that it may hold anything but a line break.
constexpr char Separator = '\t';
constexpr int StatFields = 3;

QString inDir(const QString &appDir, const QString &name)
{
    return appDir + QLatin1Char('/') + name;
}
} // namespace

QString keptManifestPath(const QString &appDir)
{
    return inDir(appDir, ManifestName);
}

QString keptSignaturePath(const QString &appDir)
{
    return inDir(appDir, SignatureName);
}

QString installedStatsPath(const QString &appDir)
{
    return inDir(appDir, StatsName);
}

InstalledStats statInstalled(const QString &appDir, const QStringList &names)
{
    InstalledStats stats;
    for (const QString &name : names) {
        const QFileInfo info(inDir(appDir, name));
        if (!info.isFile())
            continue;
        stats.insert(name, InstalledStat{info.size(), info.lastModified().toMSecsSinceEpoch()});
    }
    return stats;
}

bool keepRelease(const QString &appDir, const QByteArray &manifest, const QByteArray &signature,
                 const InstalledStats &stats)
{
    QByteArray text;
    for (auto it = stats.cbegin(); it != stats.cend(); ++it)
        text += QByteArray::number(it->size) + Separator + QByteArray::number(it->modifiedMs) + Separator +
                it.key().toUtf8() + '\n';
    bool kept = writeFileDurably(installedStatsPath(appDir), text);
    if (signature.isEmpty())
        QFile::remove(keptSignaturePath(appDir));
    else
        kept = writeFileDurably(keptSignaturePath(appDir), signature) && kept;
    // The manifest last: whoever finds it finds the others of the same run.
    return writeFileDurably(keptManifestPath(appDir), manifest) && kept;
}

InstalledStats readInstalledStats(const QString &appDir)
{
    InstalledStats stats;
    QFile file(installedStatsPath(appDir));
    if (!file.open(QIODevice::ReadOnly))
        return stats;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(Separator);
        if (fields.size() < StatFields)
            continue;
        bool sizeOk = false;
        bool timeOk = false;
        const InstalledStat stat{fields.at(0).toLongLong(&sizeOk), fields.at(1).toLongLong(&timeOk)};
        // A name may hold the separator; it is everything after the second.
        const QString name = QString::fromUtf8(line.mid(fields.at(0).size() + fields.at(1).size() + 2));
        if (sizeOk && timeOk && stat.size >= 0 && !name.isEmpty())
            stats.insert(name, stat);
    }
    return stats;
}

} // namespace vt3
