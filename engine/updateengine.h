#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include "install/patchchoice.h"
#include "install/releaseworker.h"
#include "runlog.h"
#include "transfer/aheadtransfer.h"
#include "transfer/piecepool.h"
#include "transfer/releasetransfer.h"
#include "updateface.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFutureWatcher>
#include <QHash>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <map>
#include <memory>

class EngineProbe;

namespace vt3 {

class ClientCheck;

// An update run from the version query to "Update finished", with no
// window: it reports through the face it is given (see UpdateFace). Every
// step is one member function; the steps are spread over version/, start/,
// manifest/, transfer/ and install/ by the phase they belong to.
//
// It needs Qt Core and Network only, so that a run can go with nobody at
// the screen. It has no signals of its own, so no Q_OBJECT: its texts are
// the window's, and tr() gives them the window's context.
class UpdateEngine : public QObject
{
    Q_DECLARE_TR_FUNCTIONS(UpdateClient)

public:
    explicit UpdateEngine(UpdateFace *face, QObject *parent = nullptr);
    ~UpdateEngine() override;

    void setFace(UpdateFace *face);

    // Asks the version server which release is current; the face hears of
    // it, or that no usable answer came in time.
    void queryVersion();
    // The whole road of a run, for the release the version server named.
    void update();
    // Whether the run allows its face to go away now: after the end of a
    // run at once, otherwise when the user agrees, and then the run gives
    // up what it holds.
    bool mayClose();
    bool isFinished() const { return updateFinished; }
    // The announced release id as a number; 0 unless a plain decimal one.
    quint64 releaseId() const;

private:
    // Steps, by phase. Version: the server's answer and its time limit.
    void showLastedVersion(QString &reply);
    void checkRetrieveVersion();
    // Start: mirror list, log header, client check.
    void continueUpdate(bool clientRunning);
    ClientCheck *checkClientRunning();
    void startRunLog(const QString &mirrorList);
    // Manifest: the request with its watchdog and fail-over, the signature,
    // the work directory and the lists.
    void nextConfigFile();
    void confReadyRead();
    void confError(QNetworkReply::NetworkError code);
    void confDownloadFinished();
    void checkDownload();
    void loadTrustedKeys();
    bool refuseDowngrade();
    void fetchSignature();
    void confSignatureReadyRead();
    void confSignatureFinished();
    void rejectManifest(const QString &why);
    void acceptManifest();
    bool prepareTempDir();
    void processIni();
    // Installed files the release brings unchanged, found off the GUI thread.
    void startUpToDateCheck(const QMap<QString, QString> &files);
    void upToDateChecked();
    bool isUpToDate(const QString &key) const;
    void reportUpToDate(const QString &key);
    // Patches instead of whole files, and the whole file when one fails.
    QString patchOf(const QString &key) const;
    void applyFetchedPatch();
    void patchApplied(const QString &key, const QString &error);
    void fallBackToFullFile(const QString &key, const QString &why);
    // Transfers of release files.
    void startNextDownload();
    void takeNextDownload();
    void presentChecked(const vt3::CheckedFile &checked);
    bool startFileTransfer();
    bool acceptFileResponse(QNetworkReply *reply);
    void beginStream();
    void dropStream();
    QString streamTarget(const QString &key);
    void downloadReadyRead();
    bool writeReleaseBytes(QNetworkReply *reply, bool ofStream);
    void fileTransferFinished();
    void fileChecked(const vt3::CheckedFile &checked);
    void abandonFileTransfer();
    void checkStall();
    void checkPace();
    QString tooSlowLine() const;
    // A transfer that stalled or crawls: abandoned, the line said, the
    // request named in the disk log, and the file tried again.
    void giveUpTransfer(const QString &line);
    void retryFile();
    QString fileMirror(int attempt) const;
    void error(QNetworkReply::NetworkError code);
    // Small files further down the queue, fetched while the head of the
    // queue is busy (see fetchahead.cpp).
    void fetchAhead();
    bool mayFetchAhead(const QString &key);
    bool startAhead(const QString &group, const QString &key);
    void aheadReadyRead(vt3::AheadTransfer *ahead);
    bool writeAhead(vt3::AheadTransfer *ahead);
    void aheadFinished(vt3::AheadTransfer *ahead);
    void failAhead(vt3::AheadTransfer *ahead, const QString &line);
    // The red line of a failed request, as the head's transfer says it.
    QString replyErrorLine(QNetworkReply *reply) const;
    void aheadEnded(const QString &key);
    // The head of the queue takes up what came of a key fetched ahead:
    // true when the file is in and the queue goes on.
    bool takeAhead(const QString &key);
    void abandonAheads();
    void downloadTo(QString path);
    void downloading(QUrl &url);
    void slotProgress(qint64 bytesReceived, qint64 bytesTotal);
    void showTransferProgress(qint64 bytesReceived);
    // The one place every request of a run is made.
    QNetworkRequest makeRequest(const QUrl &url) const;
    // What a failed reply's error line says.
    QString transferError(QNetworkReply *reply) const;
    // The disk log's line for a failed request: where it went, after any
    // redirects, and the HTTP status it got.
    void logRequestFailure(QNetworkReply *reply);
    QString requestFailure(QNetworkReply *reply) const;
    bool openOutputFile(const QString &path, bool keepContents = false);
    // A transfer's target in the work directory, made safely (see
    // transfer.cpp); says nothing when it cannot be made.
    bool openTransferTarget(QFile &file, const QString &path, bool keepContents) const;
    enum class WriteResult { Written, Oversized, WriteFailed };
    // The bytes of the file being streamed (`ofStream`) reach the worker as
    // well.
    WriteResult writeAvailable(QNetworkReply *reply, qint64 limit, bool ofStream = false);
    WriteResult writePiece(vt3::PiecePool::Piece piece, qint64 limit, bool ofStream);
    // Checking, unpacking, installing, completing.
    void startNextGzip();
    void extractFrom(QMap<QString, QString>::const_iterator entry);
    bool reportVerification(const QString &downloaded, vt3::Verification verification);
    bool reportExtraction(const QString &key, vt3::ExtractStatus status);
    void fileVerified(const QString &key, vt3::Verification verification);
    void fileExtracted(const QString &key, vt3::ExtractStatus status);
    void showUnpackProgress(qint64 bytesOfFile);
    void gzipError(QProcess::ProcessError error);
    void copyFiles();
    void filesInstalled(const vt3::InstallReport &report);
    void allFinished();
    void runCleared();
    vt3::ExpectedFile expectedFile(const QString &key) const;

    // What the face shows, and the disk log beside it.
    void message(const QString &text);
    // Lines for the disk log only (HTML, like message()).
    void logDetail(const QString &text);
    // A run that cannot go on: said once, to the face.
    void stop(RunStop why);

    // Posts work to the worker's thread; it runs there in the order posted.
    template <typename Work> void toWorker(Work work)
    {
        ++workPosted;
        vt3::ReleaseWorker *w = worker;
        QMetaObject::invokeMethod(
            w, [w, work = std::move(work)]() mutable { work(w); }, Qt::QueuedConnection);
    }

    UpdateFace *face;
    bool versionReceived;
    int configTimeout;
    QString platform;
    QStringList versionInfo;
    qint64 completedBytes;
    qint64 totalBytes;
    int currentReceived;
    QElapsedTimer speedTimer;
    QFile outputFile;
    // What a transfer's bytes are read into on their way to outputFile and
    // the worker.
    vt3::PiecePool pieces;
    QString mirrorUrl;
    QString releaseUrl;
    int attempts;
    int mirrorRetries;
    QString configFile;
    QMap<QString, int> mirrors;
    QDir tempDir;
    bool updateFinished;
    QMap<QString, int> deleteList;
    QNetworkAccessManager networkManager;
    QNetworkReply *configReply;
    QMap<QString, QString> releaseFiles;
    // key -> SHA-256 of the served file, from the manifest's [sha256] group.
    QMap<QString, QString> releaseDigests;
    QString lastExtracted;
    QMap<QString, QVector<QString>> downloadQueue;

    // A later reply must not change the release a run is fetching.
    bool versionShown;
    // Announced size of the release file in flight; a transfer that passes
    // it is cut off, so a hostile mirror cannot fill the disk.
    qint64 currentExpectedSize;
    // Bytes written by the transfer in flight.
    qint64 currentWritten;
    // The run's log on disk, for the runs nobody watched.
    vt3::RunLog runLog;
    // A run says how it ended once.
    bool runEnded;
    // Some mirror's manifest was turned away for its signature.
    bool manifestRejected;

    // Every mirror of mirrors.ini, in the order they are tried; a release
    // file that fails on the manifest's mirror is fetched from the others.
    QStringList mirrorOrder;
    // How long a release-file transfer may go without a byte.
    int stallTimeout;
    // The span over which a release-file transfer must average at least
    // the slowest pace a run accepts.
    int paceWindow;
    // The release file in flight.
    vt3::ReleaseTransfer transfer;
    // Bytes the head's transfer has received, not yet in completedBytes.
    qint64 headReceived;
    // How many release-file transfers may run at once (mirrors.ini,
    // [transfers] parallel), the head's included.
    int parallelTransfers;
    // The files fetched ahead of the head, by key, until the head takes
    // them up; how many are running; the bytes they hold, not yet in
    // completedBytes; where the search for the next one goes on; and
    // whether the head waits for one.
    std::map<QString, std::unique_ptr<vt3::AheadTransfer>> aheadTransfers;
    int aheadRunning;
    qint64 aheadBytes;
    QString aheadGroup;
    int aheadIndex;
    bool awaitingAhead;
    // Download names two keys (or a key and the manifest) share, never
    // fetched ahead, and the release size they were worked out for.
    QSet<QString> sharedNames;
    int sharedNamesFor;

    // The public keys of trusted-keys.txt, read when a run starts; when the
    // file lists any, a manifest is only used with a valid signature.
    QVector<QByteArray> trustedKeys;
    bool signatureRequired;
    // The signature file of the manifest just fetched, as it arrives.
    QByteArray signatureText;

    // Keys whose installed copy already is the release's file, and keys
    // whose installed copy is known to differ; both empty unless the
    // manifest vouches for the unpacked size and MD5 of its files.
    QFutureWatcher<vt3::InstalledState> upToDateWatcher;
    QSet<QString> upToDate;
    QSet<QString> knownChanged;

    // The usable patches the manifest lists; those chosen because the
    // installed file is their base (file key -> patch, and patch key ->
    // file key); files whose patch failed, fetched whole instead; files
    // made from their patch, already unpacked in the work directory.
    QVector<vt3::patch::ListedPatch> listedPatches;
    QHash<QString, vt3::patch::ListedPatch> patchFor;
    QHash<QString, QString> patchOwner;
    QSet<QString> patchFailed;
    QSet<QString> patched;
    // A fetched patch waits for its digests, then for being applied,
    // before the queue goes on.
    bool awaitingPatch;

    // The file work of a run, in a thread of its own (see ReleaseWorker).
    QThread workerThread;
    vt3::ReleaseWorker *worker;
    // What the worker found of each downloaded file, by key.
    QHash<QString, vt3::CheckedFile> checkedFiles;
    // Streams ended whose answer has not come back yet.
    int streamsInFlight;
    // The walk over the downloads waits for them.
    bool gzipWaiting;
    // A continued transfer waits for its digests before the queue goes on.
    bool awaitingResumeVerdict;
    // Where each file unpacks to while it arrives (see streamTarget), and
    // the size of the release it was worked out for.
    QHash<QString, QString> streamTargets;
    int streamTargetsFor;
    // The next key of the download queue's first group.
    int queueCursor;
    // The file being unpacked from disk, and the bytes of those done.
    QString extractingKey;
    qint64 unpackedBytes;
    // Counts what was posted to the worker or to a later turn of the event
    // loop, so that tests can tell when a run has come to rest.
    quint64 workPosted;

    // Tests reach the run's state through this one friend.
    friend class ::EngineProbe;
};

// Starts the chat client of the application directory, left to run on
// after the updater ends.
void startChatClient();

} // namespace vt3

#endif // UPDATEENGINE_H
