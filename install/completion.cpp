#include "updateclient.h"

#include "appdir.h"
#include "pathsafety.h"
#include "releasestate.h"
#include "releaseworker.h"
#include "ui_updateclient.h"

#include <QCoreApplication>
#include <QFileInfo>

void UpdateClient::allFinished()
{
    ui->progressBar->setValue(ui->progressBar->maximum());

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

void UpdateClient::runCleared()
{
    updateFinished = true;
    const QString appDir = vt3::applicationDir();
    // Recorded only now: a run that stops anywhere before has installed
    // nothing that a later, older release must not replace.
    if (releaseId() != 0 && !vt3::recordInstalledRelease(appDir, releaseId()))
        message(tr("<font color=red>write file %1 error</font>")
                    .arg(QDir::toNativeSeparators(vt3::releaseStatePath(appDir)).toHtmlEscaped()));

    ui->btnStart->hide();
    ui->btnRun->show();
    message(tr("<font color=red>Update finished.Press \"Start Voxtera3\" run Voxtera3.</font>"));
    connect(ui->btnRun, &QPushButton::clicked, this, &UpdateClient::runVT3);
}

void UpdateClient::runVT3()
{
    const QString program = vt3::resolveProgram(QStringLiteral("vt3client_%1.exe").arg(platform));
#ifdef Q_OS_WIN
    clientProcess = new QProcess;
    clientProcess->start(program, QStringList(), QIODevice::ReadWrite);
#else
    // A child whose output pipe closes when the updater exits would die of
    // SIGPIPE the first time it writes; a detached client has no such tie.
    QProcess::startDetached(program, QStringList());
#endif
    QCoreApplication::quit();
}
