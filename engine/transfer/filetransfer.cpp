#include "filetransfer.h"

#include "request.h"
#include "run/runcontext.h"
#include "run/runprogress.h"
#include "run/texts.h"
#include "run/transcript.h"
#include "targetfile.h"

#include <QDeadlineTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

constexpr int HttpOk = 200;
constexpr int HttpPartialContent = 206;
constexpr int HttpFirstError = 400;
// How often a request still without an answer looks whether the server
// ended its connection meanwhile, and how long after that it waits for
// the framework to report it: the requests stranded with it are reported
// within moments of each other.
constexpr int StrandCheckMs = 500;
constexpr qint64 StrandedGraceMs = 1500;
// A mirror answers a request within moments, even with a hundred streams
// on a slow line; this much silence, where connections have ended under
// the run, is a request the framework lost. Half the stall limit at most.
constexpr qint64 SilentAfterStrandingMs = 5000;
// Qt 5.15 keeps reading an HTTP/2 stream whatever the reply's read buffer
// says: a stream that arrives faster than the window writes it is held in
// memory, up to the whole file. Larger files go on a connection of their
// own, whose read buffer holds the server back.
constexpr qint64 MaxMultiplexedBytes = 4 * 1024 * 1024;
// What a reply holds at once fits one of the pool's buffers.
constexpr qint64 ReadBufferBytes = vt3::PiecePool::PieceBytes;

// The first byte a "bytes N-M/T" answer holds, or -1.
qint64 rangeStart(const QByteArray &contentRange)
{
    const QByteArray value = contentRange.trimmed();
    const QByteArray unit = "bytes ";
    if (!value.startsWith(unit))
        return -1;
    const int dash = value.indexOf('-', unit.size());
    bool ok = false;
    const qint64 start = value.mid(unit.size(), dash - unit.size()).toLongLong(&ok, 10);
    return dash > 0 && ok ? start : -1;
}

int httpStatus(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

enum class Response { Append, StartOver, WrongRange, Rejected };

Response judge(QNetworkReply *reply, qint64 resumeOffset)
{
    const int status = httpStatus(reply);
    if (status == HttpOk)
        return Response::StartOver;
    if (status != HttpPartialContent || resumeOffset == 0)
        return Response::Rejected;
    return rangeStart(reply->rawHeader("Content-Range")) == resumeOffset ? Response::Append : Response::WrongRange;
}

} // namespace

namespace vt3 {

FileTransfer::FileTransfer(RunContext &context, const Target &target, QObject *parent)
    : QObject(parent)
    , run(context)
    , what(target)
    , watchdog([this] { return writtenBytes; })
{
    connect(&watchdog, &TransferWatchdog::stalled, this, [this] {
        failure = QStringLiteral("time-out");
        giveUp(Texts::tr("<font color=red>Error:timeout</font>"));
    });
    strandCheck.setInterval(StrandCheckMs);
    connect(&strandCheck, &QTimer::timeout, this, &FileTransfer::checkStranded);
    connect(&watchdog, &TransferWatchdog::crawls, this, [this] {
        failure = QStringLiteral("too slow");
        giveUp(Transcript::errorLine(Texts::tr("The transfer is too slow: less than 1 KB/s over the last %1 s.")
                                         .arg(watchdog.paceWindow() / 1000)));
    });
}

FileTransfer::~FileTransfer()
{
    kill();
}

QString FileTransfer::path() const
{
    return run.workPath(what.key);
}

bool FileTransfer::start()
{
    if (file.isOpen())
        file.close();
    accepted = false;
    sinceStart.start();
    if (!openTransferTarget(file, path(), run.workDir, &run.knownDirs))
        return false;
    // Shorter than announced can be the start of the file and is continued;
    // as long or longer is wrong somewhere and fetched again from byte 0.
    const qint64 present = file.size();
    const bool resume = present > 0 && present < what.expected.size;
    if (!resume && present > 0 && !file.resize(0)) {
        file.close();
        return false;
    }
    offset = resume ? present : 0;
    if (resume)
        file.seek(offset);
    writtenBytes = offset;

    unsent = false;
    turnedAway = false;
    send(QUrl(what.releaseUrl + what.group + QLatin1Char('/') + what.key, QUrl::TolerantMode), MaxRedirects);
    watchdog.start(run.limits.stallTimeoutMs, run.limits.paceWindowMs);
    if (what.resendable && what.releaseUrl == run.releaseUrl && run.multiplexed)
        strandCheck.start();
    return true;
}

void FileTransfer::send(const QUrl &url, int redirects)
{
    QNetworkRequest request = makeRequest(url, run.http2 && what.expected.size <= MaxMultiplexedBytes, redirects);
    if (offset > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
    answered = false;
    sentAtMs = QDeadlineTimer::current().deadline();
    reply = run.network.get(request);
    watchRedirects(reply);
    reply->setReadBufferSize(ReadBufferBytes);
    if (!what.beside)
        connect(reply, &QNetworkReply::downloadProgress, this,
                [this](qint64 received, qint64 total) { run.progress.headProgress(received, total); });
    connect(reply, &QNetworkReply::readyRead, this, &FileTransfer::readyRead);
    connect(reply, &QNetworkReply::errorOccurred, this, &FileTransfer::replyError);
    connect(reply, &QNetworkReply::finished, this, &FileTransfer::replyFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] { answered = true; });
}

void FileTransfer::kill()
{
    done = true;
    watchdog.stop();
    strandCheck.stop();
    dropStream();
    dropReply();
    file.close();
}

void FileTransfer::readyRead()
{
    watchdog.arrived();
    answered = true;
    if (!accepted) {
        // An error page: the framework reports the status itself when the
        // answer ends.
        if (reply->error() != QNetworkReply::NoError || httpStatus(reply) >= HttpFirstError) {
            reply->readAll();
            return;
        }
        if (judge(reply, offset) == Response::WrongRange) {
            // Bytes from elsewhere in the file cannot be placed; the whole
            // file from byte 0 instead.
            watchdog.stop();
            dropStream();
            dropReply();
            file.close();
            QFile::remove(path());
            if (!start())
                finish(false);
            return;
        }
        if (!accept()) {
            // Nothing of an answer that is not the file may reach it; the
            // line names the status, and the attempt has failed.
            run.transcript.error(transferError(reply), what.position);
            run.transcript.detail(requestFailure(reply), what.position);
            failure = vt3::failureKind(reply);
            disconnect(reply, &QNetworkReply::errorOccurred, this, &FileTransfer::replyError);
            reply->abort();
            return;
        }
    }
    writeAvailable();
}

bool FileTransfer::accept()
{
    switch (judge(reply, offset)) {
    case Response::Append:
        break;
    case Response::StartOver:
        if (writtenBytes > 0) {
            file.resize(0);
            file.seek(0);
        }
        writtenBytes = 0;
        offset = 0;
        break;
    case Response::WrongRange:
    case Response::Rejected:
        return false;
    }
    accepted = true;
    StreamJob job;
    job.key = what.key;
    job.download = path();
    job.expected = what.expected;
    job.prefix = offset;
    job.unpackTarget = what.unpackTarget;
    streamId = run.newStream();
    const quint64 id = streamId;
    run.toWorker([id, job](ReleaseWorker *w) { w->beginStream(id, job); });
    streaming = true;
    return true;
}

bool FileTransfer::writeAvailable()
{
    Written result = Written::All;
    while (result == Written::All && reply->bytesAvailable() > 0) {
        PiecePool::Piece piece = run.pieces->read(*reply);
        if (piece.bytes.isEmpty())
            break;
        result = writePiece(std::move(piece));
    }
    if (result == Written::All)
        return true;
    if (result == Written::WriteFailed)
        run.transcript.line(Texts::tr("<font color=red>write file %1 error</font>").arg(path().toHtmlEscaped()),
                            what.position);
    else
        run.transcript.error(Texts::tr("%1 is larger than the manifest announces.").arg(what.key), what.position);
    // abort() reports the failure and finished() at once, and the file's
    // next attempt goes on from there; nothing of this reply may reach the
    // file or the progress display afterwards.
    disconnect(reply, &QNetworkReply::readyRead, this, &FileTransfer::readyRead);
    disconnect(reply, &QNetworkReply::downloadProgress, this, nullptr);
    reply->abort();
    return false;
}

FileTransfer::Written FileTransfer::writePiece(PiecePool::Piece piece)
{
    // Past the announced size the transfer is cut off, so a mirror cannot
    // fill the disk with more than the manifest announced.
    QByteArray data = std::move(piece.bytes);
    Written result = Written::All;
    const qint64 limit = what.expected.size;
    if (limit >= 0 && writtenBytes + data.size() > limit) {
        data.truncate(int(qMax<qint64>(0, limit - writtenBytes)));
        result = Written::Oversized;
    }
    if (!data.isEmpty() && file.write(data) != data.size())
        return Written::WriteFailed;
    writtenBytes += data.size();
    if (what.beside)
        run.progress.besideWrote(data.size());
    if (!streaming || data.isEmpty())
        return result;
    const quint64 id = streamId;
    // The digests and the unpacking take the same bytes, in the worker;
    // the buffer is shared, not copied, and the worker lets go of it once
    // it has them.
    if (piece.lendable) {
        run.toWorker([id, data = std::move(data)](ReleaseWorker *w) mutable { w->streamBytes(id, std::move(data)); });
        return result;
    }
    // Every buffer is on its way to the worker. The connection does not
    // wait for it: a connection held back let the network side take what
    // the socket held in pieces far past the read buffer's bound. The
    // worker reads this stretch back from the file instead, in its turn.
    const qint64 length = data.size();
    run.toWorker([id, length](ReleaseWorker *w) { w->streamWritten(id, length); });
    return result;
}

void FileTransfer::replyError()
{
    // The framework's failed attempt at a relative redirect; it is sent
    // again where it leads once the reply has ended.
    if (reply->error() == QNetworkReply::NoError || (!accepted && relativeRedirect(reply).isValid()))
        return;
    // Servers end connections as a matter of course (after so many
    // requests, when idle); what they never started is no fault of the
    // file or the mirror, and only the disk log hears of it.
    if (!accepted && neverStarted(reply)) {
        run.strandedAtMs = QDeadlineTimer::current().deadline();
        if (what.resendable) {
            unsent = true;
            turnedAway = reply->error() == QNetworkReply::ProtocolUnknownError;
            unsentWhy = reply->errorString();
            return;
        }
    }
    run.transcript.error(transferError(reply), what.position);
    run.transcript.detail(requestFailure(reply), what.position);
    failure = vt3::failureKind(reply);
}

void FileTransfer::replyFinished()
{
    const QUrl relative = relativeRedirect(reply);
    if (relative.isValid() && !accepted) {
        const int left = redirectsLeft(reply);
        dropReply();
        send(relative, left);
        return;
    }
    watchdog.stop();
    strandCheck.stop();
    bool ok = reply->error() == QNetworkReply::NoError;
    // An answer without a body (204, an empty 206) was never judged.
    if (ok && !accepted && !accept()) {
        run.transcript.error(transferError(reply), what.position);
        run.transcript.detail(requestFailure(reply), what.position);
        failure = vt3::failureKind(reply);
        ok = false;
    }
    // The file's end may still be in the reply; it goes to the digests
    // too, or the file would fail them and be read from disk once more.
    if (ok && reply->bytesAvailable() > 0)
        ok = writeAvailable();
    dropReply();
    file.close();
    if (!ok) {
        dropStream();
        finish(false);
        return;
    }
    streaming = false;
    const quint64 id = streamId;
    run.toWorker([id](ReleaseWorker *w) { w->endStream(id); });
    finish(true);
}

double FileTransfer::bytesPerSecond() const
{
    // A small file's time is mostly the round trip; it tells nothing of
    // what the mirror can carry.
    constexpr qint64 TellingBytes = 256 * 1024;
    constexpr qint64 TellingMs = 100;
    const qint64 ms = sinceStart.isValid() ? sinceStart.elapsed() : 0;
    if (writtenBytes < TellingBytes || ms < TellingMs)
        return -1;
    return writtenBytes * 1000.0 / ms;
}

void FileTransfer::checkStranded()
{
    if (!reply || answered || accepted) {
        strandCheck.stop();
        return;
    }
    // The framework can lose a request that was waiting on a connection
    // when the server ended it: neither an answer nor an error ever comes.
    // A request sent before the server ended a connection, or so soon
    // after that it may have been handed the ending one, is taken for one
    // of those stranded once the others have been told. One sent later may
    // still have been queued for the ending connection: once connections
    // have ended under this run, a long silence means the same.
    const qint64 now = QDeadlineTimer::current().deadline();
    const qint64 stranded = run.strandedAtMs;
    if (stranded == 0)
        return;
    const bool withOthers = sentAtMs <= stranded + StrandedGraceMs && now - stranded >= StrandedGraceMs;
    const bool silent = now - sentAtMs >= qMin<qint64>(SilentAfterStrandingMs, run.limits.stallTimeoutMs / 2);
    if (!withOthers && !silent)
        return;
    QNetworkReply *lost = reply;
    unsent = true;
    watchdog.stop();
    strandCheck.stop();
    dropReply();
    file.close();
    unsentWhy = Texts::tr("no answer after the server ended a connection");
    run.transcript.detail(requestFailure(lost), what.position);
    finish(false);
}

void FileTransfer::giveUp(const QString &line)
{
    if (!reply)
        return;
    // Released later, so it can still name itself in the disk log.
    QNetworkReply *given = reply;
    watchdog.stop();
    strandCheck.stop();
    dropStream();
    dropReply();
    file.close();
    run.transcript.line(line, what.position);
    run.transcript.detail(requestFailure(given), what.position);
    finish(false);
}

void FileTransfer::dropReply()
{
    if (!reply)
        return;
    QNetworkReply *gone = reply;
    reply = nullptr;
    gone->disconnect(this);
    // A finished reply has let go of its connection; only one still
    // running is cut off.
    if (!gone->isFinished())
        gone->abort();
    gone->deleteLater();
}

void FileTransfer::dropStream()
{
    if (!streaming)
        return;
    streaming = false;
    const quint64 id = streamId;
    run.toWorker([id](ReleaseWorker *w) { w->dropStream(id); });
}

void FileTransfer::finish(bool complete)
{
    if (done)
        return;
    done = true;
    // Always from the event loop: whoever hears it may delete this, which
    // must not happen inside the reply's or the timer's own signal.
    QMetaObject::invokeMethod(
        this, [this, complete] { emit ended(this, complete); }, Qt::QueuedConnection);
}

} // namespace vt3
