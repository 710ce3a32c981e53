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
    // Buffers that may travel to the worker. A buffer is resident however
    // little it holds, so these, and not a count of bytes, bound what
    // waits for the worker. A few are enough that the worker seldom has to
    // read what it missed back from the disk.
    static constexpr int LentBuffers = 8;

    struct Piece
    {
        QByteArray bytes;
        // The bytes are in a buffer that may be passed on. Otherwise they
        // are in the window's own buffer, which is read into again on the
        // next call and must not outlive the caller's use of it.
        bool lendable = false;
    };

    // Reads at most one buffer's worth of what `device` has, into a buffer
    // that may be lent when one is free, else into the window's own; never
    // into a buffer of its own. Empty when nothing could be read.
    Piece read(QIODevice &device);
    // Gives the buffers back to the allocator, at the end of a run.
    void clear();

private:
    QByteArray *lendableBuffer();

    QVector<QByteArray> buffers;
    QByteArray own;
};

} // namespace vt3

#endif // PIECEPOOL_H
