#ifndef RELEASETRANSFER_H
#define RELEASETRANSFER_H

#include <QElapsedTimer>
#include <QPair>
#include <QString>
#include <QTimer>
#include <QVector>

class QNetworkReply;

namespace vt3 {

// One release file in flight: its request and what the run knows of it
// until it ends. The engine drives it; the state of one transfer lives here
// and nowhere else, so that a run can hold several.
class ReleaseTransfer
{
public:
    ReleaseTransfer() { stallTimer.setSingleShot(true); }

    // The reply, the file's group and key, and which of its allowed
    // attempts this is.
    QNetworkReply *fileReply = nullptr;
    QString fileGroup;
    QString fileKey;
    int fileAttempt = 0;
    // Where a continued transfer starts.
    qint64 resumeOffset = 0;
    // A continued file whose digest came out wrong is fetched whole once.
    bool fileStartedOver = false;
    // The status of the answer has been checked.
    bool responseAccepted = false;
    // The bytes pass to the worker as they arrive.
    bool streaming = false;
    // Fires when the transfer has gone too long without a byte.
    QTimer stallTimer;
    // Looks at the transfer's pace now and then, and what it had written
    // by each look (milliseconds since its start, bytes), oldest first.
    QTimer paceTimer;
    QElapsedTimer started;
    QVector<QPair<qint64, qint64>> paceSamples;

    // Starts the stall and pace timers for a new request.
    void startTimers(int stallMs, int paceWindowMs);
    void stopTimers();
    // Takes a look at the pace with `written` bytes so far; false once the
    // transfer has averaged less than the slowest pace a run accepts over
    // the last `windowMs`.
    bool keepsPace(qint64 written, int windowMs);
};

} // namespace vt3

#endif // RELEASETRANSFER_H
