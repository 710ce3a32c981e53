#ifndef RELEASEWORKER_H
#define RELEASEWORKER_H

#include "fileverify.h"
#include "streamdigest.h"
#include "unpack.h"

#include <QFile>
#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <atomic>
#include <map>
#include <memory>

namespace vt3 {

class TrailedFile;
struct TrailResult;

// Where a file stands on disk. A file checked earlier in the run is only
// taken as checked while this is unchanged; anything that wrote to it or
// put another file in its place since changes it.
struct FileIdentity
{
    qint64 size = -1;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;

    bool isValid() const { return size >= 0; }
    bool operator==(const FileIdentity &other) const;
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};
FileIdentity identityOf(const QString &path);

// A release file whose bytes pass through the worker while they are written.
struct StreamJob
{
    QString key;
    QString download;
    ExpectedFile expected;
    // Bytes an earlier transfer left in the file; they are read from disk
    // first, once.
    qint64 prefix = 0;
    // Where it unpacks to; empty when it is only checked.
    QString unpackTarget;
};

// What the worker found of a downloaded file.
struct CheckedFile
{
    enum class Origin { Stream, Present };
    Origin origin = Origin::Stream;
    // The stream (or check) this answers.
    quint64 stream = 0;
    QString key;
    Verification verification = Verification::Unreadable;
    FileIdentity identity;
    // Whether it was unpacked as it arrived, and how that went; Ok means
    // its unpacked file is in place in the work directory.
    bool unpackTried = false;
    ExtractStatus unpackStatus = ExtractStatus::Ok;
    QString md5;
    QString sha256;
};

// A downloaded file to check (unless `verified`) and unpack from disk.
struct ExtractJob
{
    QString key;
    QString download;
    QString unpacked;
    ExpectedFile expected;
    bool verified = false;
};

// A fetched patch to apply to the installed file: the result goes where
// the file would have been unpacked, and must be the release's file.
struct PatchJob
{
    QString key;
    QString base;
    QString patch;
    QString output;
    qint64 baseSize = 0;
    qint64 patchSize = 0;
    qint64 resultSize = 0;
    QString resultMd5;
};

// The unpacked files of a release, by install name in install order.
struct InstallJob
{
    QString appDir;
    QString workDir;
    QStringList installNames;
    // Install names known to differ from the installed file: replaced
    // without comparing.
    QStringList knownChanged;
    // Install names whose installed file already is the release's: left
    // alone, and not in the work directory.
    QStringList upToDate;
};

struct InstallReport
{
    // Destinations that failed, in the order they failed.
    QStringList failed;
    // Those of them another program kept locked for longer than the
    // installation waits.
    QStringList busy;
    bool allInstalled = false;
};

InstallReport installRelease(const InstallJob &job, const std::atomic<bool> &cancelled);
// Empties a directory without following links out of it; returns the files
// (and links) that could not be deleted.
QStringList removeDirContents(const QString &path);

// The file work of an update run: checking, unpacking, installing and
// clearing up, away from the window so that it stays responsive however
// large the release is. It lives in a thread of its own; the window posts
// work to it in order and hears back by queued signals.
class ReleaseWorker : public QObject
{
    Q_OBJECT

public:
    explicit ReleaseWorker(QObject *parent = nullptr);
    ~ReleaseWorker() override;

    // Any thread. The file in hand is given up whole (nothing half written
    // stays behind) and no further work is taken.
    void cancel() { cancelled = true; }
    // A transfer's stream, by the id its transfer gave it; several may be
    // open at once, each answered once by fileChecked when it ends.
    void beginStream(quint64 id, const StreamJob &job);
    // The stream's next bytes, in a buffer the network side reads into
    // again once it is let go of.
    void streamBytes(quint64 id, QByteArray data);
    // The stream's next `length` bytes are in the download; the network
    // side wrote them there and had no buffer free to pass them in.
    void streamWritten(quint64 id, qint64 length);
    void endStream(quint64 id);
    void dropStream(quint64 id);
    void checkPresent(quint64 id, const QString &key, const QString &path, const ExpectedFile &expected);
    // Answers `settled` once every stream ended so far has been answered
    // for: the files are all checked, and unpacked where they were
    // unpacked while they arrived.
    void settle();
    void extractFile(const ExtractJob &job);
    void applyPatch(const PatchJob &job);
    void installFiles(const InstallJob &job);
    void clearUp(const QString &workDir, const QString &appDir, const QStringList &deletions);

signals:
    void fileChecked(const vt3::CheckedFile &file);
    void fileVerified(const QString &key, vt3::Verification verification);
    void fileExtracted(const QString &key, vt3::ExtractStatus status);
    // `error` is empty when the result is in place and is the release's
    // file; otherwise it says why, for the disk log.
    void patchApplied(const QString &key, const QString &error);
    void unpackProgress(qint64 bytesRead);
    void filesInstalled(const vt3::InstallReport &report);
    // Windows only: a file of the work directory still in use (an old DLL
    // or program another process runs); `atRestart` when the system was
    // asked to delete it on its next start. Sent before clearedUp.
    void leftInUse(const QString &path, bool atRestart);
    void clearedUp();
    void settled();

private:
    struct Stream;
    // A matching stream whose unpacking is still behind the transfer.
    struct AwaitedUnpack
    {
        CheckedFile checked;
        QString target;
        std::shared_ptr<TrailedFile> trail;
    };
    qint64 roomFor(const QString &path);
    bool placeUnpacked(const QString &target, qint64 length);
    Stream *streamOf(quint64 id);
    void startTrail(Stream &s);
    void stopTrail(Stream &s);
    void trailFinished(quint64 id, const TrailResult &result);
    void answer(const CheckedFile &checked);

    std::map<quint64, std::unique_ptr<Stream>> streams;
    // Unpacks streams from disk behind their transfers, in order.
    QThreadPool trailPool;
    // Takes a stream's SHA-256 beside its MD5.
    QThreadPool digestHelper;
    quint64 lastTrailId = 0;
    QHash<quint64, AwaitedUnpack> awaitedUnpacks;
    std::atomic<bool> cancelled{false};
    // A settle() waits for the unpacking of ended streams.
    bool settling = false;
    // Free space of the work directory's volume, looked up once per run and
    // counted down by what is unpacked.
    qint64 freeSpace = -1;
    bool freeSpaceKnown = false;
};

} // namespace vt3

Q_DECLARE_METATYPE(vt3::CheckedFile)
Q_DECLARE_METATYPE(vt3::Verification)
Q_DECLARE_METATYPE(vt3::ExtractStatus)
Q_DECLARE_METATYPE(vt3::InstallReport)

#endif // RELEASEWORKER_H
