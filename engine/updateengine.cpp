#include "updateengine.h"

#include "releaseformat.h"
#include "version/releasedversion.h"

#include <QNetworkProxyFactory>

namespace {
// How long the version server gets before the face hears that no answer came.
constexpr int VersionTimeoutMs = 10000;
// How long a manifest request may go without a single byte.
constexpr int ConfigTimeoutMs = 10000;
// How long a release-file transfer may go without a byte before it is
// abandoned; long enough for a slow line, short enough that a dead mirror
// does not hold the run for ever.
constexpr int StallTimeoutMs = 30000;
// A mirror that drips a file is never silent for the stall limit, and
// would hold the run for hours while another mirror has the file at full
// speed: a transfer that averaged less than SlowBytesPerSecond over the
// last PaceWindowMs gives way like a stalled one. A minute keeps a short
// hiccup of a good line from counting.
constexpr int PaceWindowMs = 60000;
} // namespace

namespace vt3 {

UpdateEngine::UpdateEngine(UpdateFace *face, QObject *parent)
    : QObject(parent)
    , transcript(face)
    , progress(transcript)
    , versionReceived(false)
    , configTimeout(ConfigTimeoutMs)
    , currentReceived(0)
    , attempts(0)
    , mirrorRetries(0)
    , updateFinished(false)
    , configReply(nullptr)
    , versionShown(false)
    , currentWritten(0)
    , manifestRejected(false)
    , stallTimeout(StallTimeoutMs)
    , paceWindow(PaceWindowMs)
    , parallelTransfers(1)
    , signatureRequired(false)
    , worker(new vt3::ReleaseWorker)
    , unpackedBytes(0)
    , workPosted(0)
{
    platform = vt3::format::Platform;

    // Users behind a proxy configure it for the whole system; take it from
    // there rather than relying on the framework's default.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    worker->moveToThread(&workerThread);
    connect(worker, &vt3::ReleaseWorker::fileVerified, this, &UpdateEngine::fileVerified);
    connect(worker, &vt3::ReleaseWorker::fileExtracted, this, &UpdateEngine::fileExtracted);
    connect(worker, &vt3::ReleaseWorker::unpackProgress, this, &UpdateEngine::showUnpackProgress);
    connect(worker, &vt3::ReleaseWorker::filesInstalled, this, &UpdateEngine::filesInstalled);
    connect(worker, &vt3::ReleaseWorker::clearedUp, this, &UpdateEngine::runCleared);
    workerThread.start();
}

UpdateEngine::~UpdateEngine()
{
    // Requests still open are aborted as the members go; what they would
    // report then must not reach a run that is being taken apart.
    scheduler.reset();
    for (QNetworkReply *reply : networkManager.findChildren<QNetworkReply *>())
        reply->disconnect(this);
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
    auto *version = new releasedVersion(this);
    connect(version, &releasedVersion::finished, this, &UpdateEngine::showLastedVersion);
    QTimer::singleShot(VersionTimeoutMs, this, &UpdateEngine::checkRetrieveVersion);
}

bool UpdateEngine::mayClose()
{
    if (updateFinished)
        return true;
    if (!transcript.face()->confirmAbort())
        return false;
    // Whatever was half written stays in the work directory; the next run
    // tells complete files from broken ones by their digest. The worker
    // gives up the file it is unpacking (its half-made output goes) and
    // stages nothing more, so the work directory holds only whole files to
    // resume from.
    outputFile.close();
    if (scheduler)
        scheduler->kill();
    worker->cancel();
    return true;
}

void UpdateEngine::message(const QString &text)
{
    transcript.line(text);
}

void UpdateEngine::stop(RunStop why)
{
    if (transcript.hasEnded())
        return;
    if (scheduler)
        scheduler->kill();
    transcript.stopped(why);
}

} // namespace vt3
