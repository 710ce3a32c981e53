#include "runprogress.h"

#include "transcript.h"

namespace vt3 {

void RunProgress::start()
{
    completedBytes = 0;
    totalBytes = 0;
    headBytes = 0;
    besideBytes = 0;
    clock.start();
}

void RunProgress::headProgress(qint64 received, qint64 announced)
{
    headBytes = received;
    if (received == announced) {
        completedBytes += announced;
        headBytes = 0;
    }
    show(received);
}

void RunProgress::besideWrote(qint64 bytes)
{
    besideBytes += bytes;
    show(headBytes);
}

void RunProgress::besideTakenUp(qint64 written, bool complete)
{
    besideBytes -= written;
    if (complete)
        completedBytes += written;
}

void RunProgress::show(qint64 headCall)
{
    const qint64 done = completedBytes + headBytes + besideBytes;
    const qint64 elapsedMs = clock.isValid() ? clock.elapsed() : 0;
    // The speed is that of the bytes in flight over the run's time so far;
    // no time passed yet: there is no speed to tell.
    const double speed = elapsedMs > 0 ? double(headCall + besideBytes) * 1000.0 / double(elapsedMs) : -1.0;
    transcript.face()->transferProgress(done, totalBytes, speed);
}

} // namespace vt3
