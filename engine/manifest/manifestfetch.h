#ifndef MANIFESTFETCH_H
#define MANIFESTFETCH_H

#include "transfer/piecepool.h"
#include "updateface.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QVector>

namespace vt3 {

struct RunContext;

// The manifest of the release and its signature, from the mirrors in turn,
// each request under a watchdog; then the work directory it is fetched
// into, a broken run's when it holds the same manifest.
class ManifestFetch : public QObject
{
    Q_OBJECT

public:
    ManifestFetch(RunContext &run, const QMap<QString, int> &mirrors, const QVector<QByteArray> &trustedKeys,
                  bool signatureRequired, QObject *parent = nullptr);
    ~ManifestFetch() override;

    void start();

    // Steps a test may take alone.
    void nextConfigFile();
    void checkDownload();
    bool prepareTempDir();
    void downloadTo(QString path);
    void downloading(QUrl &url);
    bool openOutputFile(const QString &path, bool keepContents = false);
    void slotProgress(qint64 bytesReceived, qint64 bytesTotal);
    QFile &outputFile() { return output; }
    // The system temp directory, and the work directory once chosen.
    QDir &workDir() { return tempDir; }
    int bytesReceived() const { return received; }

signals:
    // The manifest is in the work directory, verified where keys are
    // trusted; the context names the mirror and the work directory.
    void accepted();
    void stopped(vt3::RunStop why);

private:
    enum class WriteResult { Written, Oversized, WriteFailed };
    // `redirects`: how many more it may follow.
    void requestManifest(const QUrl &url, int redirects);
    void requestSignature(const QUrl &url, int redirects);
    // A reply whose relative redirect the framework could not follow is
    // asked for again, by `request`, where it leads; false for any other.
    bool askAgainWhereRedirected(QNetworkReply *reply, void (ManifestFetch::*request)(const QUrl &, int));
    void confReadyRead();
    void confError(QNetworkReply::NetworkError code);
    void confDownloadFinished();
    void fetchSignature();
    void confSignatureReadyRead();
    void confSignatureFinished();
    void rejectManifest(const QString &why);
    void acceptManifest();
    WriteResult writeAvailable(QNetworkReply *reply, qint64 limit);
    void logRequestFailure(QNetworkReply *failed);
    void say(const QString &html);
    void stop(RunStop why);

    RunContext &run;
    // Mirrors still to ask (URL -> requests allowed), and the requests made
    // of the first.
    QMap<QString, int> mirrors;
    int retries = 0;
    int attempts = 0;
    const QVector<QByteArray> trustedKeys;
    const bool signatureRequired;
    const QString manifestName;
    QDir tempDir;
    QNetworkReply *configReply = nullptr;
    QFile output;
    // Opened through a checked descriptor, which leaves the file nameless.
    QString outputPath;
    PiecePool pieces;
    // Bytes of the request in flight: received (for the watchdog) and
    // written; the signature file as it arrives.
    int received = 0;
    qint64 written = 0;
    QByteArray signature;
    // Some mirror's manifest was turned away for its signature.
    bool rejected = false;
};

} // namespace vt3

#endif // MANIFESTFETCH_H
