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
    // Buffers kept. What waits for the worker is bounded by these, not by
    // its bytes: a buffer is resident however little it holds, so a bound on
    // bytes let many small pieces cost many megabytes. A few are enough
    // that neither side waits for the other often.
    static constexpr int KeptBuffers = 8;

    // False while every kept buffer is still held elsewhere; a transfer
    // then waits rather than read into a buffer of its own.
    bool hasFree() const;
    // Reads at most one buffer's worth of what `device` has. The array
    // returned shares a kept buffer when one is free, else it is a buffer of
    // its own; it is empty when nothing could be read.
    QByteArray read(QIODevice &device);
    // Gives the buffers back to the allocator, at the end of a run.
    void clear();

private:
    // A kept buffer nobody else holds, or -1.
    int detachedIndex() const;
    QByteArray *freeBuffer();

    QVector<QByteArray> buffers;
};

} // namespace vt3

#endif // PIECEPOOL_H
