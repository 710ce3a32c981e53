#include "watchdog.h"

namespace {

// The slowest pace a release-file transfer may keep up over its pace
// window, and how often it is looked at in a window: often enough that a
// drip is caught soon after a window.
constexpr qint64 SlowBytesPerSecond = 1024;
constexpr int PaceLooksPerWindow = 12;

} // namespace

namespace vt3 {

TransferWatchdog::TransferWatchdog(std::function<qint64()> writtenBytes, QObject *parent)
    : QObject(parent)
    , written(std::move(writtenBytes))
{
    stallTimer.setSingleShot(true);
    connect(&stallTimer, &QTimer::timeout, this, &TransferWatchdog::stalled);
    connect(&paceTimer, &QTimer::timeout, this, [this] {
        if (!keepsPace(written(), windowMs))
            emit crawls();
    });
}

void TransferWatchdog::start(int stallLimitMs, int paceWindowMs)
{
    stallMs = stallLimitMs;
    windowMs = paceWindowMs;
    stallTimer.start(stallMs);
    samples.clear();
    started.start();
    paceTimer.start(paceWindowMs / PaceLooksPerWindow);
}

void TransferWatchdog::stop()
{
    stallTimer.stop();
    paceTimer.stop();
}

void TransferWatchdog::arrived()
{
    if (stallTimer.isActive())
        stallTimer.start(stallMs);
}

bool TransferWatchdog::keepsPace(qint64 bytes, int window)
{
    const qint64 now = started.elapsed();
    samples.append({now, bytes});
    // The newest look at least a window old measures the last window.
    int from = -1;
    for (int i = 0; i < samples.size() && samples.at(i).first <= now - window; ++i)
        from = i;
    if (from < 0)
        return true;
    samples.remove(0, from);
    const QPair<qint64, qint64> &first = samples.constFirst();
    return (bytes - first.second) * 1000 >= SlowBytesPerSecond * (now - first.first);
}

} // namespace vt3
