#include "transcript.h"

#include "texts.h"

namespace vt3 {

void Transcript::beginRun()
{
    runLog.beginRun();
    held.clear();
    reached = RunPosition;
    ended = false;
}

void Transcript::line(const QString &html, int position)
{
    if (position > reached) {
        held[position].append(Held{false, html});
        return;
    }
    say(Held{false, html});
}

void Transcript::detail(const QString &html, int position)
{
    if (position > reached) {
        held[position].append(Held{true, html});
        return;
    }
    say(Held{true, html});
}

void Transcript::error(const QString &text, int position)
{
    line(errorLine(text), position);
}

QString Transcript::errorLine(const QString &text)
{
    // The text can quote a server's reason phrase; it must not be able to
    // put markup into the log.
    return Texts::tr("<font color=red>Error:%1</font>").arg(text.toHtmlEscaped());
}

void Transcript::reach(int position)
{
    reached = qMax(reached, position);
    while (!held.isEmpty() && held.firstKey() <= reached) {
        const QVector<Held> lines = held.take(held.firstKey());
        for (const Held &one : lines)
            say(one);
    }
}

void Transcript::sayHeldForRun()
{
    for (const QString &html : qAsConst(forRun))
        detail(html);
    forRun.clear();
}

void Transcript::stopped(RunStop why)
{
    if (ended)
        return;
    ended = true;
    held.clear();
    shown->runStopped(why);
}

void Transcript::finished()
{
    if (ended)
        return;
    ended = true;
    held.clear();
    shown->runFinished();
}

void Transcript::say(const Held &one)
{
    if (one.detailOnly)
        shown->detailLine(one.html);
    else
        shown->logLine(one.html);
    runLog.write(one.html);
}

} // namespace vt3
