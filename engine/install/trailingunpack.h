#ifndef TRAILINGUNPACK_H
#define TRAILINGUNPACK_H

#include "unpack.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace vt3 {

// A download that is still being written, as its writer tells the unpacker
// that reads it behind it. The unpacker reads the bytes from disk rather
// than from memory, so it may fall behind by any amount (a stretch that
// expands a hundredfold, say) without holding the network back or the
// bytes in memory.
class TrailedFile
{
public:
    // Writer side: `length` bytes are on disk now.
    void grow(qint64 length);
    // Writer side: nothing more will be written.
    void complete();
    // Either side: the unpacked result is not wanted any more.
    void abandon();

    struct Extent
    {
        qint64 length = 0;
        bool complete = false;
        bool abandoned = false;
    };
    // Reader side: waits until more than `position` bytes are on disk, the
    // file is complete or abandoned, or `wakeMs` passed.
    Extent waitBeyond(qint64 position, int wakeMs);

private:
    std::mutex mutex;
    std::condition_variable changed;
    Extent extent;
};

struct TrailJob
{
    QString download;
    // Where it is unpacked to in the end; the unpacker writes beside it
    // (unpackingName) and leaves the rename to whoever knows the digests.
    QString target;
    // What the volume can take.
    qint64 room = 0;
};

struct TrailResult
{
    ExtractStatus status = ExtractStatus::Ok;
    // Length of the unpacked file left beside its target on Ok.
    qint64 unpackedLength = 0;
};

// Told the compressed bytes consumed so far, every few MiB.
using UnpackProgress = std::function<void(qint64 consumed)>;

// Unpacks job.download while it is written, until `file` is complete,
// abandoned or `cancelled` is set. On Ok the whole unpacked file is left at
// unpackingName(job.target); on anything else nothing is left there. A
// download already whole is a file that is complete from the start.
TrailResult unpackTrailing(const TrailJob &job, TrailedFile &file, const std::atomic<bool> &cancelled,
                           const UnpackProgress &progress = UnpackProgress());

} // namespace vt3

#endif // TRAILINGUNPACK_H
