#ifndef UPDATECLIENT_H
#define UPDATECLIENT_H

#include "fileverify.h"
#include "piecepool.h"
#include "releaseworker.h"
#include "runlog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFutureWatcher>
#include <QHash>
#include <QMainWindow>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVector>

namespace Ui {
class UpdateClient;
}

class QCloseEvent;
class QEvent;

// The main window, and at the same time the one holder of an update run's
// state. Every step of a run is one private slot; the steps are spread over
// ui/, version/, manifest/ and install/ by what they deal with.
class UpdateClient : public QMainWindow
{
    Q_OBJECT

public:
    explicit UpdateClient(QWidget *parent = nullptr);
    ~UpdateClient() override;

signals:
    // The process-list tool has answered, failed or run out of time;
    // `running` says whether it listed the chat client.
    void clientChecked(bool running);

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private slots:
    void update();
    void continueUpdate(bool clientRunning);
    void showLastedVersion(QString &reply);
    void slotProgress(qint64 bytesReceived, qint64 bytesTotal);
    void message(QString text);
    void processIni();
    void startNextDownload();
    void allFinished();
    void startNextGzip();
    void copyFiles();
    void gzipError(QProcess::ProcessError error);
    void runVT3();
    void openUrl(QString link);
    void downloading(QUrl &url);
    void downloadTo(QString path);
    void nextConfigFile();
    void confDownloadFinished();
    void downloadReadyRead();
    void error(QNetworkReply::NetworkError code);
    void confError(QNetworkReply::NetworkError code);
    void checkDownload();
    void checkRetrieveVersion();
    void confReadyRead();
    void fileTransferFinished();
    void checkStall();
    void confSignatureReadyRead();
    void confSignatureFinished();
    // The worker's answers.
    void fileChecked(const vt3::CheckedFile &checked);
    void fileVerified(const QString &key, vt3::Verification verification);
    void fileExtracted(const QString &key, vt3::ExtractStatus status);
    void showUnpackProgress(qint64 bytesOfFile);
    void filesInstalled(const vt3::InstallReport &report);
    void runCleared();
    void upToDateChecked();

private:
    void checkClientRunning();
    void finishClientCheck(bool running);
    bool openOutputFile(const QString &path, bool keepContents = false);
    // The one place every request of a run is made.
    QNetworkRequest makeRequest(const QUrl &url) const;
    // What a failed reply's error line says.
    QString transferError(QNetworkReply *reply) const;
    // The disk log's line for a failed request: where it went, after any
    // redirects, and the HTTP status it got.
    void logRequestFailure(QNetworkReply *reply);
    enum class WriteResult { Written, Oversized, WriteFailed };
    // The bytes of the file being streamed (`ofStream`) reach the worker as
    // well.
    WriteResult writeAvailable(QNetworkReply *reply, qint64 limit, bool ofStream = false);
    WriteResult writePiece(vt3::PiecePool::Piece piece, qint64 limit, bool ofStream);
    bool startFileTransfer();
    bool acceptFileResponse(QNetworkReply *reply);
    void abandonFileTransfer();
    void retryFile();
    QString fileMirror(int attempt) const;
    bool prepareTempDir();
    // Release authenticity, around the manifest request.
    quint64 releaseId() const;
    void loadTrustedKeys();
    bool refuseDowngrade();
    void fetchSignature();
    void rejectManifest(const QString &why);
    void acceptManifest();
    // Installed files the release brings unchanged, found off the GUI thread.
    void startUpToDateCheck(const QMap<QString, QString> &files);
    bool isUpToDate(const QString &key) const;
    void reportUpToDate(const QString &key);
    // Posts work to the worker's thread; it runs there in the order posted.
    template <typename Work> void toWorker(Work work)
    {
        ++workPosted;
        vt3::ReleaseWorker *w = worker;
        QMetaObject::invokeMethod(
            w, [w, work = std::move(work)]() mutable { work(w); }, Qt::QueuedConnection);
    }
    void presentChecked(const vt3::CheckedFile &checked);
    void beginStream();
    void dropStream();
    QString streamTarget(const QString &key);
    bool writeReleaseBytes(QNetworkReply *reply, bool ofStream);
    void extractFrom(QMap<QString, QString>::const_iterator entry);
    bool reportVerification(const QString &downloaded, vt3::Verification verification);
    bool reportExtraction(const QString &key, vt3::ExtractStatus status);
    vt3::ExpectedFile expectedFile(const QString &key) const;
    QString formatSize(double bytes);
    // The disk log's header of a run; then lines for the disk log only
    // (HTML, like message()).
    void startRunLog(const QString &mirrorList);
    void logDetail(const QString &text);

    Ui::UpdateClient *ui;
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
    QProcess *clientProcess;
    // The process-list tool while it runs, and the limit it runs under.
    QProcess *clientCheck;
    QTimer clientCheckLimit;

    // State beyond the run's core members, kept for the safety checks.
    // A later reply must not change the release a run is fetching.
    bool versionShown;
    // Announced size of the release file in flight; a transfer that passes
    // it is cut off, so a hostile mirror cannot fill the disk.
    qint64 currentExpectedSize;
    // Bytes written by the transfer in flight.
    qint64 currentWritten;
    // The window's log on disk, for the runs nobody watched.
    vt3::RunLog runLog;

    // Every mirror of mirrors.ini, in the order they are tried; a release
    // file that fails on the manifest's mirror is fetched from the others.
    QStringList mirrorOrder;
    // How long a release-file transfer may go without a byte.
    int stallTimeout;
    QTimer stallTimer;
    // The release file in flight: its reply, group, key, which of its
    // allowed attempts this is, and where a continued transfer starts.
    QNetworkReply *fileReply;
    QString fileGroup;
    QString fileKey;
    int fileAttempt;
    qint64 resumeOffset;
    // A continued file whose digest came out wrong is fetched whole once.
    bool fileStartedOver;
    // The status of the transfer in flight has been checked.
    bool responseAccepted;

    // The public keys of trusted-keys.txt, read when a run starts; when the
    // file lists any, a manifest is only used with a valid signature.
    QVector<QByteArray> trustedKeys;
    bool signatureRequired;
    // The signature file of the manifest just fetched, as it arrives.
    QByteArray signatureText;

    // Keys whose installed copy already is the release's file, and keys
    // whose installed copy is known to differ; both empty unless the
    // manifest vouches for the unpacked size and MD5 of its files.
    QFutureWatcher<QSet<QString>> upToDateWatcher;
    QSet<QString> upToDate;
    QSet<QString> knownChanged;

    // The file work of a run, in a thread of its own (see ReleaseWorker).
    QThread workerThread;
    vt3::ReleaseWorker *worker;
    // What the worker found of each downloaded file, by key.
    QHash<QString, vt3::CheckedFile> checkedFiles;
    // The transfer in flight passes its bytes to the worker.
    bool streaming;
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
    friend class UpdateClientProbe;
};

#endif // UPDATECLIENT_H
