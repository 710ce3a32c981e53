#include "updateclient.h"

#include "appdir.h"
#include "pathsafety.h"
#include "releasestate.h"
#include "ui_updateclient.h"

#include <QCoreApplication>
#include <QFileInfo>

void UpdateClient::allFinished()
{
    updateFinished = true;
    ui->progressBar->setValue(ui->progressBar->maximum());

    removeDirContents(tempDir);
    tempDir.rmdir(tempDir.absolutePath());

    const QString appDir = vt3::applicationDir();
    for (auto entry = deleteList.constBegin(); entry != deleteList.constEnd(); ++entry) {
        if (entry.value() == 0)
            continue;
        QString path = entry.key();
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        // The manifest check refuses such names already; a deletion is the
        // last place where one could still reach outside the installation.
        if (!vt3::isSafeRelativePath(path))
            continue;
        QFile::remove(appDir + QLatin1Char('/') + path);
    }

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

void UpdateClient::removeDirContents(QDir dir)
{
    const QFileInfoList files =
        dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &file : files)
        QFile::remove(file.absoluteFilePath());

    const QFileInfoList dirs =
        dir.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &sub : dirs) {
        // A link is removed as a link; following it would empty whatever
        // directory it points to.
        if (sub.isSymLink()) {
            QFile::remove(sub.absoluteFilePath());
            continue;
        }
        removeDirContents(QDir(sub.absoluteFilePath()));
        dir.rmdir(sub.fileName());
    }
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
