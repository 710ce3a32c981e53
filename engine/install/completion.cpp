#include "updateengine.h"

#include "appdir.h"
#include "pathsafety.h"
#include "releaseformat.h"
#include "releasestate.h"
#include "releaseworker.h"

#include <QFileInfo>
#include <QProcess>

void vt3::UpdateEngine::allFinished()
{
    transcript.face()->unpackProgress(100);

    QStringList deletions;
    for (auto entry = deleteList.constBegin(); entry != deleteList.constEnd(); ++entry) {
        if (entry.value() == 0)
            continue;
        QString path = entry.key();
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        // The manifest check refuses such names already; a deletion is the
        // last place where one could still reach outside the installation.
        if (!vt3::isSafeRelativePath(path))
            continue;
        deletions << path;
    }
    const QString workDir = tempDir.absolutePath();
    const QString appDir = vt3::applicationDir();
    // Heard only during the clear-up, so connected for it alone.
    disconnect(worker, &vt3::ReleaseWorker::leftInUse, this, nullptr);
    connect(worker, &vt3::ReleaseWorker::leftInUse, this, [this](const QString &path, bool atRestart) {
        const QString shown = QDir::toNativeSeparators(path).toHtmlEscaped();
        message(atRestart ? tr("%1 is still in use; it will be removed at the next restart.").arg(shown)
                          : tr("%1 is still in use and could not be removed.").arg(shown));
    });
    toWorker([workDir, appDir, deletions](vt3::ReleaseWorker *w) { w->clearUp(workDir, appDir, deletions); });
}

void vt3::UpdateEngine::runCleared()
{
    updateFinished = true;
    const QString appDir = vt3::applicationDir();
    // Recorded only now: a run that stops anywhere before has installed
    // nothing that a later, older release must not replace.
    if (releaseId() != 0 && !vt3::recordInstalledRelease(appDir, releaseId()))
        message(tr("<font color=red>write file %1 error</font>")
                    .arg(QDir::toNativeSeparators(vt3::releaseStatePath(appDir)).toHtmlEscaped()));

    // The launch button is there by the time the line that names it is.
    transcript.finished();
    message(tr("<font color=red>Update finished.Press \"Start Voxtera3\" run Voxtera3.</font>"));
}

namespace vt3 {

void startChatClient()
{
    const QString program = resolveProgram(QStringLiteral("vt3client_%1.exe").arg(format::Platform));
#ifdef Q_OS_WIN
    // Left running on purpose: the client outlives the updater.
    auto *client = new QProcess;
    client->start(program, QStringList(), QIODevice::ReadWrite);
#else
    // A child whose output pipe closes when the updater exits would die of
    // SIGPIPE the first time it writes; a detached client has no such tie.
    QProcess::startDetached(program, QStringList());
#endif
}

} // namespace vt3
