#ifndef UNATTENDEDRUN_H
#define UNATTENDEDRUN_H

#include "options.h"
#include "updateengine.h"
#include "updateface.h"

#include <QCoreApplication>

namespace vt3 {

// The face of `--update`: it starts the run as soon as the release is
// known and turns its end into an exit code. It shows the run through the
// window when there is one (`shown`), else it writes the log lines to
// standard output as the disk log has them.
class UnattendedRun : public UpdateFace
{
    Q_DECLARE_TR_FUNCTIONS(UpdateClient)

public:
    // Update: the release the version server names, once it answers;
    // Repair: the installed release, started by startRepair().
    enum class Job { Update, Repair };

    UnattendedRun(UpdateEngine &engine, UpdateFace *shown, bool startClient, Job job = Job::Update);
    void startRepair();

    // Failed until the run says otherwise: a run that never ends (the
    // window closed half way) has not updated anything.
    int exitCode() const { return code; }

    void versionKnown(const QString &releaseId, const QString &version, const QDateTime &released) override;
    void versionUnknown() override;
    void versionRefused(const QString &why) override;
    void runStarting() override;
    void runStarted() override;
    void logLine(const QString &html) override;
    void detailLine(const QString &html) override;
    void transferProgress(qint64 done, qint64 total, double bytesPerSecond) override;
    void unpackProgress(int percent) override;
    void runFinished() override;
    void runStopped(RunStop why) override;
    bool confirmAbort() override;

private:
    void finish(int exitCode);

    UpdateEngine &engine;
    UpdateFace *shown;
    bool startClient;
    Job job;
    bool started = false;
    bool ended = false;
    int code = ExitFailed;
};

} // namespace vt3

#endif // UNATTENDEDRUN_H
