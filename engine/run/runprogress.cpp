#include "runprogress.h"

#include "transcript.h"

namespace {

// Many small files report thousands of times a second, and the face redraws
// its bar and labels for each report; a few times a second is all anyone
// can read.
constexpr qint64 ShowEveryMs = 50;

} // namespace

namespace vt3 {

RunProgress::RunProgress(Transcript &transcript)
    : transcript(transcript)
{
    trailing.setSingleShot(true);
    QObject::connect(&trailing, &QTimer::timeout, [this] { tell(); });
}

void RunProgress::start()
{
    trailing.stop();
    lastShownMs = -1;
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
    shownDone = completedBytes + headBytes + besideBytes;
    const qint64 elapsedMs = clock.isValid() ? clock.elapsed() : 0;
    // The speed is that of the bytes in flight over the run's time so far;
    // no time passed yet: there is no speed to tell.
    shownSpeed = elapsedMs > 0 ? double(headCall + besideBytes) * 1000.0 / double(elapsedMs) : -1.0;
    const qint64 sinceShownMs = elapsedMs - lastShownMs;
    // The end of the transfers is shown at once; a report held back is
    // shown once the pause is over, so the face never keeps an old one.
    if (clock.isValid() && lastShownMs >= 0 && sinceShownMs < ShowEveryMs && shownDone < totalBytes) {
        if (!trailing.isActive())
            trailing.start(int(ShowEveryMs - sinceShownMs));
        return;
    }
    tell();
}

void RunProgress::flush()
{
    if (trailing.isActive())
        tell();
}

void RunProgress::tell()
{
    trailing.stop();
    lastShownMs = clock.isValid() ? clock.elapsed() : 0;
    transcript.face()->transferProgress(shownDone, totalBytes, shownSpeed);
}

} // namespace vt3
