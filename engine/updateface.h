#ifndef UPDATEFACE_H
#define UPDATEFACE_H

#include <QDateTime>
#include <QMetaType>
#include <QString>

namespace vt3 {

// Why a run ended before "Update finished". What a face does about it
// differs: the window re-opens its button or its log, the command line
// turns it into an exit code.
enum class RunStop {
    // mirrors.ini is not there; nothing was asked of any server.
    MirrorListMissing,
    // The chat client runs and would hold its files.
    ClientRunning,
    // The release was not taken: a signature that failed on every mirror,
    // or an older release than the installed one.
    Refused,
    // Anything else; the log says where.
    Failed,
    // This user may not write the installation; nothing was fetched. Last,
    // so that the numbers the transcripts record for the others stay.
    NoWriteAccess,
};

// What an update run shows and asks of whoever watches it: the window, or
// the command line with nobody at the screen. The engine calls these in the
// order things happen; none of them may call back into the engine.
class UpdateFace
{
public:
    virtual ~UpdateFace() = default;

    // The version server announced a release (`releaseId` as it came, the
    // version text and the release's date), or gave no usable answer in time.
    virtual void versionKnown(const QString &releaseId, const QString &version, const QDateTime &released) = 0;
    virtual void versionUnknown() = 0;
    // This installation trusts version keys and no answer passed their
    // check; `why` is the sentence to show in place of the version.
    virtual void versionRefused(const QString &why) = 0;

    // A run was asked for and the client check begins; then, the check
    // passed, the run itself begins with an empty log and progress.
    virtual void runStarting() = 0;
    virtual void runStarted() = 0;

    // One line of the run's log, HTML as the window shows it.
    virtual void logLine(const QString &html) = 0;
    // A line only the log on disk holds (versions, proxy, the URL and
    // status of a failed request): for whoever finds out later what went
    // wrong, not for the window.
    virtual void detailLine(const QString &html) { Q_UNUSED(html); }
    // Bytes fetched of the run's total and the current speed (negative when
    // no time has passed to tell one); `total` is 0 while unknown.
    virtual void transferProgress(qint64 done, qint64 total, double bytesPerSecond) = 0;
    // Unpacking's share of the run, 0 to 100.
    virtual void unpackProgress(int percent) = 0;
    // Bytes of installed files read of all there are, while the run finds
    // out which of them are current; only a face with a screen shows it.
    virtual void checkProgress(qint64 done, qint64 total)
    {
        Q_UNUSED(done);
        Q_UNUSED(total);
    }

    virtual void runFinished() = 0;
    virtual void runStopped(RunStop why) = 0;

    // Whether the user agrees to give up the run in progress.
    virtual bool confirmAbort() = 0;
};

} // namespace vt3

Q_DECLARE_METATYPE(vt3::RunStop)

#endif // UPDATEFACE_H
