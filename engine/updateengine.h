#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include "install/patchchoice.h"
#include "install/releaseworker.h"
#include "plan/releaseplan.h"
#include "run/runcontext.h"
#include "run/runprogress.h"
#include "run/transcript.h"
#include "transfer/piecepool.h"
#include "transfer/scheduler.h"
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
    // Transfers of release files (see TransferScheduler).
    void startTransfers();
    void transfersDone();
    void downloadTo(QString path);
    void downloading(QUrl &url);
    void slotProgress(qint64 bytesReceived, qint64 bytesTotal);
    void logRequestFailure(QNetworkReply *reply);
    bool openOutputFile(const QString &path, bool keepContents = false);
    enum class WriteResult { Written, Oversized, WriteFailed };
    WriteResult writeAvailable(QNetworkReply *reply, qint64 limit);
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

    vt3::Transcript transcript;
    vt3::RunProgress progress;
    bool versionReceived;
    int configTimeout;
    QString platform;
    QStringList versionInfo;
    int currentReceived;
    QFile outputFile;
    // What the manifest's bytes are read into on their way to outputFile.
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
    // Bytes written by the manifest's transfer.
    qint64 currentWritten;
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
    // How many release-file transfers may run at once (mirrors.ini,
    // [transfers] parallel), the head's included.
    int parallelTransfers;

    // The public keys of trusted-keys.txt, read when a run starts; when the
    // file lists any, a manifest is only used with a valid signature.
    QVector<QByteArray> trustedKeys;
    bool signatureRequired;
    // The signature file of the manifest just fetched, as it arrives.
    QByteArray signatureText;

    // Installed files the release brings unchanged, and the patches chosen,
    // found off the event loop's thread.
    QFutureWatcher<vt3::InstalledState> upToDateWatcher;
    QVector<vt3::patch::ListedPatch> listedPatches;
    // What the run fetches, and how.
    vt3::ReleasePlan plan;

    // The file work of a run, in a thread of its own (see ReleaseWorker).
    QThread workerThread;
    vt3::ReleaseWorker *worker;
    // The transfers of the release files and what they share.
    std::unique_ptr<vt3::RunContext> context;
    std::unique_ptr<vt3::TransferScheduler> scheduler;
    // What the worker found of each downloaded file, by key, and the files
    // made from their patches.
    QHash<QString, vt3::CheckedFile> checkedFiles;
    QSet<QString> patched;
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
