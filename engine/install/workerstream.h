#ifndef WORKERSTREAM_H
#define WORKERSTREAM_H

#include "releaseworker.h"
#include "trailingunpack.h"

#include <QFile>

#include <memory>

namespace vt3 {

// One transfer's bytes as the worker takes them (see workerstreams.cpp).
struct ReleaseWorker::Stream
{
    Stream(quint64 id, const StreamJob &j)
        : id(id)
        , job(j)
        , digest(!j.expected.sha256.isEmpty())
        , written(j.download)
    {
    }

    quint64 id;
    StreamJob job;
    StreamDigest digest;
    // The download, for stretches the window could not pass in a buffer.
    QFile written;
    // A stretch could not be read whole: the digests are not the file's.
    bool incomplete = false;
    // Follows the download from disk when it is unpacked as it arrives.
    std::shared_ptr<TrailedFile> trail;
    quint64 trailId = 0;
    // The unpacker gave up before the transfer ended.
    bool trailEnded = false;
    TrailResult trailResult;
};

} // namespace vt3

#endif // WORKERSTREAM_H
