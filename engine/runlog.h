#ifndef RUNLOG_H
#define RUNLOG_H

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

namespace vt3 {

// The window's message log, copied to vt3update.log in the user's
// application-data folder for whoever has to find out later what went
// wrong. One file per update run: a new run moves the older files one
// number up (vt3update.log.1, vt3update.log.2) and drops the oldest, so the
// last three runs are kept. A file stops growing at 1 MiB.
class RunLog
{
public:
    static constexpr int KeptRuns = 3;
    static constexpr qint64 MaxFileBytes = 1024 * 1024;

    // Starts the file of a new run. Nothing is written before the first run:
    // a start that never updates keeps the older runs' files.
    void beginRun();
    // Appends one line of the window's log (HTML) as plain text with a
    // timestamp. Never fails a run: an unwritable folder only loses the copy.
    void write(const QString &html);

    // A line of the window's log (HTML) as the file holds it: plain text
    // after the time it was written, ending in a line break.
    static QByteArray line(const QString &html);
    static QString plainText(const QString &html);

    // The lines of the newest run's file when it was written to since
    // `since`, as the file holds them: how a window learns what a run of
    // another process did.
    static QStringList linesWrittenSince(const QDateTime &since);

    // Adds a line to the newest run's file, for what happens between runs
    // (a start clearing up what an earlier run left).
    static void appendToNewest(const QString &html);

    static QString directory();
    static QString fileName(int age);

private:
    void append(const QByteArray &line);

    QFile file;
    // What the file holds; counted here, as asking the file costs a system
    // call for every line.
    qint64 bytes = 0;
    bool full = false;
};

} // namespace vt3

#endif // RUNLOG_H
