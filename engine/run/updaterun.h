#ifndef UPDATERUN_H
#define UPDATERUN_H

#include "install/patchchoice.h"
#include "plan/releaseplan.h"
#include "runcontext.h"
#include "runprogress.h"
#include "start/mirrormemory.h"
#include "updateface.h"

#include <QFutureWatcher>
#include <QMap>
#include <QObject>

#include <memory>

namespace vt3 {

class Installer;
class ManifestFetch;
class StartCheck;
class TransferScheduler;

// One update run, made afresh for each: a chain of jobs, each started when
// the one before it reported, each reporting once from the event loop.
// StartCheck, ManifestFetch, the plan (the manifest read, and what the
// installation holds of it), TransferScheduler, Installer.
class UpdateRun : public QObject
{
    Q_OBJECT

public:
    UpdateRun(QNetworkAccessManager &network, ReleaseWorker *worker, Transcript &transcript, const RunLimits &limits,
              const QString &releaseId, QObject *parent = nullptr);
    ~UpdateRun() override;

    void start();
    // Gives up every transfer without a word; the worker is the caller's.
    void kill();

    RunContext &context() { return run; }
    RunProgress &progress() { return counted; }
    const ReleasePlan &plan() const { return planned; }
    const QMap<QString, int> &removals() const { return deleteList; }
    ManifestFetch *manifestFetch() const { return manifest.get(); }
    TransferScheduler *transfers() const { return scheduler.get(); }

    // Reads the manifest in the work directory into the plan; the run goes
    // on from there, or stops on a manifest it cannot use.
    void processIni();

signals:
    // The release is installed and recorded, before the face hears it.
    void installed();
    void stopped(vt3::RunStop why);

private:
    void startChecked();
    void upToDateChecked();
    void startTransfers();
    void transfersDone();
    void stop(RunStop why);

    RunProgress counted;
    MirrorMemory memory;
    RunContext run;
    ReleasePlan planned;
    QMap<QString, int> deleteList;
    std::unique_ptr<StartCheck> startCheck;
    std::unique_ptr<ManifestFetch> manifest;
    QFutureWatcher<InstalledState> upToDateWatcher;
    std::unique_ptr<TransferScheduler> scheduler;
    std::unique_ptr<Installer> installer;
};

} // namespace vt3

#endif // UPDATERUN_H
