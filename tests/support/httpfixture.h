#ifndef HTTPFIXTURE_H
#define HTTPFIXTURE_H

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

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
        // Sent as the Location header (redirects).
        QByteArray location;
        // What a "Range: bytes=N-" request gets: the whole body with 200
        // (as servers without range support answer), 206 from N, or 206
        // whose Content-Range does not start at N.
        enum RangeMode { IgnoreRange, HonourRange, WrongContentRange };
        RangeMode range = IgnoreRange;
    };

    // One received request: its decoded path and its headers, names in
    // lower case.
    struct Request
    {
        QString path;
        QHash<QByteArray, QByteArray> headers;
    };

    explicit HttpFixture(QObject *parent = nullptr);
    ~HttpFixture() override;

    // Listens on 127.0.0.1 with a free port.
    bool listen();
    // The same over TLS with the given PEM certificate and key;
    // baseUrl() then starts with "https://" and names host.
    bool listenTls(const QString &certificatePem, const QString &keyPem,
                   const QString &host = QStringLiteral("127.0.0.1"));
    quint16 port() const;
    // "http://127.0.0.1:<port>/"
    QString baseUrl() const;

    // Paths are the decoded URL path, starting with "/".
    void serve(const QString &path, const QByteArray &body);
    void setRoute(const QString &path, const Route &route);
    // Serves every file below dir under urlPrefix + relative path.
    void serveDirectory(const QString &urlPrefix, const QString &dir);
    void removeRoute(const QString &path);
    // Every path without a route of its own is answered with status and
    // a Location of targetBase + the path (without its leading "/").
    void redirectAll(const QString &targetBase, int status);

    int requestCount(const QString &path) const;
    // Every request path in the order the requests arrived.
    QStringList requestLog() const;
    void resetLog();
    QVector<Request> requests() const;

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const Request &request);
    void sendBody(QTcpSocket *socket, const Route &route, qint64 offset);

    QTcpServer *server;
    QString scheme = QStringLiteral("http");
    QString hostName = QStringLiteral("127.0.0.1");
    QString redirectBase;
    int redirectStatus = 0;
    QVector<Request> received;
    QHash<QString, Route> routes;
    QHash<QString, int> counts;
    QStringList log;
    QHash<QTcpSocket *, QByteArray> pending;
};

#endif // HTTPFIXTURE_H
