#include "unattendedrun.h"

#include "commandline.h"
#include "runlog.h"

#include <QTimer>

namespace vt3 {

UnattendedRun::UnattendedRun(UpdateEngine &engine, UpdateFace *shown, bool startClient, Job job)
    : engine(engine)
    , shown(shown)
    , startClient(startClient)
    , job(job)
    // A repair needs no answer of the version server.
    , started(job == Job::Repair)
{
}

void UnattendedRun::startRepair()
{
    QTimer::singleShot(0, &engine, [this] {
        if (engine.repair())
            return;
        printError(tr("No release is recorded as installed; there is nothing to repair."));
        finish(ExitFailed);
    });
}

void UnattendedRun::versionKnown(const QString &releaseId, const QString &version, const QDateTime &released)
{
    if (shown)
        shown->versionKnown(releaseId, version, released);
    // Once only, and from the event loop rather than from inside the
    // engine's own step.
    if (started)
        return;
    started = true;
    QTimer::singleShot(0, &engine, [this] { engine.update(); });
}

void UnattendedRun::versionUnknown()
{
    if (shown)
        shown->versionUnknown();
    if (started)
        return;
    printError(tr("The version server gave no usable answer."));
    finish(ExitFailed);
}

void UnattendedRun::versionRefused(const QString &why)
{
    if (shown)
        shown->versionRefused(why);
    if (started)
        return;
    printError(why);
    finish(ExitRefused);
}

void UnattendedRun::runStarting()
{
    if (shown)
        shown->runStarting();
}

void UnattendedRun::runStarted()
{
    if (shown)
        shown->runStarted();
}

void UnattendedRun::logLine(const QString &html)
{
    if (shown)
        shown->logLine(html);
    else
        printOut(QString::fromUtf8(RunLog::line(html)));
}

void UnattendedRun::detailLine(const QString &html)
{
    // Nobody watches a quiet run: its output is the disk log's whole text.
    if (!shown)
        printOut(QString::fromUtf8(RunLog::line(html)));
}

void UnattendedRun::transferProgress(qint64 done, qint64 total, double bytesPerSecond)
{
    if (shown)
        shown->transferProgress(done, total, bytesPerSecond);
}

void UnattendedRun::unpackProgress(int percent)
{
    if (shown)
        shown->unpackProgress(percent);
}

void UnattendedRun::runFinished()
{
    if (shown)
        shown->runFinished();
    if (startClient)
        startChatClient();
    finish(ExitDone);
}

void UnattendedRun::runStopped(RunStop why)
{
    if (shown)
        shown->runStopped(why);
    switch (why) {
    case RunStop::ClientRunning:
        // The window would say this in a box nobody is there to close.
        printError(tr("The Voxtera 3 Client should be\n closed before starting the update.")
                       .replace(QLatin1String("\n "), QLatin1String(" ")));
        finish(ExitClientRunning);
        return;
    case RunStop::Refused:
        finish(ExitRefused);
        return;
    case RunStop::NoWriteAccess:
        finish(ExitNoWriteAccess);
        return;
    case RunStop::MirrorListMissing:
    case RunStop::Failed:
        finish(ExitFailed);
        return;
    }
}

bool UnattendedRun::confirmAbort()
{
    return shown ? shown->confirmAbort() : true;
}

void UnattendedRun::finish(int exitCode)
{
    if (ended)
        return;
    ended = true;
    code = exitCode;
    QCoreApplication::exit(exitCode);
}

} // namespace vt3
