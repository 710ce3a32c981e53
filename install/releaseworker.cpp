#include "releaseworker.h"

#include <QDir>
#include <QFileInfo>
#include <QSemaphore>
#include <QStorageInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace vt3 {

namespace {

// Pieces read from disk when a file is checked or unpacked there.
constexpr int ReadChunkBytes = 256 * 1024;
// The window is told to read on from the network once the backlog is this
// small again: low enough that reading and this side take turns rarely.
constexpr qint64 DrainedBytes = 2 * 1024 * 1024;
// The bar hears of an unpack from disk about this often.
constexpr qint64 ProgressStepBytes = 4 * 1024 * 1024;

qint64 nanoseconds(qint64 seconds, qint64 nanos)
{
    return seconds * 1000000000LL + nanos;
}

// Puts a finished file at `target`, over whatever plain file is there (a
// leftover of an earlier run, or the download it was unpacked from).
bool replaceWith(const QString &finished, const QString &target)
{
    const QFileInfo existing(target);
    if ((existing.exists() || existing.isSymLink()) && !QFile::remove(target))
        return false;
    return QFile::rename(finished, target);
}

} // namespace

ExtractStatus extractStatusOf(UnpackResult result, qint64 announced)
{
    switch (result) {
    case UnpackResult::Ok:
        return ExtractStatus::Ok;
    case UnpackResult::WriteFailed:
        return ExtractStatus::WriteError;
    case UnpackResult::TooLarge:
        return announced <= MaxUnpackedLength ? ExtractStatus::WriteError : ExtractStatus::ExtractError;
    case UnpackResult::BadInput:
        break;
    }
    return ExtractStatus::ExtractError;
}

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
    explicit Stream(const StreamJob &j)
        : job(j)
        , digest(!j.expected.sha256.isEmpty())
    {
    }

    // The digests and the unpacking of a piece run side by side, on the two
    // cores a machine usually has; the piece is done when both are.
    void take(QThreadPool &pool, const char *data, qint64 length)
    {
        if (!unpacker) {
            digest.addData(data, length);
            return;
        }
        QSemaphore hashed;
        pool.start([this, data, length, &hashed] {
            digest.addData(data, length);
            hashed.release();
        });
        unpacker->feed(data, length);
        hashed.acquire();
    }

    // The half-made unpacked file goes; a later step unpacks from disk.
    void giveUpUnpacking()
    {
        unpacker.reset();
        if (out.isOpen()) {
            out.close();
            out.remove();
        }
    }

    StreamJob job;
    StreamDigest digest;
    QFile out;
    std::unique_ptr<Unpacker> unpacker;
    // The unpacked file could not even be opened.
    bool openFailed = false;
};

ReleaseWorker::ReleaseWorker(QObject *parent)
    : QObject(parent)
{
    digestPool.setMaxThreadCount(1);
    qRegisterMetaType<vt3::CheckedFile>();
    qRegisterMetaType<vt3::Verification>();
    qRegisterMetaType<vt3::ExtractStatus>();
    qRegisterMetaType<vt3::InstallReport>();
}

ReleaseWorker::~ReleaseWorker()
{
    dropStream();
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

bool ReleaseWorker::openUnpacking(const QString &target, QFile &out)
{
    // Written beside its place and renamed there once whole, so that a key
    // may name its own install name: the file being read is never the one
    // being written.
    out.setFileName(unpackingName(target));
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

bool ReleaseWorker::finishUnpacking(QFile &out, const QString &target)
{
    const qint64 length = out.size();
    const bool written = out.flush() && out.error() == QFileDevice::NoError;
    out.close();
    if (!written || !replaceWith(out.fileName(), target)) {
        out.remove();
        return false;
    }
    if (freeSpace >= 0)
        freeSpace = qMax<qint64>(0, freeSpace - length);
    return true;
}

void ReleaseWorker::beginStream(const StreamJob &job)
{
    dropStream();
    if (cancelled)
        return;
    stream = std::make_unique<Stream>(job);
    if (!job.unpackTarget.isEmpty()) {
        const qint64 room = roomFor(unpackingName(job.unpackTarget));
        if (openUnpacking(job.unpackTarget, stream->out))
            stream->unpacker = std::make_unique<Unpacker>(stream->out, room);
        else
            stream->openFailed = true;
    }
    if (job.prefix <= 0)
        return;

    // What an earlier transfer left is read once, here; the rest arrives.
    QFile earlier(job.download);
    if (!earlier.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        // The end of the stream judges it by the bytes it saw.
        stream->giveUpUnpacking();
        return;
    }
    QByteArray chunk(ReadChunkBytes, Qt::Uninitialized);
    qint64 left = job.prefix;
    while (left > 0) {
        const qint64 got = earlier.read(chunk.data(), qMin<qint64>(left, chunk.size()));
        if (got <= 0)
            break;
        stream->take(digestPool, chunk.constData(), got);
        left -= got;
    }
}

void ReleaseWorker::streamBytes(const QByteArray &data)
{
    if (stream && !cancelled)
        stream->take(digestPool, data.constData(), data.size());
    const qint64 left = pending -= data.size();
    if (left <= DrainedBytes && drainWanted.exchange(false))
        emit drained();
}

void ReleaseWorker::endStream()
{
    CheckedFile checked;
    if (!stream) {
        emit fileChecked(checked);
        return;
    }
    Stream &s = *stream;
    checked.key = s.job.key;
    checked.md5 = s.digest.md5Hex();
    checked.sha256 = s.digest.sha256Hex();
    checked.verification = judgeDigest(s.job.expected, s.digest.length(), checked.md5, checked.sha256);
    checked.identity = identityOf(s.job.download);
    // The digests are those of the bytes written; a file of another length
    // on disk is not those bytes, and is read again before it is used.
    if (checked.identity.size != s.digest.length())
        checked.identity = FileIdentity();

    if (checked.verification == Verification::Ok && checked.identity.isValid()) {
        if (s.openFailed) {
            checked.unpackTried = true;
            checked.unpackStatus = ExtractStatus::WriteError;
        } else if (s.unpacker) {
            checked.unpackTried = true;
            const UnpackResult result = s.unpacker->finish();
            checked.unpackStatus = extractStatusOf(result, s.unpacker->announced());
            s.unpacker.reset();
            if (result == UnpackResult::Ok && !finishUnpacking(s.out, s.job.unpackTarget))
                checked.unpackStatus = ExtractStatus::WriteError;
        }
    }
    // Anything not in place by now is unpacked from disk, or not at all.
    s.giveUpUnpacking();
    stream.reset();
    emit fileChecked(checked);
}

void ReleaseWorker::dropStream()
{
    if (!stream)
        return;
    stream->giveUpUnpacking();
    stream.reset();
}

void ReleaseWorker::checkPresent(const QString &key, const QString &path, const ExpectedFile &expected)
{
    CheckedFile checked;
    checked.origin = CheckedFile::Origin::Present;
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

void ReleaseWorker::extractFile(const ExtractJob &job)
{
    if (cancelled) {
        emit fileExtracted(job.key, ExtractStatus::Cancelled);
        return;
    }
    const Verification verification = job.verified ? Verification::Ok : verifyFile(job.download, job.expected);
    emit fileVerified(job.key, verification);
    if (verification != Verification::Ok)
        return;

    QFile in(job.download);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit fileExtracted(job.key, ExtractStatus::ReadError);
        return;
    }
    QFile out;
    const qint64 room = roomFor(unpackingName(job.unpacked));
    if (!openUnpacking(job.unpacked, out)) {
        emit fileExtracted(job.key, ExtractStatus::WriteError);
        return;
    }

    Unpacker unpacker(out, room);
    QByteArray chunk(ReadChunkBytes, Qt::Uninitialized);
    qint64 consumed = 0;
    qint64 reported = 0;
    UnpackResult result = UnpackResult::Ok;
    for (;;) {
        if (cancelled) {
            out.close();
            out.remove();
            emit fileExtracted(job.key, ExtractStatus::Cancelled);
            return;
        }
        const qint64 got = in.read(chunk.data(), chunk.size());
        if (got < 0)
            result = UnpackResult::BadInput;
        if (got <= 0)
            break;
        result = unpacker.feed(chunk.constData(), got);
        if (result != UnpackResult::Ok)
            break;
        consumed += got;
        if (consumed - reported >= ProgressStepBytes) {
            reported = consumed;
            emit unpackProgress(consumed);
        }
    }
    if (result == UnpackResult::Ok)
        result = unpacker.finish();

    if (result != UnpackResult::Ok) {
        // A partial result must not be mistaken for the file later, and on
        // a full disk it holds space the user needs back.
        out.close();
        out.remove();
        emit fileExtracted(job.key, extractStatusOf(result, unpacker.announced()));
        return;
    }
    // The download may be the file replaced here, when key and install
    // name are one; it has been checked and read whole by now.
    if (!finishUnpacking(out, job.unpacked)) {
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
    removeDirContents(workDir);
    QDir().rmdir(workDir);
    for (const QString &path : deletions)
        QFile::remove(appDir + QLatin1Char('/') + path);
    emit clearedUp();
}

} // namespace vt3
