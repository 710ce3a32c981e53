#ifndef HTTPPROXY_H
#define HTTPPROXY_H

#include <QObject>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// A forwarding HTTP proxy on 127.0.0.1 for the tests: takes absolute-URI
// GET requests ("GET http://host:port/path HTTP/1.1"), forwards each to
// its origin server with Connection: close and pipes the answer back.
// Every origin is taken to be on 127.0.0.1, so tests can name mirrors by
// names that never resolve (the framework never proxies loopback names).
// With requireCredentials every request is answered 407 instead.
class HttpProxy : public QObject
{
    Q_OBJECT

public:
    explicit HttpProxy(QObject *parent = nullptr);

    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>", the form http_proxy takes.
    QString url() const;
    void setRequireCredentials(bool on);

    // The absolute URIs asked for, in the order they arrived.
    QStringList requestLog() const;

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *client);
    void forward(QTcpSocket *client, const QByteArray &head);

    QTcpServer *server;
    bool requireCredentials = false;
    QStringList log;
};

#endif // HTTPPROXY_H
