#ifndef RUNPROGRESS_H
#define RUNPROGRESS_H

#include <QElapsedTimer>
#include <QTimer>
#include <QtGlobal>

namespace vt3 {

class Transcript;

// What the face shows of a run's transfers: the bytes done of the total,
// and a speed. The head of the queue counts a reply's bytes once it has all
// it announced; a file fetched beside the head counts what was written of
// it while it runs, and keeps it only if the head takes it up complete.
class RunProgress
{
public:
    explicit RunProgress(Transcript &transcript);

    // A new run: nothing done, nothing known of the total, the clock from 0.
    void start();
    qint64 total() const { return totalBytes; }
    void setTotal(qint64 bytes) { totalBytes = bytes; }
    void addToTotal(qint64 bytes) { totalBytes += bytes; }
    qint64 completed() const { return completedBytes; }
    qint64 elapsed() const { return clock.elapsed(); }
    void complete(qint64 bytes) { completedBytes += bytes; }

    // A reply of the head's kind (the manifest, the head of the queue).
    void headProgress(qint64 received, qint64 announced);
    // Bytes written by a transfer beside the head; and what came of it
    // when the head reached it.
    void besideWrote(qint64 bytes);
    void besideTakenUp(qint64 written, bool complete);
    // A report held back is shown now: the run ends.
    void flush();

private:
    // `headCall`: the bytes of the head's reply as its last report gave
    // them, which the speed counts even once they are complete.
    void show(qint64 headCall);
    void tell();

    Transcript &transcript;
    qint64 completedBytes = 0;
    qint64 totalBytes = 0;
    qint64 headBytes = 0;
    qint64 besideBytes = 0;
    QElapsedTimer clock;
    // When the face was last told, on the clock (-1: not yet in this run),
    // what it is to be told next, and the timer that tells it.
    qint64 lastShownMs = -1;
    qint64 shownDone = 0;
    double shownSpeed = -1.0;
    QTimer trailing;
};

} // namespace vt3

#endif // RUNPROGRESS_H
