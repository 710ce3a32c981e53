#include "updateengine.h"

void vt3::UpdateEngine::slotProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // The watchdog only asks whether anything arrived; the low bits suffice.
    currentReceived = static_cast<int>(bytesReceived);
    headReceived = bytesReceived;
    if (bytesReceived == bytesTotal) {
        completedBytes += bytesTotal;
        headReceived = 0;
    }
    showTransferProgress(bytesReceived);
}

void vt3::UpdateEngine::showTransferProgress(qint64 bytesReceived)
{
    // Files fetched ahead count as they arrive, beside the head's.
    const qint64 done = completedBytes + headReceived + aheadBytes;
    const qint64 elapsedMs = speedTimer.elapsed();
    // No time has passed yet: there is no speed to tell.
    const double speed = elapsedMs > 0 ? double(bytesReceived + aheadBytes) * 1000.0 / double(elapsedMs) : -1.0;
    face->transferProgress(done, totalBytes, speed);
}
