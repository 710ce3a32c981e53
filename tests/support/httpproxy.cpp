#include "httpproxy.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

namespace {
constexpr int MaxRequestHeaderBytes = 64 * 1024;
const char BufferProperty[] = "vt3proxyBuffer";
} // namespace

HttpProxy::HttpProxy(QObject *parent)
    : QObject(parent)
    , server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &HttpProxy::onNewConnection);
}

bool HttpProxy::listen()
{
    return server->listen(QHostAddress::LocalHost, 0);
}

quint16 HttpProxy::port() const
{
    return server->serverPort();
}

QString HttpProxy::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void HttpProxy::setRequireCredentials(bool on)
{
    requireCredentials = on;
}

QStringList HttpProxy::requestLog() const
{
    return log;
}

void HttpProxy::onNewConnection()
{
    while (QTcpSocket *client = server->nextPendingConnection()) {
        connect(client, &QTcpSocket::readyRead, this, [this, client] { onReadyRead(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

void HttpProxy::onReadyRead(QTcpSocket *client)
{
    QByteArray buffer = client->property(BufferProperty).toByteArray() + client->readAll();
    if (buffer.size() > MaxRequestHeaderBytes) {
        client->abort();
        return;
    }
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        client->setProperty(BufferProperty, buffer);
        return;
    }
    // One request per connection, like the mirrors.
    disconnect(client, &QTcpSocket::readyRead, this, nullptr);
    forward(client, buffer.left(end));
}

void HttpProxy::forward(QTcpSocket *client, const QByteArray &head)
{
    QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.takeFirst().trimmed().split(' ');
    if (requestLine.size() < 3 || requestLine.at(0) != "GET") {
        client->abort();
        return;
    }
    const QUrl target(QString::fromLatin1(requestLine.at(1)));
    log << target.toString();
    if (requireCredentials) {
        client->write("HTTP/1.1 407 Proxy Authentication Required\r\n"
                      "Proxy-Authenticate: Basic realm=\"vt3 test proxy\"\r\n"
                      "Content-Length: 0\r\nConnection: close\r\n\r\n");
        client->disconnectFromHost();
        return;
    }

    QByteArray outgoing = "GET " + target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) + " HTTP/1.1\r\n";
    for (const QByteArray &line : qAsConst(lines)) {
        const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
        if (name != "connection" && name != "proxy-connection" && name != "keep-alive")
            outgoing += line.trimmed() + "\r\n";
    }
    outgoing += "Connection: close\r\n\r\n";

    auto *upstream = new QTcpSocket(client);
    QPointer<QTcpSocket> guard(client);
    connect(upstream, &QTcpSocket::connected, upstream, [upstream, outgoing] { upstream->write(outgoing); });
    connect(upstream, &QTcpSocket::readyRead, upstream, [upstream, guard] {
        if (guard)
            guard->write(upstream->readAll());
    });
    connect(upstream, &QTcpSocket::disconnected, upstream, [upstream, guard] {
        if (!guard)
            return;
        guard->write(upstream->readAll());
        guard->disconnectFromHost();
    });
    connect(upstream, &QTcpSocket::errorOccurred, upstream, [guard](QAbstractSocket::SocketError error) {
        if (guard && error != QAbstractSocket::RemoteHostClosedError)
            guard->abort();
    });
    // Every origin is on this machine, whatever its name.
    upstream->connectToHost(QHostAddress(QHostAddress::LocalHost), quint16(target.port(80)));
}
