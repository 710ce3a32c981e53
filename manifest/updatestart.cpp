#include "updateclient.h"

#include "appdir.h"
#include "ui_updateclient.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>

void UpdateClient::update()
{
    const QString mirrorList = vt3::applicationDir() + QLatin1String("/mirrors.ini");
    if (!QFileInfo::exists(mirrorList)) {
        message(tr("<font color=red>mirrors.ini file not found!</font>"));
        if (ui->btnDetails->isCheckable() && !ui->btnDetails->isChecked())
            ui->btnDetails->setChecked(true);
        return;
    }

    if (isClientRunning()) {
        QMessageBox::information(this, tr("Warning"),
                                 tr("The Voxtera 3 Client should be\n closed before starting the update."),
                                 QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    ui->btnStart->setEnabled(false);
    ui->progressBar->setValue(0);
    completedBytes = 0;
    totalBytes = 0;
    attempts = 0;
    ui->details->clear();
    releaseFiles.clear();
    tempDir = QDir::temp();
    speedTimer.start();

    QSettings settings(mirrorList, QSettings::IniFormat);
    const int size = settings.value(QStringLiteral("mirrors/size"), 0).toInt();
    configFile = QStringLiteral("client_%1.ini").arg(platform);

    // The entry count is one more than the number of entries: 1 .. size-1.
    for (int i = 1; i < size; ++i) {
        const QString name = settings.value(QStringLiteral("mirrors/%1/mirror").arg(i)).toString();
        // An empty name makes these "/url" and "/retries", which QSettings
        // reads as the top-level keys of [General].
        const QString url = settings.value(name + QLatin1String("/url")).toString();
        const int retries = settings.value(name + QLatin1String("/retries"), 0).toInt();
        mirrors.insert(url, retries);
    }

    nextConfigFile();
}
