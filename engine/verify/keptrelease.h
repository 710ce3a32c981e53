#ifndef KEPTRELEASE_H
#define KEPTRELEASE_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

namespace vt3 {

// The installed release as the last completed run left it, kept beside
// vt3update.state: the verified manifest, its signature, and each
// installed file's size and modification time right after the install.
// Without it nobody could tell later that a file went missing or changed.
QString keptManifestPath(const QString &appDir);
QString keptSignaturePath(const QString &appDir);
QString installedStatsPath(const QString &appDir);

struct InstalledStat
{
    qint64 size = -1;
    qint64 modifiedMs = 0;
    bool operator==(const InstalledStat &other) const { return size == other.size && modifiedMs == other.modifiedMs; }
};

// install name -> what the file looked like
using InstalledStats = QHash<QString, InstalledStat>;

// Size and time of each named file below `appDir`; files that are not
// there are left out.
InstalledStats statInstalled(const QString &appDir, const QStringList &names);

// Writes the three files, each durably; `signature` empty when the release
// was not verified (then no kept signature stays). False when any cannot
// be written.
bool keepRelease(const QString &appDir, const QByteArray &manifest, const QByteArray &signature,
                 const InstalledStats &stats);

// What keepRelease wrote; an unreadable or damaged file reads as empty.
InstalledStats readInstalledStats(const QString &appDir);

} // namespace vt3

#endif // KEPTRELEASE_H
