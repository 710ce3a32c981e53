#include "httpfixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace {
// Requests are tiny GET lines; anything longer is not a test client.
constexpr int MaxRequestHeaderBytes = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}
} // namespace

HttpFixture::HttpFixture(QObject *parent)
    : QObject(parent)
    , server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &HttpFixture::onNewConnection);
}

HttpFixture::~HttpFixture() = default;

bool HttpFixture::listen()
{
    return server->listen(QHostAddress::LocalHost, 0);
}

quint16 HttpFixture::port() const
{
    return server->serverPort();
}

QString HttpFixture::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port());
}

void HttpFixture::serve(const QString &path, const QByteArray &body)
{
    Route route;
    route.body = body;
    routes.insert(path, route);
}

void HttpFixture::setRoute(const QString &path, const Route &route)
{
    routes.insert(path, route);
}

void HttpFixture::serveDirectory(const QString &urlPrefix, const QString &dir)
{
    QString prefix = urlPrefix;
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    const QDir root(dir);
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        QFile f(file);
        if (f.open(QIODevice::ReadOnly))
            serve(prefix + root.relativeFilePath(file), f.readAll());
    }
}

void HttpFixture::removeRoute(const QString &path)
{
    routes.remove(path);
}

int HttpFixture::requestCount(const QString &path) const
{
    return counts.value(path);
}

QStringList HttpFixture::requestLog() const
{
    return log;
}

void HttpFixture::resetLog()
{
    log.clear();
    counts.clear();
}

void HttpFixture::onNewConnection()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void HttpFixture::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = pending[socket];
    buffer += socket->readAll();
    if (buffer.size() > MaxRequestHeaderBytes) {
        socket->abort();
        return;
    }
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    buffer.clear();
    // Only one request per connection; later bytes are ignored.
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    if (requestLine.size() < 2) {
        socket->abort();
        return;
    }
    const QString path = QUrl::fromPercentEncoding(requestLine.at(1));
    log << path;
    counts[path] += 1;
    respond(socket, path);
}

void HttpFixture::respond(QTcpSocket *socket, const QString &path)
{
    Route route;
    if (routes.contains(path)) {
        route = routes.value(path);
    } else {
        route.status = 404;
        route.body = "not found";
    }
    if (route.firstByteDelayMs < 0)
        return; // silent: the client has to give up by itself

    QPointer<QTcpSocket> guard(socket);
    auto start = [this, guard, route] {
        if (!guard)
            return;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reasonPhrase(route.status) + "\r\n";
        head += "Content-Type: application/octet-stream\r\n";
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
        head += "Connection: close\r\n\r\n";
        guard->write(head);
        sendBody(guard, route, 0);
    };
    if (route.firstByteDelayMs > 0)
        QTimer::singleShot(route.firstByteDelayMs, this, start);
    else
        start();
}

void HttpFixture::sendBody(QTcpSocket *socket, const Route &route, qint64 offset)
{
    const qint64 size = route.body.size();
    qint64 limit = size;
    if (route.stallAfterBytes >= 0)
        limit = qMin(limit, route.stallAfterBytes);
    if (route.closeAfterBytes >= 0)
        limit = qMin(limit, route.closeAfterBytes);

    qint64 chunk = limit - offset;
    if (route.dripBytes > 0)
        chunk = qMin<qint64>(chunk, route.dripBytes);
    if (chunk > 0)
        socket->write(route.body.constData() + offset, chunk);
    offset += qMax<qint64>(chunk, 0);

    if (offset < limit) {
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(route.dripIntervalMs, this, [this, guard, route, offset] {
            if (guard)
                sendBody(guard, route, offset);
        });
        return;
    }
    if (route.closeAfterBytes >= 0 && route.closeAfterBytes < size) {
        socket->flush();
        socket->disconnectFromHost();
        return;
    }
    if (route.stallAfterBytes >= 0 && route.stallAfterBytes < size)
        return; // stays open, silent
    socket->disconnectFromHost();
}
