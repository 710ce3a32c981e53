#include "updateengine.h"

#include "appdir.h"
#include "releasestate.h"

#include <QNetworkProxyFactory>

namespace vt3 {

UpdateEngine::UpdateEngine(UpdateFace *face, QObject *parent)
    : QObject(parent)
    , transcript(face)
    , worker(new ReleaseWorker)
    , version(transcript, this)
{
    // Users behind a proxy configure it for the whole system; take it from
    // there rather than relying on the framework's default.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    worker->moveToThread(&workerThread);
    workerThread.start();
}

UpdateEngine::~UpdateEngine()
{
    // Requests still open are aborted with the run; what they would report
    // then must not reach a run that is being taken apart.
    run.reset();
    // The file in hand is given up whole; nothing half written stays.
    worker->cancel();
    workerThread.quit();
    workerThread.wait();
    delete worker;
}

void UpdateEngine::setFace(UpdateFace *newFace)
{
    transcript.setFace(newFace);
}

void UpdateEngine::queryVersion()
{
    version.start();
}

void UpdateEngine::update()
{
    startRun(version.releaseText());
}

bool UpdateEngine::repair()
{
    const quint64 installed = installedRelease(applicationDir());
    if (installed == 0)
        return false;
    startRun(QString::number(installed));
    return true;
}

void UpdateEngine::startRun(const QString &releaseId)
{
    // Each run is made afresh; one still going is given up first, though
    // the faces do not ask for a second while one runs.
    run.reset();
    run = std::make_unique<UpdateRun>(network, worker, transcript, limits, releaseId);
    connect(run.get(), &UpdateRun::installed, this, [this] { finished = true; });
    connect(run.get(), &UpdateRun::stopped, this, &UpdateEngine::stopped);
    run->start();
}

bool UpdateEngine::mayClose()
{
    if (finished)
        return true;
    if (!transcript.face()->confirmAbort())
        return false;
    // Whatever was half written stays in the work directory; the next run
    // tells complete files from broken ones by their digest. The worker
    // gives up the file it is unpacking (its half-made output goes) and
    // stages nothing more, so the work directory holds only whole files to
    // resume from.
    if (run)
        run->kill();
    worker->cancel();
    return true;
}

void UpdateEngine::stopped(RunStop why)
{
    if (run)
        run->progress().flush();
    transcript.stopped(why);
}

} // namespace vt3
