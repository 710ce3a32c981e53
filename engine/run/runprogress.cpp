#include "runprogress.h"

#include "transcript.h"

namespace vt3 {

void RunProgress::start()
{
    completedBytes = 0;
    totalBytes = 0;
    headReceived = 0;
    besideBytes = 0;
    clock.start();
}

void RunProgress::headProgress(qint64 received, qint64 announced)
{
    headReceived = received;
    if (received == announced) {
        completedBytes += announced;
        headReceived = 0;
    }
    show(received);
}

void RunProgress::besideWrote(qint64 bytes)
{
    besideBytes += bytes;
    show(headReceived);
}

void RunProgress::besideTakenUp(qint64 written, bool complete)
{
    besideBytes -= written;
    if (complete)
        completedBytes += written;
}

void RunProgress::show(qint64 headBytes)
{
    const qint64 done = completedBytes + headReceived + besideBytes;
    const qint64 elapsedMs = clock.isValid() ? clock.elapsed() : 0;
    // The speed is that of the bytes in flight over the run's time so far;
    // no time passed yet: there is no speed to tell.
    const double speed = elapsedMs > 0 ? double(headBytes + besideBytes) * 1000.0 / double(elapsedMs) : -1.0;
    transcript.face()->transferProgress(done, totalBytes, speed);
}

} // namespace vt3
