#include "piecepool.h"

#include <QIODevice>

#include <atomic>

namespace vt3 {

int PiecePool::detachedIndex() const
{
    for (int i = 0; i < buffers.size(); ++i) {
        if (buffers.at(i).isDetached())
            return i;
    }
    return -1;
}

QByteArray *PiecePool::freeBuffer()
{
    const int free = detachedIndex();
    if (free >= 0) {
        // The last other holder let go on the worker's thread; what it
        // did with the bytes comes before what is written here now.
        std::atomic_thread_fence(std::memory_order_acquire);
        return &buffers[free];
    }
    if (buffers.size() >= KeptBuffers)
        return nullptr;
    buffers.append(QByteArray(PieceBytes, Qt::Uninitialized));
    return &buffers.last();
}

bool PiecePool::hasFree() const
{
    return buffers.size() < KeptBuffers || detachedIndex() >= 0;
}

QByteArray PiecePool::read(QIODevice &device)
{
    const qint64 wanted = qMin<qint64>(device.bytesAvailable(), PieceBytes);
    if (wanted <= 0)
        return QByteArray();
    QByteArray *buffer = freeBuffer();
    // Every kept buffer is in flight and the caller cannot wait (the end of
    // a transfer, the manifest): a piece of its own, as large as it needs.
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
