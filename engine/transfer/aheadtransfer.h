#ifndef AHEADTRANSFER_H
#define AHEADTRANSFER_H

#include "releasetransfer.h"

#include <QFile>
#include <QString>

namespace vt3 {

// A small release file fetched while the head of the queue is elsewhere,
// so that a far mirror's round trips overlap. It is fetched once, whole,
// into the work directory; what comes of it is taken up when the head of
// the queue reaches its key (see fetchahead.cpp).
struct AheadTransfer
{
    enum class State { Running, Fetched, Failed };

    ReleaseTransfer transfer;
    QFile file;
    State state = State::Running;
    qint64 expectedSize = 0;
    qint64 written = 0;
    // What a failed transfer would have said at once, kept for the moment
    // the head reaches its key, so the log reads as if one file were
    // fetched at a time: the red line and the disk log's request line.
    QString failureLine;
    QString failureDetail;
};

} // namespace vt3

#endif // AHEADTRANSFER_H
