#include "releaseworker.h"

#include "appdir.h"
#include "durable.h"
#include "filehash.h"
#include "releaseformat.h"
#include "releaseworker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace {

// Names beside the installed file while it is being replaced. They sit in
// the destination's own directory, so that putting a file in place or back
// is a rename within one volume, which cannot leave half a file.
const QLatin1String IncomingSuffix(".vt3-new");
const QLatin1String OutgoingSuffix(".vt3-old");
// Piece size of a copy to another volume.
constexpr int CopyChunkBytes = 256 * 1024;

QString besideName(const QString &path, const QLatin1String &suffix)
{
    const QFileInfo info(path);
    return info.path() + QLatin1String("/.") + info.fileName() + suffix;
}

bool isPresent(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Removes a leftover of an earlier run that was broken off mid-install.
bool clearName(const QString &path)
{
    return !isPresent(path) || QFile::remove(path);
}

// Only a plain file may be replaced. A directory, a link or a device of
// that name is the user's: setting it aside and clearing the work directory
// afterwards would take its contents with it.
bool isReplaceable(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return false;
    return !info.exists() || info.isFile();
}

// The modes a new file takes over from the one it replaces: the release
// carries none, and the client must stay executable where the system asks
// for that, but a read-only bit would make the new file one that later
// runs cannot replace or remove.
void takeOverModes(const QString &newFile, const QString &oldFile)
{
    QFile::setPermissions(newFile, QFile::permissions(oldFile) | QFileDevice::WriteOwner | QFileDevice::WriteUser);
}

bool isSameFile(const QString &installed, const QString &fresh)
{
    const QFileInfo installedInfo(installed);
    if (!installedInfo.isFile() || installedInfo.size() != QFileInfo(fresh).size())
        return false;
    const QString installedDigest = vt3::md5OfFile(installed);
    return !installedDigest.isEmpty() && installedDigest == vt3::md5OfFile(fresh);
}

// One rename within a volume: never over an existing name, and never the
// copy that QFile::rename (and QDir::rename, which calls it) falls back to
// between volumes.
bool renameOnly(const QString &source, const QString &target, bool *busy = nullptr)
{
    return !isPresent(target) && vt3::renameFile(source, target, false, busy);
}

// Moves a file without ever overwriting `target`. Within a volume this is
// one rename. Across volumes it is a copy: the one QFile::rename makes goes
// through a buffer whose last piece is flushed without looking, so a disk
// that fills up at the very end leaves a cut-off file reported as moved;
// here every write is checked, and the source goes only once the copy is
// whole.
bool moveFile(const QString &source, const QString &target, bool *busy = nullptr)
{
    bool held = false;
    if (renameOnly(source, target, &held))
        return true;
    if (held) {
        if (busy)
            *busy = true;
        return false;
    }
    if (isPresent(target))
        return false;

    QFile in(source);
    QFile out(target);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;
    QByteArray chunk(CopyChunkBytes, Qt::Uninitialized);
    qint64 copied = 0;
    bool whole = true;
    for (;;) {
        const qint64 got = in.read(chunk.data(), chunk.size());
        if (got <= 0) {
            whole = got == 0;
            break;
        }
        if (out.write(chunk.constData(), got) != got) {
            whole = false;
            break;
        }
        copied += got;
    }
    out.close();
    whole = whole && copied == in.size() && out.error() == QFileDevice::NoError;
    in.close();
    if (whole)
        QFile::setPermissions(target, QFile::permissions(source));
    if (!whole || !QFile::remove(source)) {
        QFile::remove(target);
        return false;
    }
    return true;
}

// Brings `source` beside `destination` under the incoming name. Across
// volumes a move is a copy, the one step of an installation that can fail
// half way (a full disk), so every file of the release is staged like this
// before any installed file is touched.
bool stageFile(const QString &source, const QString &destination, QSet<QString> &madeDirs, bool *busy)
{
    // Many files share a few directories; each is made (or found) once.
    const QString dir = QFileInfo(destination).path();
    if (!madeDirs.contains(dir)) {
        if (!QDir().mkpath(dir))
            return false;
        madeDirs.insert(dir);
    }
    const QString incoming = besideName(destination, IncomingSuffix);
    if (!clearName(incoming))
        return false;
    return moveFile(source, incoming, busy);
}

#ifdef Q_OS_WIN
// The running updater's own file, which Windows lets rename but not delete
// while it runs.
bool isOwnExecutable(const QString &path)
{
    const QString own = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    return !own.isEmpty() && QFileInfo(path).canonicalFilePath().compare(own, Qt::CaseInsensitive) == 0;
}

// A release that replaced the updater left its old copy beside the new
// one (see swapIn); the process that ran it has ended by the next start.
void removeOwnOldCopy()
{
    const QString oldCopy = besideName(QCoreApplication::applicationFilePath(), OutgoingSuffix);
    if (!QFileInfo::exists(oldCopy))
        return;
    QFile::setPermissions(oldCopy, QFile::permissions(oldCopy) | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    QFile::remove(oldCopy);
}
Q_COREAPP_STARTUP_FUNCTION(removeOwnOldCopy)
#endif

// Puts the staged file at `destination` by renames within its directory.
// The old file is set aside first and only dropped once the new one is in
// place; when anything fails on the way, the old file is where it was. An
// old file that cannot be deleted afterwards is kept as `backup`.
bool swapIn(const QString &destination, const QString &backup, bool *busy)
{
    const QString incoming = besideName(destination, IncomingSuffix);
    const QString outgoing = besideName(destination, OutgoingSuffix);
    if (!isPresent(destination)) {
        // A run killed between setting the old file aside and putting the
        // new one in place left the old one under the outgoing name; it
        // still tells which modes the installed file had.
        if (QFileInfo(outgoing).isFile())
            takeOverModes(incoming, outgoing);
        if (renameOnly(incoming, destination, busy))
            return true;
        QFile::remove(incoming);
        return false;
    }

    if (QFileInfo(destination).isFile())
        takeOverModes(incoming, destination);

    // A file another program keeps open without delete sharing cannot be
    // renamed: it stays, and the next start unpacks the new one again.
    if (!clearName(outgoing) || !renameOnly(destination, outgoing, busy)) {
        QFile::remove(incoming);
        return false;
    }
    if (!renameOnly(incoming, destination, busy)) {
        renameOnly(outgoing, destination);
        QFile::remove(incoming);
        return false;
    }

    // Windows refuses to delete a read-only file.
    QFile::setPermissions(outgoing, QFile::permissions(outgoing) | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    if (!QFile::remove(outgoing)) {
#ifdef Q_OS_WIN
        // The updater replacing itself: the work directory, cleared at the
        // end of this run, could not take the running copy either, so it
        // stays beside the new one until the next start.
        if (isOwnExecutable(destination))
            return true;
#endif
        // Still in use, or not a plain file: keep it out of the way where
        // the end of the run clears it up.
        clearName(backup);
        moveFile(outgoing, backup);
    }
    return true;
}

// The directories whose entries an installation changed: those of the
// installed files, and above them up to the application directory those
// that may have been made for them.
QStringList directoriesUpTo(const QString &root, const QStringList &files)
{
    QSet<QString> dirs;
    if (!files.isEmpty())
        dirs.insert(root);
    for (const QString &file : files) {
        for (QString dir = QFileInfo(file).path(); dir.size() > root.size() && !dirs.contains(dir);
             dir = QFileInfo(dir).path())
            dirs.insert(dir);
    }
    return QStringList(dirs.cbegin(), dirs.cend());
}

} // namespace

namespace vt3 {

InstallReport installRelease(const InstallJob &job, const std::atomic<bool> &cancelled)
{
    InstallReport report;
    const QDir appDir(job.appDir);
    const QSet<QString> changed(job.knownChanged.cbegin(), job.knownChanged.cend());
    const QSet<QString> inPlace(job.upToDate.cbegin(), job.upToDate.cend());

    QStringList staged;
    QSet<QString> madeDirs;
    // Nothing installed has changed yet; the staged copies go, and the next
    // start unpacks them again.
    const auto abandon = [&](const QString &destination, bool busy) {
        if (!destination.isEmpty())
            report.failed << destination;
        if (busy)
            report.busy << destination;
        for (const QString &done : qAsConst(staged))
            QFile::remove(besideName(done, IncomingSuffix));
    };
    for (const QString &installName : job.installNames) {
        // Closing the window stops here, between files: what is staged goes
        // back, and the work directory still holds every unpacked file.
        if (cancelled) {
            abandon(QString(), false);
            return report;
        }
        const QString source = job.workDir + QLatin1Char('/') + installName;
        const QString destination = appDir.absoluteFilePath(installName);

        if (!isReplaceable(destination)) {
            abandon(destination, false);
            return report;
        }
        // A file found in place stays; one the manifest's unpacked MD5
        // showed to differ is replaced without hashing it again. Without
        // that knowledge the two files are compared.
        if (inPlace.contains(installName) || (!changed.contains(installName) && isSameFile(destination, source))) {
            // What a killed run left beside the file is not needed once the
            // release's file is in place.
            clearName(besideName(destination, OutgoingSuffix));
            clearName(besideName(destination, IncomingSuffix));
            continue;
        }
        bool busy = false;
        if (!stageFile(source, destination, madeDirs, &busy)) {
            abandon(destination, busy);
            return report;
        }
        staged << destination;
    }

    // Every staged file reaches the device before the first takes its name:
    // a crash after the renames below must not leave a name whose bytes
    // never got there. Flushed all together, the device writes them in one
    // go instead of waiting for each in turn between renames.
    QStringList incoming;
    incoming.reserve(staged.size());
    for (const QString &destination : qAsConst(staged))
        incoming << besideName(destination, IncomingSuffix);
    bool busy = false;
    const int unflushed = flushFiles(incoming, &busy);
    if (unflushed >= 0) {
        abandon(staged.at(unflushed), busy);
        return report;
    }

    // From here on every step is a rename; the swap runs to its end.
    report.allInstalled = true;
    for (const QString &destination : qAsConst(staged)) {
        const QString relative = appDir.relativeFilePath(destination);
        const QString backup = job.workDir + QLatin1Char('/') + relative + QLatin1String(".bak");
        busy = false;
        if (!swapIn(destination, backup, &busy)) {
            report.failed << destination;
            if (busy)
                report.busy << destination;
            report.allInstalled = false;
            continue;
        }
        clearName(besideName(destination, OutgoingSuffix));
    }

    // The renames are durable only once their directories are; until then
    // the run does not count as finished.
    const QStringList dirs = directoriesUpTo(appDir.absolutePath(), staged);
    const int unsynced = syncDirectories(dirs);
    if (unsynced >= 0) {
        report.failed << dirs.at(unsynced);
        report.allInstalled = false;
    }
    return report;
}

QStringList removeDirContents(const QString &path)
{
    QStringList left;
    QDir dir(path);
    const QFileInfoList files =
        dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &file : files) {
        if (!QFile::remove(file.absoluteFilePath()))
            left << file.absoluteFilePath();
    }

    const QFileInfoList dirs =
        dir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &sub : dirs) {
        // A link is removed as a link; following it would empty whatever
        // directory it points to.
        if (sub.isSymLink()) {
            if (!QFile::remove(sub.absoluteFilePath()))
                left << sub.absoluteFilePath();
            continue;
        }
        left << removeDirContents(sub.absoluteFilePath());
        dir.rmdir(sub.fileName());
    }
    return left;
}

} // namespace vt3
