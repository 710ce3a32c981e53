#include "releasetransfer.h"

namespace {

// The slowest pace a release-file transfer may keep up over the engine's
// pace window (see updateengine.cpp), and how often it is looked at in a
// window: often enough that a drip is caught soon after a window.
constexpr qint64 SlowBytesPerSecond = 1024;
constexpr int PaceLooksPerWindow = 12;

} // namespace

namespace vt3 {

void ReleaseTransfer::startTimers(int stallMs, int paceWindowMs)
{
    stallTimer.start(stallMs);
    paceSamples.clear();
    started.start();
    paceTimer.start(paceWindowMs / PaceLooksPerWindow);
}

void ReleaseTransfer::stopTimers()
{
    stallTimer.stop();
    paceTimer.stop();
}

bool ReleaseTransfer::keepsPace(qint64 written, int windowMs)
{
    const qint64 now = started.elapsed();
    paceSamples.append({now, written});
    // The newest look at least a window old measures the last window.
    int from = -1;
    for (int i = 0; i < paceSamples.size() && paceSamples.at(i).first <= now - windowMs; ++i)
        from = i;
    if (from < 0)
        return true;
    paceSamples.remove(0, from);
    const QPair<qint64, qint64> &start = paceSamples.constFirst();
    return (written - start.second) * 1000 >= SlowBytesPerSecond * (now - start.first);
}

} // namespace vt3
