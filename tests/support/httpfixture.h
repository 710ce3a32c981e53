#ifndef HTTPFIXTURE_H
#define HTTPFIXTURE_H

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for the tests, with a fault mode per
// path. Answers GET only; one request per connection (Connection: close).
class HttpFixture : public QObject
{
    Q_OBJECT

public:
    struct Route
    {
        int status = 200;
        QByteArray body;
        // Milliseconds before the status line is sent; -1 never answers
        // (the connection stays open, silent).
        int firstByteDelayMs = 0;
        // After this many body bytes the server goes silent but keeps the
        // connection open; -1 sends everything.
        qint64 stallAfterBytes = -1;
        // After this many body bytes the connection is closed although
        // Content-Length announced the whole body; -1 sends everything.
        qint64 closeAfterBytes = -1;
        // Send the body in pieces of dripBytes every dripIntervalMs; 0 sends
        // it at once.
        int dripBytes = 0;
        int dripIntervalMs = 0;
    };

    explicit HttpFixture(QObject *parent = nullptr);
    ~HttpFixture() override;

    // Listens on 127.0.0.1 with a free port.
    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>/"
    QString baseUrl() const;

    // Paths are the decoded URL path, starting with "/".
    void serve(const QString &path, const QByteArray &body);
    void setRoute(const QString &path, const Route &route);
    // Serves every file below dir under urlPrefix + relative path.
    void serveDirectory(const QString &urlPrefix, const QString &dir);
    void removeRoute(const QString &path);

    int requestCount(const QString &path) const;
    // Every request path in the order the requests arrived.
    QStringList requestLog() const;
    void resetLog();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QString &path);
    void sendBody(QTcpSocket *socket, const Route &route, qint64 offset);

    QTcpServer *server;
    QHash<QString, Route> routes;
    QHash<QString, int> counts;
    QStringList log;
    QHash<QTcpSocket *, QByteArray> pending;
};

#endif // HTTPFIXTURE_H
