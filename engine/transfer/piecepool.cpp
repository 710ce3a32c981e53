#include "piecepool.h"

#include <QIODevice>

#include <atomic>

namespace vt3 {

QByteArray *PiecePool::lendableBuffer()
{
    for (QByteArray &buffer : buffers) {
        if (buffer.isDetached()) {
            // The last other holder let go on the worker's thread; what it
            // did with the bytes comes before what is written here now.
            std::atomic_thread_fence(std::memory_order_acquire);
            return &buffer;
        }
    }
    if (buffers.size() >= LentBuffers)
        return nullptr;
    buffers.append(QByteArray(PieceBytes, Qt::Uninitialized));
    return &buffers.last();
}

PiecePool::Piece PiecePool::read(QIODevice &device)
{
    Piece piece;
    const qint64 wanted = qMin<qint64>(device.bytesAvailable(), PieceBytes);
    if (wanted <= 0)
        return piece;
    QByteArray *lendable = lendableBuffer();
    if (!lendable && own.isNull())
        own = QByteArray(PieceBytes, Qt::Uninitialized);
    QByteArray &target = lendable ? *lendable : own;
    target.resize(int(wanted));
    const qint64 got = device.read(target.data(), wanted);
    // Resizing to nothing would let the buffer go.
    if (got <= 0)
        return piece;
    target.resize(int(got));
    piece.bytes = target;
    piece.lendable = lendable != nullptr;
    return piece;
}

void PiecePool::clear()
{
    buffers.clear();
    buffers.squeeze();
    own = QByteArray();
}

} // namespace vt3
