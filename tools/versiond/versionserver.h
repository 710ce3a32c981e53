#ifndef VERSIONSERVER_H
#define VERSIONSERVER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

#include "ratelimiter.h"
#include "signingkey.h"

struct ServerOptions
{
    QHostAddress bindAddress;
    quint16 port = 17384;
    QByteArray replyText; // used when replyFile is empty
    QString replyFile;
    // A version key: every answer then carries the time and a signature.
    QString signKeyFile;
    double ratePerSecond = 20;
    double burst = 40;
    bool quiet = false;
};

// Answers every request datagram with the reply text, within the limits
// that keep it from being used to flood a forged source.
class VersionServer : public QObject
{
    Q_OBJECT

public:
    explicit VersionServer(const ServerOptions &options, QObject *parent = nullptr);
    ~VersionServer() override;

    // Loads the reply and binds; on failure *error says why.
    bool start(QString *error);
    // One closing line with the counts, written before the program ends.
    void logSummary();

private:
    void readRequests();
    void handleRequest(const char *data, qint64 size, const QHostAddress &sender, quint16 senderPort);
    void filesChanged();
    bool loadReplyFile(QString *error);
    bool loadSignKey(QString *error);
    void watchFile(const QString &file);
    // The reply as sent now: signed anew each second when there is a key.
    const QByteArray &answer();
    void logDrops();
    void log(const QByteArray &line);
    void flushLog();
    QByteArray timestamp();

    ServerOptions options;
    QUdpSocket socket;
    QByteArray reply;
    vt3publish::SigningKey signKey;
    bool signing = false;
    QByteArray signedAnswer;
    qint64 signedSecond = -1;
    RateLimiter limiter;
    QFileSystemWatcher watcher;
    QElapsedTimer clock;
    QTimer flushTimer;
    QTimer dropReportTimer;
    QByteArray logBuffer;
    qint64 stampSecond = -1;
    QByteArray stampText;

    quint64 answered = 0;
    quint64 droppedEmpty = 0;
    quint64 droppedOversize = 0;
    quint64 droppedRate = 0;
    quint64 reportedDrops = 0;
};

#endif // VERSIONSERVER_H
