#include "singleinstance.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QtEndian>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {
// A message is a 4-byte big-endian length and that many bytes of UTF-8; the
// primary answers each complete message with one byte, so the sender knows
// it was taken and not just buffered.
constexpr int LengthBytes = 4;
constexpr char AckByte = '\x06';
// Anything larger is not one of ours; the connection is dropped rather than
// buffered without end.
constexpr quint32 MaxMessageBytes = 64 * 1024;
// A start racing the primary may find the lock taken but nobody listening
// yet; it looks again after this pause until its time-out runs out.
constexpr unsigned long ConnectRetryMs = 50;
// Hex digits of the identity hash in the names: short enough for the
// length limit of a Unix socket path, long enough not to collide.
constexpr int NameHashDigits = 16;

#ifdef Q_OS_WIN
// The window of a user who may not write the installation starts the
// updater again elevated and waits for it: the same user, but the run is
// the elevated one's, and the waiting window must not turn it away.
bool isElevated()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool known = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    ::CloseHandle(token);
    return known && elevation.TokenIsElevated != 0;
}
#endif

QString userIdentity()
{
#ifdef Q_OS_WIN
    const QString user = qEnvironmentVariable("USERDOMAIN") + QLatin1Char('\\') + qEnvironmentVariable("USERNAME");
    return isElevated() ? user + QLatin1String("\nelevated") : user;
#else
    // The numeric id, not $USER: the environment is the caller's to change.
    return QString::number(::getuid());
#endif
}

QString executableIdentity()
{
    const QString path = QDir::cleanPath(QCoreApplication::applicationFilePath());
#ifdef Q_OS_WIN
    // The file system ignores case, so C:\App\vt3update.exe and
    // c:\app\VT3UPDATE.EXE are the same program.
    return path.toCaseFolded();
#else
    return path;
#endif
}
} // namespace

namespace vt3 {

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
    id = executableIdentity() + QLatin1Char('\n') + userIdentity();
    const QByteArray hash = QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha256).toHex();
    serverName = QLatin1String("vt3update-") + QString::fromLatin1(hash.left(NameHashDigits));

    lock = new QLockFile(QDir::temp().filePath(serverName + QLatin1String(".lock")));
    // A primary may run for hours; only a dead owner makes the lock stale,
    // never its age.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        becomePrimary();
        return;
    }
    if (lock->error() == QLockFile::LockFailedError)
        return; // another live instance holds it
    // The lock cannot be made at all (temp directory not writable, ...).
    // Refusing to start would lock the user out of updating, so run alone
    // unless an instance answers on the socket.
    QLocalSocket probe;
    probe.connectToServer(serverName);
    if (!probe.waitForConnected(0))
        becomePrimary();
}

SingleInstance::~SingleInstance()
{
    // Stop listening before the lock goes, so the next primary never sees
    // our socket without our lock.
    delete server;
    delete lock;
}

void SingleInstance::becomePrimary()
{
    primary = true;
    server = new QLocalServer;
    // Only this user may knock.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    // The lock is ours, so a socket of the same name is a left-over of a
    // primary that was killed.
    if (lock->isLocked())
        QLocalServer::removeServer(serverName);
    if (!server->listen(serverName))
        qWarning("single instance: cannot listen on %s: %s", qPrintable(serverName), qPrintable(server->errorString()));
}

bool SingleInstance::sendMessage(const QString &message, int timeout)
{
    if (primary)
        return false;
    const QDeadlineTimer deadline(timeout < 0 ? -1 : timeout);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(serverName);
        if (socket.waitForConnected(int(deadline.remainingTime())))
            break;
        socket.abort();
        if (deadline.hasExpired())
            return false;
        QThread::msleep(ConnectRetryMs);
    }

    const QByteArray payload = message.toUtf8();
    QByteArray frame(LengthBytes, Qt::Uninitialized);
    qToBigEndian(quint32(payload.size()), frame.data());
    frame += payload;
    socket.write(frame);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
            return false;
    }
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    char ack = 0;
    const bool taken = socket.getChar(&ack) && ack == AckByte;
    socket.disconnectFromServer();
    return taken;
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessages(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        readMessages(socket);
    }
}

void SingleInstance::readMessages(QLocalSocket *socket)
{
    while (socket->bytesAvailable() >= LengthBytes) {
        char header[LengthBytes];
        socket->peek(header, LengthBytes);
        const quint32 length = qFromBigEndian<quint32>(header);
        if (length > MaxMessageBytes) {
            socket->abort();
            return;
        }
        if (socket->bytesAvailable() < qint64(LengthBytes + length))
            return;
        socket->skip(LengthBytes);
        const QString text = QString::fromUtf8(socket->read(length));
        // A sender that gave up waiting has gone; the message still counts.
        if (socket->state() == QLocalSocket::ConnectedState) {
            socket->putChar(AckByte);
            socket->flush();
        }
        emit messageReceived(text);
    }
}

} // namespace vt3
