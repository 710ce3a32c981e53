#include "releaseworker.h"

#include "binarypatch.h"
#include "durable.h"
#include "leftovers.h"
#include "trailingunpack.h"
#include "workerstream.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

#ifdef Q_OS_WIN
#include <QVector>
#include <windows.h>

#include <algorithm>
#include <utility>
#else
#include <sys/stat.h>
#endif

namespace vt3 {

namespace {

#ifndef Q_OS_WIN
qint64 nanoseconds(qint64 seconds, qint64 nanos)
{
    return seconds * 1000000000LL + nanos;
}
#endif

// Puts a finished file at `target`, over whatever plain file is there (a
// leftover of an earlier run, or the download it was unpacked from).
bool replaceWith(const QString &finished, const QString &target)
{
    const QFileInfo existing(target);
    if ((existing.exists() || existing.isSymLink()) && !QFile::remove(target))
        return false;
    return QFile::rename(finished, target);
}

#ifdef Q_OS_WIN
// Asks Windows to delete `path` when it next starts; only an administrator
// may, so this fails for most users.
bool removeAtRestart(const QString &path)
{
    return ::MoveFileExW(longPath(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

// What the clear-up could not delete is a file some process still runs or
// has loaded (Windows refuses to delete those): each is handed to the next
// restart, and so are the directories holding them, so that the work
// directory does not outlive the run. Returns each file and whether that
// worked.
QVector<std::pair<QString, bool>> removeLeftAtRestart(const QString &workDir, const QStringList &left)
{
    QVector<std::pair<QString, bool>> files;
    QSet<QString> dirs;
    for (const QString &file : left) {
        files.append({file, removeAtRestart(file)});
        for (QString dir = QFileInfo(file).path(); dir.size() > workDir.size(); dir = QFileInfo(dir).path())
            dirs.insert(dir);
    }
    // A directory goes at restart only when it is empty by then: the files
    // are handed over first, then each directory before the one holding it.
    QStringList ordered(dirs.cbegin(), dirs.cend());
    std::sort(ordered.begin(), ordered.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    ordered << workDir;
    for (const QString &dir : qAsConst(ordered))
        removeAtRestart(dir);
    return files;
}
#endif

} // namespace

bool FileIdentity::operator==(const FileIdentity &other) const
{
    return size == other.size && device == other.device && inode == other.inode && modifiedNs == other.modifiedNs &&
           changedNs == other.changedNs;
}

FileIdentity identityOf(const QString &path)
{
    FileIdentity identity;
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    if (!info.isFile())
        return identity;
    identity.size = info.size();
    identity.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
    identity.changedNs = info.metadataChangeTime().toMSecsSinceEpoch() * 1000000;
#else
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return identity;
    identity.size = info.st_size;
    identity.device = quint64(info.st_dev);
    identity.inode = quint64(info.st_ino);
    identity.modifiedNs = nanoseconds(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    identity.changedNs = nanoseconds(info.st_ctim.tv_sec, info.st_ctim.tv_nsec);
#endif
    return identity;
}

ReleaseWorker::ReleaseWorker(QObject *parent)
    : QObject(parent)
{
    // Streams are unpacked one after the other, in the order their
    // transfers were answered: a second unpacker only competes with the
    // first for the disk, and the order keeps the space a run needs at a
    // time what it was.
    trailPool.setMaxThreadCount(1);
    digestHelper.setMaxThreadCount(1);
    qRegisterMetaType<vt3::CheckedFile>();
    qRegisterMetaType<vt3::Verification>();
    qRegisterMetaType<vt3::ExtractStatus>();
    qRegisterMetaType<vt3::InstallReport>();
}

ReleaseWorker::~ReleaseWorker()
{
    for (auto &open : streams)
        stopTrail(*open.second);
    streams.clear();
    for (const AwaitedUnpack &awaited : qAsConst(awaitedUnpacks))
        awaited.trail->abandon();
    trailPool.waitForDone();
}

qint64 ReleaseWorker::roomFor(const QString &path)
{
    if (!freeSpaceKnown) {
        freeSpaceKnown = true;
        freeSpace = QStorageInfo(QFileInfo(path).absolutePath()).bytesAvailable();
    }
    // What the volume has free, plus what the file it replaces gives back
    // when it is truncated.
    const QFileInfo existing(path);
    const qint64 returned = existing.isFile() ? existing.size() : 0;
    return freeSpace < 0 ? MaxUnpackedLength : freeSpace + returned;
}

bool ReleaseWorker::placeUnpacked(const QString &target, qint64 length)
{
    if (!replaceWith(unpackingName(target), target))
        return false;
    if (freeSpace >= 0)
        freeSpace = qMax<qint64>(0, freeSpace - length);
    return true;
}

void ReleaseWorker::checkPresent(quint64 id, const QString &key, const QString &path, const ExpectedFile &expected)
{
    CheckedFile checked;
    checked.origin = CheckedFile::Origin::Present;
    checked.stream = id;
    checked.key = key;
    if (cancelled) {
        emit fileChecked(checked);
        return;
    }
    const FileIdentity before = identityOf(path);
    checked.verification = verifyFile(path, expected);
    checked.identity = identityOf(path);
    if (checked.identity != before)
        checked.identity = FileIdentity();
    emit fileChecked(checked);
}

void ReleaseWorker::applyPatch(const PatchJob &job)
{
    if (cancelled) {
        emit patchApplied(job.key, QStringLiteral("cancelled"));
        return;
    }
    patch::ApplyLimits limits;
    limits.baseBytes = job.baseSize;
    limits.patchBytes = job.patchSize;
    // The installed file may have changed since it was found to be the
    // base: then the result is not the release's file, and says so.
    const patch::AppliedPatch applied = patch::applyPatch(job.base, job.patch, job.output, job.resultSize, limits);
    if (!applied.ok) {
        emit patchApplied(job.key, applied.error);
        return;
    }
    if (QString::fromLatin1(applied.md5).compare(job.resultMd5, Qt::CaseInsensitive) != 0) {
        QFile::remove(job.output);
        emit patchApplied(job.key, QStringLiteral("the result's MD5 is not the release's"));
        return;
    }
    emit patchApplied(job.key, QString());
}

void ReleaseWorker::extractFile(const ExtractJob &job)
{
    if (cancelled) {
        emit fileExtracted(job.key, ExtractStatus::Cancelled);
        return;
    }
    // A stream given up earlier may still have its unpacker clearing away
    // what it wrote, under the very name this unpacks to; every transfer
    // has ended by now, so waiting for them costs nothing.
    trailPool.waitForDone();
    const Verification verification = job.verified ? Verification::Ok : verifyFile(job.download, job.expected);
    emit fileVerified(job.key, verification);
    if (verification != Verification::Ok)
        return;

    // The download is whole and checked: a trailed file that is complete
    // from the start.
    TrailedFile whole;
    whole.grow(QFileInfo(job.download).size());
    whole.complete();
    TrailJob unpack;
    unpack.download = job.download;
    unpack.target = job.unpacked;
    unpack.room = roomFor(unpackingName(job.unpacked));
    const TrailResult result =
        unpackTrailing(unpack, whole, cancelled, [this](qint64 consumed) { emit unpackProgress(consumed); });
    if (result.status != ExtractStatus::Ok) {
        emit fileExtracted(job.key, result.status);
        return;
    }
    // The download may be the file replaced here, when key and install
    // name are one; it has been checked and read whole by now.
    if (!placeUnpacked(job.unpacked, result.unpackedLength)) {
        QFile::remove(unpackingName(job.unpacked));
        emit fileExtracted(job.key, ExtractStatus::WriteError);
        return;
    }
    emit fileExtracted(job.key, ExtractStatus::Ok);
}

void ReleaseWorker::installFiles(const InstallJob &job)
{
    emit filesInstalled(installRelease(job, cancelled));
}

void ReleaseWorker::clearUp(const QString &workDir, const QString &appDir, const QStringList &deletions)
{
    const QStringList left = removeDirContents(workDir);
    if (!QDir().rmdir(workDir)) {
        // What the system does not remove at its restart, the next start
        // of the updater does.
        QStringList unscheduled;
#ifdef Q_OS_WIN
        for (const auto &file : removeLeftAtRestart(workDir, left)) {
            emit leftInUse(file.first, file.second);
            if (!file.second)
                unscheduled << file.first;
        }
#else
        // Unlinking does not ask whether a file is in use: what stays here
        // stayed for the modes of its directory.
        unscheduled = left;
#endif
        if (!unscheduled.isEmpty() || left.isEmpty())
            recordLeftovers(unscheduled << workDir);
    }
    // A deletion, too, is only done once its directory is on the device.
    QSet<QString> touched;
    for (const QString &path : deletions) {
        const QString file = appDir + QLatin1Char('/') + path;
        if (QFile::remove(file))
            touched.insert(QFileInfo(file).path());
    }
    syncDirectories(QStringList(touched.cbegin(), touched.cend()));
    emit clearedUp();
}

} // namespace vt3
