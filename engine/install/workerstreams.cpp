#include "workerstream.h"

// The streams of the transfers: each transfer's bytes reach its own stream
// as they are written, for the digests and, behind them, the unpacking;
// each stream is answered for once when its transfer ends.

namespace vt3 {

ReleaseWorker::Stream *ReleaseWorker::streamOf(quint64 id)
{
    const auto found = streams.find(id);
    return found == streams.end() ? nullptr : found->second.get();
}

void ReleaseWorker::beginStream(quint64 id, const StreamJob &job)
{
    dropStream(id);
    if (cancelled)
        return;
    auto made = std::make_unique<Stream>(id, job);
    Stream &s = *made;
    streams[id] = std::move(made);
    s.digest.setHelper(&digestHelper);
    if (!job.unpackTarget.isEmpty())
        startTrail(s);
    if (job.prefix <= 0)
        return;

    // What an earlier transfer left is read once, here; the rest arrives.
    QFile earlier(job.download);
    if (!earlier.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        // The end of the stream judges it by the bytes it saw.
        stopTrail(s);
        return;
    }
    s.digest.addFile(earlier, job.prefix);
}

void ReleaseWorker::startTrail(Stream &s)
{
    s.trail = std::make_shared<TrailedFile>();
    s.trail->grow(s.job.prefix);
    s.trailId = ++lastTrailId;
    TrailJob job;
    job.download = s.job.download;
    job.target = s.job.unpackTarget;
    job.room = roomFor(unpackingName(job.target));
    const std::shared_ptr<TrailedFile> trail = s.trail;
    const quint64 id = s.trailId;
    // The unpacking runs on a thread of its own and reads the download from
    // disk behind the transfer, so that a stretch slow to unpack delays
    // neither the digests nor the network.
    trailPool.start([this, job, trail, id] {
        const TrailResult result = unpackTrailing(job, *trail, cancelled);
        QMetaObject::invokeMethod(
            this, [this, id, result] { trailFinished(id, result); }, Qt::QueuedConnection);
    });
}

void ReleaseWorker::stopTrail(Stream &s)
{
    if (!s.trail)
        return;
    s.trail->abandon();
    s.trail.reset();
}

void ReleaseWorker::streamBytes(quint64 id, QByteArray data)
{
    Stream *s = streamOf(id);
    if (!s || cancelled)
        return;
    const qint64 size = data.size();
    // The network side wrote these bytes before it posted them.
    if (s->trail)
        s->trail->grow(s->digest.length() + size);
    s->digest.addData(data.constData(), size);
}

void ReleaseWorker::streamWritten(quint64 id, qint64 length)
{
    Stream *found = streamOf(id);
    if (!found || cancelled)
        return;
    Stream &s = *found;
    if (s.incomplete)
        return;
    const qint64 at = s.digest.length();
    if (s.trail)
        s.trail->grow(at + length);
    // A stretch that cannot be read whole means something else changed the
    // download meanwhile; it is read again before it is used.
    const bool opened = s.written.isOpen() || s.written.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    if (!opened || !s.written.seek(at) || !s.digest.addFile(s.written, length) || s.digest.length() != at + length) {
        s.incomplete = true;
        stopTrail(s);
    }
}

void ReleaseWorker::endStream(quint64 id)
{
    CheckedFile checked;
    checked.stream = id;
    const auto found = streams.find(id);
    if (found == streams.end()) {
        answer(checked);
        return;
    }
    std::unique_ptr<Stream> s = std::move(found->second);
    streams.erase(found);
    checked.key = s->job.key;
    checked.md5 = s->digest.md5Hex();
    checked.sha256 = s->digest.sha256Hex();
    checked.verification = judgeDigest(s->job.expected, s->digest.length(), checked.md5, checked.sha256);
    checked.identity = identityOf(s->job.download);
    // The digests are those of the bytes written; a file of another length
    // on disk is not those bytes, and is read again before it is used.
    if (checked.identity.size != s->digest.length() || s->incomplete)
        checked.identity = FileIdentity();

    // Only a file that matches keeps what was unpacked of it; anything
    // not in place in the end is unpacked from disk, or not at all.
    if (!s->trail || checked.verification != Verification::Ok || !checked.identity.isValid()) {
        stopTrail(*s);
        answer(checked);
        return;
    }
    AwaitedUnpack awaited;
    awaited.checked = checked;
    awaited.target = s->job.unpackTarget;
    awaited.trail = s->trail;
    s->trail->complete();
    awaitedUnpacks.insert(s->trailId, awaited);
    if (s->trailEnded)
        trailFinished(s->trailId, s->trailResult);
}

void ReleaseWorker::trailFinished(quint64 id, const TrailResult &result)
{
    for (auto &open : streams) {
        Stream &s = *open.second;
        if (s.trailId == id && s.trail) {
            // It failed before the transfer ended; the end decides.
            s.trailEnded = true;
            s.trailResult = result;
            return;
        }
    }
    // A stream given up meanwhile left nothing: only a complete one can
    // unpack to its end, and only a matching one is awaited.
    const auto awaited = awaitedUnpacks.find(id);
    if (awaited == awaitedUnpacks.end())
        return;
    CheckedFile checked = awaited->checked;
    const QString target = awaited->target;
    awaitedUnpacks.erase(awaited);
    // A file that could not be read as it was written is unpacked from
    // disk later, where a failure is reported as such.
    if (result.status != ExtractStatus::ReadError && result.status != ExtractStatus::Cancelled) {
        checked.unpackTried = true;
        checked.unpackStatus = result.status;
        if (result.status == ExtractStatus::Ok && !placeUnpacked(target, result.unpackedLength)) {
            QFile::remove(unpackingName(target));
            checked.unpackStatus = ExtractStatus::WriteError;
        }
    }
    answer(checked);
}

void ReleaseWorker::answer(const CheckedFile &checked)
{
    emit fileChecked(checked);
    if (settling && awaitedUnpacks.isEmpty()) {
        settling = false;
        emit settled();
    }
}

void ReleaseWorker::settle()
{
    if (awaitedUnpacks.isEmpty()) {
        emit settled();
        return;
    }
    settling = true;
}

void ReleaseWorker::dropStream(quint64 id)
{
    const auto found = streams.find(id);
    if (found == streams.end())
        return;
    stopTrail(*found->second);
    streams.erase(found);
}

} // namespace vt3
