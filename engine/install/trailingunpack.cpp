#include "trailingunpack.h"

#include <QByteArray>
#include <QFile>

#include <chrono>

namespace vt3 {

namespace {

// Pieces read from the download; as large as the window's read buffer.
constexpr int TrailChunkBytes = 1024 * 1024;
// How long the unpacker sleeps at most while the writer is quiet; it also
// notices a cancelled run within this.
constexpr int TrailWakeMs = 20;
// Often enough for a progress bar that moves, seldom enough that its
// updates cost nothing beside the unpacking.
constexpr qint64 ProgressStepBytes = 4 * 1024 * 1024;

TrailResult failed(QFile &out, ExtractStatus status)
{
    // A partial result must not be mistaken for the file later, and on a
    // full disk it holds space the user needs back.
    if (out.isOpen())
        out.close();
    out.remove();
    TrailResult result;
    result.status = status;
    return result;
}

} // namespace

void TrailedFile::grow(qint64 length)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        extent.length = length;
    }
    changed.notify_one();
}

void TrailedFile::complete()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        extent.complete = true;
    }
    changed.notify_one();
}

void TrailedFile::abandon()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        extent.abandoned = true;
    }
    changed.notify_one();
}

TrailedFile::Extent TrailedFile::waitBeyond(qint64 position, int wakeMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(wakeMs),
                     [&] { return extent.length > position || extent.complete || extent.abandoned; });
    return extent;
}

TrailResult unpackTrailing(const TrailJob &job, TrailedFile &file, const std::atomic<bool> &cancelled,
                           const UnpackProgress &progress)
{
    QFile out(unpackingName(job.target));
    QFile in(job.download);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return failed(out, ExtractStatus::WriteError);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return failed(out, ExtractStatus::ReadError);

    Unpacker unpacker(out, job.room);
    QByteArray chunk(TrailChunkBytes, Qt::Uninitialized);
    qint64 position = 0;
    qint64 reported = 0;
    UnpackResult result = UnpackResult::Ok;
    for (;;) {
        const TrailedFile::Extent extent = file.waitBeyond(position, TrailWakeMs);
        if (extent.abandoned || cancelled)
            return failed(out, ExtractStatus::Cancelled);
        if (position >= extent.length) {
            if (extent.complete)
                break;
            continue;
        }
        const qint64 got = in.read(chunk.data(), qMin<qint64>(extent.length - position, chunk.size()));
        // The writer said these bytes are there; a file that has less was
        // changed under us and is judged by its digests and read again.
        if (got <= 0)
            return failed(out, ExtractStatus::ReadError);
        position += got;
        result = unpacker.feed(chunk.constData(), got);
        if (result != UnpackResult::Ok)
            return failed(out, extractStatusOf(result, unpacker.announced()));
        if (progress && position - reported >= ProgressStepBytes) {
            reported = position;
            progress(position);
        }
    }
    result = unpacker.finish();
    if (result != UnpackResult::Ok)
        return failed(out, extractStatusOf(result, unpacker.announced()));
    const bool written = out.flush() && out.error() == QFileDevice::NoError;
    out.close();
    if (!written)
        return failed(out, ExtractStatus::WriteError);
    TrailResult done;
    done.unpackedLength = unpacker.written();
    return done;
}

} // namespace vt3
