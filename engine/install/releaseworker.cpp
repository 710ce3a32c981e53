#include "releaseworker.h"

#include "binarypatch.h"
#include "durable.h"
#include "trailingunpack.h"

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

struct ReleaseWorker::Stream
{
    Stream(quint64 id, const StreamJob &j)
        : id(id)
        , job(j)
        , digest(!j.expected.sha256.isEmpty())
        , written(j.download)
    {
    }

    quint64 id;
    StreamJob job;
    StreamDigest digest;
    // The download, for stretches the window could not pass in a buffer.
    QFile written;
    // A stretch could not be read whole: the digests are not the file's.
    bool incomplete = false;
    // Follows the download from disk when it is unpacked as it arrives.
    std::shared_ptr<TrailedFile> trail;
    quint64 trailId = 0;
    // The unpacker gave up before the transfer ended.
    bool trailEnded = false;
    TrailResult trailResult;
};

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

ReleaseWorker::Stream *ReleaseWorker::streamOf(quint64 id)
{
    const auto found = streams.find(id);
    return found == streams.end() ? nullptr : found->second.get();
}

void ReleaseWorker::beginStream(quint64 id, const StreamJob &job)
{
    dropStream(id);
    if (cancelled)
        return;
    auto made = std::make_unique<Stream>(id, job);
    Stream &s = *made;
    streams[id] = std::move(made);
    s.digest.setHelper(&digestHelper);
    if (!job.unpackTarget.isEmpty())
        startTrail(s);
    if (job.prefix <= 0)
        return;

    // What an earlier transfer left is read once, here; the rest arrives.
    QFile earlier(job.download);
    if (!earlier.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        // The end of the stream judges it by the bytes it saw.
        stopTrail(s);
        return;
    }
    s.digest.addFile(earlier, job.prefix);
}

void ReleaseWorker::startTrail(Stream &s)
{
    s.trail = std::make_shared<TrailedFile>();
    s.trail->grow(s.job.prefix);
    s.trailId = ++lastTrailId;
    TrailJob job;
    job.download = s.job.download;
    job.target = s.job.unpackTarget;
    job.room = roomFor(unpackingName(job.target));
    const std::shared_ptr<TrailedFile> trail = s.trail;
    const quint64 id = s.trailId;
    // The unpacking runs on a thread of its own and reads the download from
    // disk behind the transfer, so that a stretch slow to unpack delays
    // neither the digests nor the network.
    trailPool.start([this, job, trail, id] {
        const TrailResult result = unpackTrailing(job, *trail, cancelled);
        QMetaObject::invokeMethod(
            this, [this, id, result] { trailFinished(id, result); }, Qt::QueuedConnection);
    });
}

void ReleaseWorker::stopTrail(Stream &s)
{
    if (!s.trail)
        return;
    s.trail->abandon();
    s.trail.reset();
}

void ReleaseWorker::streamBytes(quint64 id, QByteArray data)
{
    Stream *s = streamOf(id);
    if (!s || cancelled)
        return;
    const qint64 size = data.size();
    // The network side wrote these bytes before it posted them.
    if (s->trail)
        s->trail->grow(s->digest.length() + size);
    s->digest.addData(data.constData(), size);
}

void ReleaseWorker::streamWritten(quint64 id, qint64 length)
{
    Stream *found = streamOf(id);
    if (!found || cancelled)
        return;
    Stream &s = *found;
    if (s.incomplete)
        return;
    const qint64 at = s.digest.length();
    if (s.trail)
        s.trail->grow(at + length);
    // A stretch that cannot be read whole means something else changed the
    // download meanwhile; it is read again before it is used.
    const bool opened = s.written.isOpen() || s.written.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    if (!opened || !s.written.seek(at) || !s.digest.addFile(s.written, length) || s.digest.length() != at + length) {
        s.incomplete = true;
        stopTrail(s);
    }
}

void ReleaseWorker::endStream(quint64 id)
{
    CheckedFile checked;
    checked.stream = id;
    const auto found = streams.find(id);
    if (found == streams.end()) {
        answer(checked);
        return;
    }
    std::unique_ptr<Stream> s = std::move(found->second);
    streams.erase(found);
    checked.key = s->job.key;
    checked.md5 = s->digest.md5Hex();
    checked.sha256 = s->digest.sha256Hex();
    checked.verification = judgeDigest(s->job.expected, s->digest.length(), checked.md5, checked.sha256);
    checked.identity = identityOf(s->job.download);
    // The digests are those of the bytes written; a file of another length
    // on disk is not those bytes, and is read again before it is used.
    if (checked.identity.size != s->digest.length() || s->incomplete)
        checked.identity = FileIdentity();

    // Only a file that matches keeps what was unpacked of it; anything
    // not in place in the end is unpacked from disk, or not at all.
    if (!s->trail || checked.verification != Verification::Ok || !checked.identity.isValid()) {
        stopTrail(*s);
        answer(checked);
        return;
    }
    AwaitedUnpack awaited;
    awaited.checked = checked;
    awaited.target = s->job.unpackTarget;
    awaited.trail = s->trail;
    s->trail->complete();
    awaitedUnpacks.insert(s->trailId, awaited);
    if (s->trailEnded)
        trailFinished(s->trailId, s->trailResult);
}

void ReleaseWorker::trailFinished(quint64 id, const TrailResult &result)
{
    for (auto &open : streams) {
        Stream &s = *open.second;
        if (s.trailId == id && s.trail) {
            // It failed before the transfer ended; the end decides.
            s.trailEnded = true;
            s.trailResult = result;
            return;
        }
    }
    // A stream given up meanwhile left nothing: only a complete one can
    // unpack to its end, and only a matching one is awaited.
    const auto awaited = awaitedUnpacks.find(id);
    if (awaited == awaitedUnpacks.end())
        return;
    CheckedFile checked = awaited->checked;
    const QString target = awaited->target;
    awaitedUnpacks.erase(awaited);
    // A file that could not be read as it was written is unpacked from
    // disk later, where a failure is reported as such.
    if (result.status != ExtractStatus::ReadError && result.status != ExtractStatus::Cancelled) {
        checked.unpackTried = true;
        checked.unpackStatus = result.status;
        if (result.status == ExtractStatus::Ok && !placeUnpacked(target, result.unpackedLength)) {
            QFile::remove(unpackingName(target));
            checked.unpackStatus = ExtractStatus::WriteError;
        }
    }
    answer(checked);
}

void ReleaseWorker::answer(const CheckedFile &checked)
{
    emit fileChecked(checked);
    if (settling && awaitedUnpacks.isEmpty()) {
        settling = false;
        emit settled();
    }
}

void ReleaseWorker::settle()
{
    if (awaitedUnpacks.isEmpty()) {
        emit settled();
        return;
    }
    settling = true;
}

void ReleaseWorker::dropStream(quint64 id)
{
    const auto found = streams.find(id);
    if (found == streams.end())
        return;
    stopTrail(*found->second);
    streams.erase(found);
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
#ifdef Q_OS_WIN
    const QStringList left = removeDirContents(workDir);
    if (!QDir().rmdir(workDir)) {
        for (const auto &file : removeLeftAtRestart(workDir, left))
            emit leftInUse(file.first, file.second);
    }
#else
    // Unlinking does not ask whether a file is in use; whatever stays here
    // stays for its modes, like any leftover of a broken run.
    removeDirContents(workDir);
    QDir().rmdir(workDir);
#endif
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
