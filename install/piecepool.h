#ifndef PIECEPOOL_H
#define PIECEPOOL_H

#include <QByteArray>
#include <QVector>

class QIODevice;

namespace vt3 {

// Buffers for the bytes of a transfer on their way to the disk and the
// worker. A piece taken fresh from the allocator per readyRead, of
// whatever size had arrived and freed on another thread, made the heap's
// size after a run depend on the timing of that run. Pieces are read into
// a small set of buffers of one size instead, and a buffer is read into
// again once every other holder has let go of it.
class PiecePool
{
public:
    // What the network side may hold of a transfer before it waits for the
    // window to write it: a run's memory then does not grow with file sizes.
    static constexpr int PieceBytes = 1024 * 1024;
    // What may wait for the worker before the window stops reading from the
    // network: a few pieces, so that neither side waits for the other often
    // and a run's memory stays a few megabytes above idle.
    static constexpr qint64 BacklogLimitBytes = 8 * 1024 * 1024;

    // Reads at most one buffer's worth of what `device` has. The array
    // returned shares the pool's buffer; it is empty when nothing could be
    // read.
    QByteArray read(QIODevice &device);
    // Gives the buffers back to the allocator, at the end of a run.
    void clear();

private:
    QByteArray *freeBuffer();

    QVector<QByteArray> buffers;
};

} // namespace vt3

#endif // PIECEPOOL_H
