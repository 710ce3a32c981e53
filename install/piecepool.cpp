#include "piecepool.h"

#include <QIODevice>

#include <atomic>

namespace vt3 {

namespace {
// The backlog, the piece being read and one the worker is still letting go
// of; more than that in flight gets pieces of its own.
constexpr int KeptBuffers = int(PiecePool::BacklogLimitBytes / PiecePool::PieceBytes) + 2;
} // namespace

QByteArray *PiecePool::freeBuffer()
{
    for (QByteArray &buffer : buffers) {
        if (buffer.isDetached()) {
            // The last other holder let go on the worker's thread; what it
            // did with the bytes comes before what is written here now.
            std::atomic_thread_fence(std::memory_order_acquire);
            return &buffer;
        }
    }
    if (buffers.size() >= KeptBuffers)
        return nullptr;
    buffers.append(QByteArray(PieceBytes, Qt::Uninitialized));
    return &buffers.last();
}

QByteArray PiecePool::read(QIODevice &device)
{
    const qint64 wanted = qMin<qint64>(device.bytesAvailable(), PieceBytes);
    if (wanted <= 0)
        return QByteArray();
    QByteArray *buffer = freeBuffer();
    // Everything in flight: a piece of its own, as large as it needs.
    QByteArray spare;
    QByteArray &target = buffer ? *buffer : spare;
    target.resize(int(wanted));
    const qint64 got = device.read(target.data(), wanted);
    // Resizing to nothing would let the buffer go.
    if (got <= 0)
        return QByteArray();
    target.resize(int(got));
    return target;
}

void PiecePool::clear()
{
    buffers.clear();
    buffers.squeeze();
}

} // namespace vt3
