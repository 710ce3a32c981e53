#include "updaterun.h"

#include "appdir.h"
#include "install/installer.h"
#include "install/uptodate.h"
#include "manifest/manifestfetch.h"
#include "manifest/manifestparse.h"
#include "releaseformat.h"
#include "start/startcheck.h"
#include "texts.h"
#include "transcript.h"
#include "transfer/scheduler.h"

#include <QtConcurrent>

namespace vt3 {

UpdateRun::UpdateRun(QNetworkAccessManager &network, ReleaseWorker *worker, Transcript &transcript,
                     const RunLimits &limits, const QString &releaseId, QObject *parent)
    : QObject(parent)
    , counted(transcript)
    , run{network,   worker,        transcript, counted, &planned, nullptr, QString(), releaseId, QString(),
          QString(), QStringList(), limits,     0,       nullptr,  true,    false,     0}
{
    qRegisterMetaType<RunStop>();
    run.mirrorMemory = &memory;
    connect(&upToDateWatcher, &QFutureWatcher<InstalledState>::finished, this, &UpdateRun::upToDateChecked);
}

UpdateRun::~UpdateRun()
{
    // The transfers go before what they share.
    installer.reset();
    scheduler.reset();
    manifest.reset();
    upToDateWatcher.waitForFinished();
}

void UpdateRun::start()
{
    startCheck = std::make_unique<StartCheck>(run, this);
    connect(startCheck.get(), &StartCheck::passed, this, &UpdateRun::startChecked);
    connect(startCheck.get(), &StartCheck::stopped, this, &UpdateRun::stop);
    startCheck->start();
}

void UpdateRun::kill()
{
    if (manifest)
        manifest->outputFile().close();
    if (scheduler)
        scheduler->kill();
}

void UpdateRun::startChecked()
{
    manifest = std::make_unique<ManifestFetch>(run, startCheck->mirrors, startCheck->trustedKeys,
                                               startCheck->signatureRequired, this);
    connect(manifest.get(), &ManifestFetch::accepted, this, &UpdateRun::processIni);
    connect(manifest.get(), &ManifestFetch::stopped, this, &UpdateRun::stop);
    manifest->start();
}

void UpdateRun::processIni()
{
    const QString manifestName = format::manifestName(format::Platform);
    const QString path = run.workPath(manifestName);
    const ManifestLists read = parseManifest(path, format::Platform);
    const QString notCorrect = Texts::tr("<font color=red>%1 not correct.</font>").arg(manifestName);

    if (!read.filesUsable) {
        run.transcript.line(notCorrect);
        stop(RunStop::Failed);
        return;
    }
    const auto takeFileGroups = [&] {
        planned = ReleasePlan::make(read.queue, read.files, read.sha256, run.workDir, manifestName);
        counted.addToTotal(read.bytes);
    };
    // A manifest that announces nothing is refused after its lists are
    // taken; its delete group is not used.
    if (read.bytes == 0 || !read.removalsUsable) {
        if (read.bytes == 0)
            takeFileGroups();
        run.transcript.line(notCorrect);
        stop(RunStop::Failed);
        return;
    }
    takeFileGroups();
    deleteList = read.removals;

    // Only a manifest that vouches for the unpacked fields lets installed
    // files be compared with them, and a patch's result be checked; hashing
    // them is left to another thread.
    if (!read.unpackedKnown) {
        startTransfers();
        return;
    }
    const QVector<patch::ListedPatch> listed = patch::readPatches(path, format::Platform);
    const QString appDir = applicationDir();
    const QMap<QString, QString> files = read.files;
    // Reading a large installation takes a while; the face shows how far
    // it is. Reports reach this object's thread queued, and die with it.
    const CheckProgress progress = [this](qint64 done, qint64 total) {
        QMetaObject::invokeMethod(
            this,
            [this, done, total] {
                if (UpdateFace *face = run.transcript.face())
                    face->checkProgress(done, total);
            },
            Qt::QueuedConnection);
    };
    upToDateWatcher.setFuture(QtConcurrent::run([appDir, files, listed, progress] {
        InstalledState state;
        state.upToDate = upToDateKeys(appDir, files, progress);
        state.patches = choosePatches(appDir, files, listed, state.upToDate);
        return state;
    }));
}

void UpdateRun::upToDateChecked()
{
    const InstalledState state = upToDateWatcher.result();
    planned.takeInstalled(state.upToDate, state.patches);
    // The progress counts what is transferred, so a file that is not has
    // no part in the total, and a patch counts instead of its file; a key in
    // both groups is counted there twice.
    for (const ReleasePlan::Entry &entry : qAsConst(planned.queue)) {
        const bool current = planned.isUpToDate(entry.key);
        if (!current && !planned.patchFor.contains(entry.key))
            continue;
        format::Descriptor fields;
        format::Descriptor::split(planned.files.value(entry.key), fields);
        counted.addToTotal(-format::sizeBytes(fields.size));
        if (!current)
            counted.addToTotal(planned.patchFor.value(entry.key).patchBytes);
    }
    startTransfers();
}

void UpdateRun::startTransfers()
{
    scheduler = std::make_unique<TransferScheduler>(run, startCheck ? startCheck->parallel : 1, this);
    connect(scheduler.get(), &TransferScheduler::finished, this, &UpdateRun::transfersDone);
    connect(scheduler.get(), &TransferScheduler::stopped, this, [this] { stop(RunStop::Failed); });
    scheduler->start();
}

void UpdateRun::transfersDone()
{
    installer = std::make_unique<Installer>(run, planned, scheduler->checkedFiles(), scheduler->patchedFiles(),
                                            deleteList, this);
    connect(installer.get(), &Installer::installed, this, [this] {
        memory.save();
        emit installed();
    });
    connect(installer.get(), &Installer::stopped, this, &UpdateRun::stop);
    installer->startNextGzip();
}

void UpdateRun::stop(RunStop why)
{
    kill();
    // What the run learnt of the mirrors counts most when it failed.
    memory.save();
    emit stopped(why);
}

} // namespace vt3
