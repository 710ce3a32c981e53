#ifndef TRANSCRIPT_H
#define TRANSCRIPT_H

#include "runlog.h"
#include "updateface.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

namespace vt3 {

// The one way from a run to its face and to the disk log. Files further
// down the queue are fetched while the head of the queue is busy, but
// their lines are held until the head reaches them: the log reads as if
// one file were fetched at a time, whatever ran at once. It also says how a
// run ended, once.
class Transcript
{
public:
    // Lines of the run as a whole, never held.
    static constexpr int RunPosition = -1;

    explicit Transcript(UpdateFace *face)
        : shown(face)
    {
    }

    void setFace(UpdateFace *face) { shown = face; }
    UpdateFace *face() const { return shown; }

    // A new run: a new disk-log file, nothing held, not ended.
    void beginRun();

    // A line of the log (HTML), and a line for the disk log only.
    void line(const QString &html, int position = RunPosition);
    void detail(const QString &html, int position = RunPosition);
    // The red line of a failed step; `text` is plain and escaped here.
    void error(const QString &text, int position = RunPosition);
    static QString errorLine(const QString &text);

    // The head of the queue is at `position`: what was held for it and
    // before it is said now, and its later lines go straight through.
    void reach(int position);

    // Disk-log lines from before a run (what the version query dropped):
    // said as details when a run has written its header.
    void holdForRun(const QString &html) { forRun << html; }
    void sayHeldForRun();

    bool hasEnded() const { return ended; }
    // The run could not go on; said once, and nothing held is said after.
    void stopped(RunStop why);
    // The run is complete; the face hears it once.
    void finished();

private:
    struct Held
    {
        bool detailOnly = false;
        QString html;
    };
    void say(const Held &held);

    UpdateFace *shown;
    RunLog runLog;
    int reached = RunPosition;
    QMap<int, QVector<Held>> held;
    QStringList forRun;
    bool ended = false;
};

} // namespace vt3

#endif // TRANSCRIPT_H
