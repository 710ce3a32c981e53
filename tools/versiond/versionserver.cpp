#include "versionserver.h"

#include "replysignature.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

namespace {
// The updater's request is one byte; anything much longer is not ours, and
// answering it would only help someone flood a forged source.
constexpr qint64 MaxRequestBytes = 64;
// Large enough to see that something was oversized, small enough for the stack.
constexpr int ReceiveBufferBytes = 65536;
// A reply must fit one unfragmented datagram on any path.
constexpr int MaxReplyBytes = 1024;
// Source addresses whose buckets are kept; forged ones must not exhaust memory.
constexpr int MaxTrackedSources = 100000;
// Logging goes out in batches so that a busy server spends its time answering.
constexpr int LogFlushMs = 200;
constexpr int LogFlushBytes = 64 * 1024;
// Dropped requests are summed up rather than logged one by one: a flood must
// not turn into a flood of log lines.
constexpr int DropReportMs = 10000;
} // namespace

VersionServer::VersionServer(const ServerOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , limiter(options.ratePerSecond, options.burst, MaxTrackedSources)
{
    clock.start();
    connect(&socket, &QUdpSocket::readyRead, this, &VersionServer::readRequests);
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, &VersionServer::filesChanged);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, &VersionServer::filesChanged);
    flushTimer.setInterval(LogFlushMs);
    connect(&flushTimer, &QTimer::timeout, this, &VersionServer::flushLog);
    dropReportTimer.setInterval(DropReportMs);
    connect(&dropReportTimer, &QTimer::timeout, this, &VersionServer::logDrops);
}

VersionServer::~VersionServer()
{
    flushLog();
}

bool VersionServer::start(QString *error)
{
    if (options.replyFile.isEmpty()) {
        if (options.replyText.size() > MaxReplyBytes) {
            *error = QStringLiteral("reply text is longer than %1 bytes").arg(MaxReplyBytes);
            return false;
        }
        reply = options.replyText;
    } else {
        if (!loadReplyFile(error))
            return false;
        watchFile(options.replyFile);
    }
    if (!options.signKeyFile.isEmpty()) {
        if (!loadSignKey(error))
            return false;
        watchFile(options.signKeyFile);
    }

    // Exclusive on purpose: the updater binds this port too, with address
    // reuse, and would otherwise read its own request back as the reply.
    if (!socket.bind(options.bindAddress, options.port, QAbstractSocket::DontShareAddress)) {
        *error = QStringLiteral("cannot bind %1:%2: %3")
                     .arg(options.bindAddress.toString())
                     .arg(options.port)
                     .arg(socket.errorString());
        return false;
    }
    log("listening on " + options.bindAddress.toString().toUtf8() + ':' + QByteArray::number(socket.localPort()) +
        ", reply " + reply + (signing ? ", signed by version key " + signKey.keyId() : QByteArray()));
    flushLog();
    flushTimer.start();
    dropReportTimer.start();
    return true;
}

void VersionServer::readRequests()
{
    char buffer[ReceiveBufferBytes];
    while (socket.hasPendingDatagrams()) {
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size = socket.readDatagram(buffer, sizeof buffer, &sender, &senderPort);
        if (size < 0)
            break;
        handleRequest(buffer, size, sender, senderPort);
    }
    if (logBuffer.size() >= LogFlushBytes)
        flushLog();
}

void VersionServer::handleRequest(const char *data, qint64 size, const QHostAddress &sender, quint16 senderPort)
{
    Q_UNUSED(data);
    if (size == 0) {
        ++droppedEmpty;
        return;
    }
    if (size > MaxRequestBytes) {
        ++droppedOversize;
        return;
    }
    // Port 0 cannot be answered; it is never a real client.
    if (senderPort == 0 || !limiter.allow(sender, clock.elapsed())) {
        ++droppedRate;
        return;
    }
    socket.writeDatagram(answer(), sender, senderPort);
    ++answered;
    if (!options.quiet)
        log(timestamp() + ' ' + sender.toString().toUtf8() + ':' + QByteArray::number(senderPort) + ' ' +
            QByteArray::number(size) + " byte(s), answered");
}

bool VersionServer::loadReplyFile(QString *error)
{
    QFile file(options.replyFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(options.replyFile, file.errorString());
        return false;
    }
    const QByteArray content = file.read(MaxReplyBytes + 1);
    if (content.size() > MaxReplyBytes) {
        *error = QStringLiteral("%1 is longer than %2 bytes").arg(options.replyFile).arg(MaxReplyBytes);
        return false;
    }
    // Files written by editors and scripts end in a newline, which would
    // otherwise become part of the version text the updater shows.
    const QByteArray text = content.trimmed();
    if (text.isEmpty()) {
        *error = QStringLiteral("%1 is empty").arg(options.replyFile);
        return false;
    }
    reply = text;
    return true;
}

bool VersionServer::loadSignKey(QString *error)
{
    vt3publish::SigningKey key;
    QString why;
    if (vt3publish::readSigningKey(options.signKeyFile, vt3publish::KeyRole::Version, key, why) !=
        vt3publish::KeyStatus::Ok) {
        *error = why;
        return false;
    }
    signKey = key;
    signing = true;
    signedSecond = -1;
    return true;
}

const QByteArray &VersionServer::answer()
{
    if (!signing)
        return reply;
    // One signature a second serves every request of that second; the
    // time an answer carries is only ever read to the second.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now != signedSecond) {
        // Readers take the record before the first ","; the signed part
        // follows it, so whatever else the file had there is left out.
        const QString record = QString::fromUtf8(reply).section(QLatin1Char(','), 0, 0);
        signedAnswer =
            vt3::replysignature::compose(record, now, signKey.sign(vt3::replysignature::signedMessage(record, now)));
        signedSecond = now;
    }
    return signedAnswer;
}

void VersionServer::watchFile(const QString &file)
{
    // The directory too: a file replaced by rename drops out of the watch.
    const QString path = QFileInfo(file).absoluteFilePath();
    if (!watcher.files().contains(path) && QFileInfo::exists(path))
        watcher.addPath(path);
    const QString dir = QFileInfo(path).absolutePath();
    if (!watcher.directories().contains(dir))
        watcher.addPath(dir);
}

void VersionServer::filesChanged()
{
    QString error;
    if (!options.replyFile.isEmpty()) {
        const QByteArray before = reply;
        // Half-written or vanished files keep the last good reply.
        if (!loadReplyFile(&error)) {
            log(timestamp() + " keeping the old reply: " + error.toUtf8());
        } else if (reply != before) {
            signedSecond = -1;
            log(timestamp() + " reply now " + reply);
        }
        watchFile(options.replyFile);
    }
    if (signing) {
        const QByteArray before = signKey.publicKey;
        if (!loadSignKey(&error))
            log(timestamp() + " keeping the old version key: " + error.toUtf8());
        else if (signKey.publicKey != before)
            log(timestamp() + " now signing with version key " + signKey.keyId());
        watchFile(options.signKeyFile);
    }
    flushLog();
}

void VersionServer::logDrops()
{
    const quint64 drops = droppedEmpty + droppedOversize + droppedRate;
    if (drops == reportedDrops)
        return;
    reportedDrops = drops;
    log(timestamp() + " dropped so far: " + QByteArray::number(droppedEmpty) + " empty, " +
        QByteArray::number(droppedOversize) + " oversize, " + QByteArray::number(droppedRate) + " over the rate limit");
}

void VersionServer::logSummary()
{
    log(timestamp() + " stopping: answered " + QByteArray::number(answered) + ", dropped " +
        QByteArray::number(droppedEmpty) + " empty, " + QByteArray::number(droppedOversize) + " oversize, " +
        QByteArray::number(droppedRate) + " over the rate limit");
    flushLog();
}

void VersionServer::log(const QByteArray &line)
{
    logBuffer += line;
    logBuffer += '\n';
}

void VersionServer::flushLog()
{
    const char *data = logBuffer.constData();
    qint64 left = logBuffer.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, static_cast<size_t>(left));
        if (written <= 0)
            break;
        data += written;
        left -= written;
    }
    logBuffer.clear();
}

QByteArray VersionServer::timestamp()
{
    // Formatting a date per request is costly; the second changes rarely.
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = nowMs / 1000;
    if (second != stampSecond) {
        stampSecond = second;
        stampText = QDateTime::fromSecsSinceEpoch(second).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8();
    }
    return stampText + '.' + QByteArray::number(nowMs % 1000).rightJustified(3, '0');
}
