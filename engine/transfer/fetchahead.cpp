#include "updateengine.h"

#include "releaseformat.h"

#include <QFileInfo>

// Transfers beside the head of the download queue. A far mirror costs
// every file a round trip, whatever its size; while the head of the queue
// fetches one file, up to parallelTransfers - 1 small files further down
// the queue are fetched whole into the work directory. Each is then handed
// to the worker, which checks and unpacks it from disk as it would a
// streamed file. When the head reaches such a key it takes up what came of
// it instead of asking the mirror again: a complete file is counted as
// downloaded, a failed one as the file's first attempt, whose line is said
// then. So the log, the attempts and the mirrors each file is asked of are
// those of one file at a time, and only the waiting overlaps.

namespace {

// Larger files go through the head of the queue, which unpacks them while
// they arrive and continues them across runs: for them the bytes, not the
// round trip, are the cost.
constexpr qint64 AheadMaxBytes = 4 * 1024 * 1024;
// Read in pieces no larger than the head's buffers; these files are small.
constexpr qint64 AheadReadBytes = 64 * 1024;

// The network framework keeps at most six connections to one server and
// queues further requests; a queued request can be handed a connection
// the server is closing, and fail without ever having been sent. Transfers
// beyond six would only wait in that queue anyway.
constexpr int ConnectionsPerServer = 6;

constexpr int HttpOk = 200;
constexpr int HttpFirstError = 400;

int statusOf(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

QString vt3::UpdateEngine::replyErrorLine(QNetworkReply *reply) const
{
    return tr("<font color=red>Error:%1</font>").arg(transferError(reply).toHtmlEscaped());
}

void vt3::UpdateEngine::fetchAhead()
{
    if (parallelTransfers <= 1 || runEnded || downloadQueue.isEmpty())
        return;
    // The cursor never falls behind the head: what the head passed is done.
    const auto head = downloadQueue.constBegin();
    if (aheadGroup < head.key() || (aheadGroup == head.key() && aheadIndex < queueCursor)) {
        aheadGroup = head.key();
        aheadIndex = queueCursor;
    }
    const int room = qMin(parallelTransfers, ConnectionsPerServer);
    int running = aheadRunning + (transfer.fileReply ? 1 : 0);
    auto group = downloadQueue.lowerBound(aheadGroup);
    if (group != downloadQueue.end() && group.key() != aheadGroup) {
        aheadGroup = group.key();
        aheadIndex = 0;
    }
    while (running < room && group != downloadQueue.end()) {
        if (aheadIndex >= group.value().size()) {
            if (++group != downloadQueue.end()) {
                aheadGroup = group.key();
                aheadIndex = 0;
            }
            continue;
        }
        const QString key = group.value().at(aheadIndex++);
        if (mayFetchAhead(key) && startAhead(group.key(), key))
            ++running;
    }
}

bool vt3::UpdateEngine::mayFetchAhead(const QString &key)
{
    if (key == transfer.fileKey || aheadTransfers.count(key) || isUpToDate(key) || !patchOf(key).isEmpty() ||
        !releaseFiles.contains(key) || expectedFile(key).size > AheadMaxBytes)
        return false;
    // What is there already, whole or in part, is the head's to check or
    // continue.
    const QFileInfo present(tempDir.path() + QLatin1Char('/') + key);
    if (present.exists() || present.isSymLink())
        return false;
    // Two keys that are one file where names ignore case, or a key that is
    // the manifest's name, would be written at once; one after the other
    // they were, and are.
    if (sharedNamesFor != releaseFiles.size()) {
        sharedNamesFor = releaseFiles.size();
        sharedNames.clear();
        QSet<QString> seen;
        for (auto entry = releaseFiles.constBegin(); entry != releaseFiles.constEnd(); ++entry) {
            const QString folded = vt3::format::foldedPath(entry.key());
            if (seen.contains(folded))
                sharedNames.insert(folded);
            seen.insert(folded);
        }
        sharedNames.insert(vt3::format::foldedPath(configFile));
    }
    return !sharedNames.contains(vt3::format::foldedPath(key));
}

bool vt3::UpdateEngine::startAhead(const QString &group, const QString &key)
{
    auto owned = std::make_unique<vt3::AheadTransfer>();
    vt3::AheadTransfer *ahead = owned.get();
    // A file that cannot be made is left to the head, which says so.
    if (!openTransferTarget(ahead->file, tempDir.path() + QLatin1Char('/') + key, false))
        return false;
    ahead->expectedSize = expectedFile(key).size;
    ahead->transfer.fileGroup = group;
    ahead->transfer.fileKey = key;
    const QUrl source(fileMirror(0) + group + QLatin1Char('/') + key, QUrl::TolerantMode);
    QNetworkReply *reply = networkManager.get(makeRequest(source));
    reply->setReadBufferSize(AheadReadBytes);
    ahead->transfer.fileReply = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, ahead] { aheadReadyRead(ahead); });
    connect(reply, &QNetworkReply::finished, this, [this, ahead] { aheadFinished(ahead); });
    connect(&ahead->transfer.stallTimer, &QTimer::timeout, this,
            [this, ahead] { failAhead(ahead, tr("<font color=red>Error:timeout</font>")); });
    connect(&ahead->transfer.paceTimer, &QTimer::timeout, this, [this, ahead] {
        if (!ahead->transfer.keepsPace(ahead->written, paceWindow))
            failAhead(ahead, tooSlowLine());
    });
    ahead->transfer.startTimers(stallTimeout, paceWindow);
    aheadTransfers[key] = std::move(owned);
    ++aheadRunning;
    return true;
}

void vt3::UpdateEngine::aheadReadyRead(vt3::AheadTransfer *ahead)
{
    QNetworkReply *reply = ahead->transfer.fileReply;
    ahead->transfer.stallTimer.start(stallTimeout);
    if (!ahead->transfer.responseAccepted) {
        // An error status is said when the answer ends.
        if (reply->error() != QNetworkReply::NoError || statusOf(reply) >= HttpFirstError) {
            reply->readAll();
            return;
        }
        // Nothing is continued here, so only the whole file will do.
        if (statusOf(reply) != HttpOk) {
            failAhead(ahead, replyErrorLine(reply));
            return;
        }
        ahead->transfer.responseAccepted = true;
    }
    writeAhead(ahead);
}

bool vt3::UpdateEngine::writeAhead(vt3::AheadTransfer *ahead)
{
    QNetworkReply *reply = ahead->transfer.fileReply;
    char buffer[AheadReadBytes];
    while (reply->bytesAvailable() > 0) {
        const qint64 room = ahead->expectedSize - ahead->written;
        const qint64 got = reply->read(buffer, qMin<qint64>(sizeof buffer, room + 1));
        if (got <= 0)
            break;
        const qint64 kept = qMin(got, room);
        if (ahead->file.write(buffer, kept) != kept) {
            failAhead(ahead,
                      tr("<font color=red>write file %1 error</font>").arg(ahead->file.fileName().toHtmlEscaped()));
            return false;
        }
        ahead->written += kept;
        aheadBytes += kept;
        showTransferProgress(headReceived);
        if (kept < got) {
            failAhead(
                ahead,
                tr("<font color=red>Error:%1</font>")
                    .arg(tr("%1 is larger than the manifest announces.").arg(ahead->transfer.fileKey).toHtmlEscaped()));
            return false;
        }
    }
    return true;
}

void vt3::UpdateEngine::aheadFinished(vt3::AheadTransfer *ahead)
{
    QNetworkReply *reply = ahead->transfer.fileReply;
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        failAhead(ahead, replyErrorLine(reply));
        return;
    }
    // An answer without a body was never judged; its end may still be in
    // the reply.
    if (!ahead->transfer.responseAccepted && statusOf(reply) != HttpOk) {
        failAhead(ahead, replyErrorLine(reply));
        return;
    }
    ahead->transfer.responseAccepted = true;
    if (!writeAhead(ahead))
        return;
    ahead->transfer.stopTimers();
    ahead->transfer.fileReply = nullptr;
    reply->deleteLater();
    ahead->file.close();
    ahead->state = vt3::AheadTransfer::State::Fetched;
    --aheadRunning;

    // Checked and unpacked from disk now, while other files arrive, as a
    // streamed file is; the walk waits for the answer like for a stream's.
    vt3::StreamJob job;
    job.key = ahead->transfer.fileKey;
    job.download = tempDir.path() + QLatin1Char('/') + job.key;
    job.expected = expectedFile(job.key);
    job.unpackTarget = streamTarget(job.key);
    ++streamsInFlight;
    toWorker([job](vt3::ReleaseWorker *w) { w->checkFetched(job); });
    aheadEnded(ahead->transfer.fileKey);
}

void vt3::UpdateEngine::failAhead(vt3::AheadTransfer *ahead, const QString &line)
{
    QNetworkReply *reply = ahead->transfer.fileReply;
    if (!reply)
        return;
    ahead->transfer.stopTimers();
    ahead->transfer.fileReply = nullptr;
    ahead->failureLine = line;
    ahead->failureDetail = requestFailure(reply);
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    ahead->file.close();
    ahead->state = vt3::AheadTransfer::State::Failed;
    --aheadRunning;
    aheadEnded(ahead->transfer.fileKey);
}

void vt3::UpdateEngine::aheadEnded(const QString &key)
{
    // Taken up in a later turn: the transfer's own reply or timer is what
    // reports its end, and must not be gone by the time it returns.
    ++workPosted;
    QMetaObject::invokeMethod(
        this,
        [this, key] {
            if (awaitingAhead && transfer.fileKey == key) {
                awaitingAhead = false;
                if (takeAhead(key))
                    startNextDownload();
                return;
            }
            fetchAhead();
        },
        Qt::QueuedConnection);
}

bool vt3::UpdateEngine::takeAhead(const QString &key)
{
    const auto found = aheadTransfers.find(key);
    if (found->second->state == vt3::AheadTransfer::State::Running) {
        awaitingAhead = true;
        return false;
    }
    const std::unique_ptr<vt3::AheadTransfer> ahead = std::move(found->second);
    aheadTransfers.erase(found);
    aheadBytes -= ahead->written;
    ++queueCursor;
    if (ahead->state == vt3::AheadTransfer::State::Fetched) {
        completedBytes += ahead->written;
        return true;
    }
    // What is there of it is continued, as after any failed attempt.
    message(ahead->failureLine);
    logDetail(ahead->failureDetail);
    retryFile();
    return false;
}

void vt3::UpdateEngine::abandonAheads()
{
    for (auto &entry : aheadTransfers) {
        vt3::AheadTransfer &ahead = *entry.second;
        ahead.transfer.stopTimers();
        if (QNetworkReply *reply = ahead.transfer.fileReply) {
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
        ahead.file.close();
    }
    aheadTransfers.clear();
    aheadRunning = 0;
    aheadBytes = 0;
    awaitingAhead = false;
}
