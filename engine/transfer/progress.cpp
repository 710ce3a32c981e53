#include "updateengine.h"

void vt3::UpdateEngine::slotProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // The watchdog only asks whether anything arrived; the low bits suffice.
    currentReceived = static_cast<int>(bytesReceived);
    const qint64 done = completedBytes + bytesReceived;

    if (bytesReceived == bytesTotal)
        completedBytes += bytesTotal;

    const qint64 elapsedMs = speedTimer.elapsed();
    // No time has passed yet: there is no speed to tell.
    const double speed = elapsedMs > 0 ? double(bytesReceived) * 1000.0 / double(elapsedMs) : -1.0;
    face->transferProgress(done, totalBytes, speed);
}
