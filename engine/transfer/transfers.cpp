#include "updateengine.h"

#include "run/runcontext.h"

// The release files' transfers, handed to a scheduler of their own once the
// plan is known; the engine takes up what they found for the installation.

QString vt3::RunContext::fileMirror(int attempt) const
{
    // A failed file is asked for this often from the manifest's mirror before
    // the other mirrors are tried: one more try covers a dropped connection.
    constexpr int AttemptsOnReleaseMirror = 2;
    if (attempt < AttemptsOnReleaseMirror)
        return releaseUrl;
    int index = attempt - AttemptsOnReleaseMirror;
    for (const QString &mirror : mirrorOrder) {
        if (mirror == mirrorUrl)
            continue;
        if (index-- == 0)
            return mirror + releaseId + QLatin1Char('/');
    }
    return QString();
}

void vt3::UpdateEngine::startTransfers()
{
    // The last run's transfers go before what they shared.
    scheduler.reset();
    context = std::make_unique<vt3::RunContext>(
        vt3::RunContext{networkManager, worker, transcript, progress, &plan, nullptr, tempDir.path(),
                        versionInfo.value(0), mirrorUrl, releaseUrl, mirrorOrder, stallTimeout, paceWindow, 0});
    scheduler = std::make_unique<vt3::TransferScheduler>(*context, parallelTransfers);
    connect(scheduler.get(), &vt3::TransferScheduler::finished, this, &UpdateEngine::transfersDone);
    connect(scheduler.get(), &vt3::TransferScheduler::stopped, this, [this] { stop(RunStop::Failed); });
    scheduler->start();
}

void vt3::UpdateEngine::transfersDone()
{
    checkedFiles = scheduler->checkedFiles();
    patched = scheduler->patchedFiles();
    lastExtracted.clear();
    startNextGzip();
}

void vt3::UpdateEngine::slotProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // The watchdog only asks whether anything arrived; the low bits suffice.
    currentReceived = static_cast<int>(bytesReceived);
    progress.headProgress(bytesReceived, bytesTotal);
}
