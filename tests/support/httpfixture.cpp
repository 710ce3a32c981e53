#include "httpfixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
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
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}
// Hands every accepted connection over as a server-side TLS socket.
class TlsServer : public QTcpServer
{
public:
    TlsServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent)
        : QTcpServer(parent)
        , certificate(certificate)
        , key(key)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        addPendingConnection(socket);
        socket->startServerEncryption();
    }

private:
    QSslCertificate certificate;
    QSslKey key;
};

// "bytes=N-" as the client sends it; -1 for anything else.
qint64 requestedStart(const QByteArray &range)
{
    if (!range.startsWith("bytes=") || !range.endsWith('-'))
        return -1;
    bool ok = false;
    const qint64 start = range.mid(6, range.size() - 7).toLongLong(&ok);
    return ok ? start : -1;
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

bool HttpFixture::listenTls(const QString &certificatePem, const QString &keyPem, const QString &host)
{
    QFile certFile(certificatePem);
    QFile keyFile(keyPem);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        return false;
    const QSslCertificate certificate(&certFile, QSsl::Pem);
    const QSslKey key(&keyFile, QSsl::Rsa, QSsl::Pem);
    if (certificate.isNull() || key.isNull())
        return false;
    delete server;
    server = new TlsServer(certificate, key, this);
    connect(server, &QTcpServer::newConnection, this, &HttpFixture::onNewConnection);
    scheme = QStringLiteral("https");
    hostName = host;
    return listen();
}

quint16 HttpFixture::port() const
{
    return server->serverPort();
}

QString HttpFixture::baseUrl() const
{
    return QStringLiteral("%1://%2:%3/").arg(scheme, hostName).arg(port());
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

void HttpFixture::redirectAll(const QString &targetBase, int status)
{
    redirectBase = targetBase;
    redirectStatus = status;
}

QVector<HttpFixture::Request> HttpFixture::requests() const
{
    return received;
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
    received.clear();
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
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    buffer.clear();
    // Only one request per connection; later bytes are ignored.
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    if (requestLine.size() < 2) {
        socket->abort();
        return;
    }
    Request request;
    request.path = QUrl::fromPercentEncoding(requestLine.at(1));
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    log << request.path;
    counts[request.path] += 1;
    received << request;
    respond(socket, request);
}

void HttpFixture::respond(QTcpSocket *socket, const Request &request)
{
    const QString &path = request.path;
    Route route;
    if (routes.contains(path)) {
        route = routes.value(path);
    } else if (redirectStatus != 0) {
        route.status = redirectStatus;
        route.location = (redirectBase + path.mid(1)).toUtf8();
    } else {
        route.status = 404;
        route.body = "not found";
    }
    QByteArray contentRange;
    const qint64 start = requestedStart(request.headers.value("range"));
    const qint64 size = route.body.size();
    if (route.status == 200 && start >= 0 && start < size && route.range != Route::IgnoreRange) {
        route.status = 206;
        if (route.range == Route::HonourRange) {
            contentRange = "bytes " + QByteArray::number(start) + '-' + QByteArray::number(size - 1) + '/' +
                           QByteArray::number(size);
            route.body = route.body.mid(int(start));
        } else {
            // Claims the start of the file, which was not asked for.
            contentRange = "bytes 0-" + QByteArray::number(size - 1) + '/' + QByteArray::number(size);
        }
    }
    if (route.firstByteDelayMs < 0)
        return; // silent: the client has to give up by itself

    QPointer<QTcpSocket> guard(socket);
    auto begin = [this, guard, route, contentRange] {
        if (!guard)
            return;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reasonPhrase(route.status) + "\r\n";
        head += "Content-Type: application/octet-stream\r\n";
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
        if (!route.location.isEmpty())
            head += "Location: " + route.location + "\r\n";
        if (!contentRange.isEmpty())
            head += "Content-Range: " + contentRange + "\r\n";
        head += "Connection: close\r\n\r\n";
        guard->write(head);
        sendBody(guard, route, 0);
    };
    if (route.firstByteDelayMs > 0)
        QTimer::singleShot(route.firstByteDelayMs, this, begin);
    else
        begin();
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
