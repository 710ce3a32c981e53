#include "updateclient.h"

#include "appdir.h"
#include "elevatedupdate.h"
#include "releasestate.h"
#include "runlog.h"
#include "ui_updateclient.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QEvent>
#include <QLayout>
#include <QMessageBox>

namespace {
constexpr double BytesPerKB = 1024.0;
constexpr double BytesPerMB = 1048576.0;
// The scale factors the sizes are shown with, exact in binary.
constexpr double KBPerByte = 0.0009765625;
constexpr double MBPerByte = 0.00000095367431640625;
} // namespace

UpdateClient::UpdateClient(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::UpdateClient)
    , run(new vt3::UpdateEngine(this, this))
    , elevated(new vt3::ElevatedUpdate(this))
    , elevatedProgram(QCoreApplication::applicationFilePath())
{
    ui->setupUi(this);
    ui->details->hide();
    // The window follows the log being shown or hidden and cannot be resized.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    ui->btnStart->setEnabled(false);
    ui->btnRun->hide();
    ui->btnElevate->hide();

    connect(ui->btnDetails, &QPushButton::toggled, ui->details, &QWidget::setVisible);
    connect(ui->copyright, &QLabel::linkActivated, this, &UpdateClient::openUrl);
    connect(ui->btnStart, &QPushButton::clicked, this, [this] { run->update(); });
    connect(ui->btnRun, &QPushButton::clicked, this, &UpdateClient::runVT3);
    connect(ui->btnElevate, &QPushButton::clicked, this, &UpdateClient::updateAsAdministrator);
    connect(elevated, &vt3::ElevatedUpdate::finished, this, &UpdateClient::elevatedRunEnded);

    run->queryVersion();
}

UpdateClient::~UpdateClient()
{
    // The run goes first: whatever it still reports on its way out finds
    // the window whole.
    delete run;
    delete ui;
}

void UpdateClient::closeEvent(QCloseEvent *event)
{
    if (run->mayClose())
        event->accept();
    else
        event->ignore();
}

bool UpdateClient::confirmAbort()
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No);
    return answer == QMessageBox::Yes;
}

void UpdateClient::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}

void UpdateClient::versionKnown(const QString &releaseId, const QString &version, const QDateTime &released)
{
    announcedRelease = vt3::releaseNumber(releaseId);
    const QString date = released.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    // The text comes off the network: never let it be read as markup.
    ui->lastedVersion->setTextFormat(Qt::PlainText);
    // Built from the caption rather than the label's current text, so that a
    // reply after the time-out does not read as the failure text.
    ui->lastedVersion->setText(tr("Lasted Version:") + version + QLatin1String(" (") + date + QLatin1Char(')'));
    ui->btnStart->setEnabled(true);
    // It is the window's default action: Enter or Space now starts it, as a
    // click does, unless the user has gone to read the details.
    if (focusWidget() != ui->details)
        ui->btnStart->setFocus(Qt::OtherFocusReason);
}

void UpdateClient::versionUnknown()
{
    ui->lastedVersion->setText(tr("Failed to retrieve Version number."));
}

void UpdateClient::versionRefused(const QString &why)
{
    ui->lastedVersion->setTextFormat(Qt::PlainText);
    ui->lastedVersion->setText(why);
}

void UpdateClient::runStarting()
{
    // Pressing again while the process list is read must not start a
    // second check.
    ui->btnStart->setEnabled(false);
}

void UpdateClient::runStarted()
{
    ui->progressBar->setValue(0);
    ui->details->clear();
}

void UpdateClient::logLine(const QString &html)
{
    message(html);
}

void UpdateClient::message(QString text)
{
    ui->details->appendHtml(text);
}

void UpdateClient::transferProgress(qint64 done, qint64 total, double bytesPerSecond)
{
    slotProgress(done, total, bytesPerSecond);
}

void UpdateClient::slotProgress(qint64 done, qint64 total, double bytesPerSecond)
{
    if (total > 0) {
        // Past 100 the bar ignores the value and keeps its last one.
        ui->progressBar->setValue(static_cast<int>(done * 100 / total));
        ui->completed->setText(tr("%1/%2").arg(formatSize(double(done)), formatSize(double(total))));
    } else {
        ui->completed->setText(tr("%1").arg(formatSize(double(done))));
    }
    // Without a speed to tell, the last one shown stays.
    if (bytesPerSecond >= 0)
        ui->downloadSpeed->setText(tr("%1/s").arg(formatSize(bytesPerSecond)));
}

void UpdateClient::unpackProgress(int percent)
{
    ui->progressBar->setValue(percent);
}

void UpdateClient::checkProgress(qint64 done, qint64 total)
{
    if (total <= 0)
        return;
    ui->progressBar->setValue(static_cast<int>(done * 100 / total));
    ui->completed->setText(tr("checked %1/%2").arg(formatSize(double(done)), formatSize(double(total))));
}

void UpdateClient::runFinished()
{
    ui->btnStart->hide();
    ui->btnRun->show();
}

void UpdateClient::runStopped(vt3::RunStop why)
{
    switch (why) {
    case vt3::RunStop::MirrorListMissing:
        if (ui->btnDetails->isCheckable() && !ui->btnDetails->isChecked())
            ui->btnDetails->setChecked(true);
        break;
    case vt3::RunStop::ClientRunning:
        ui->btnStart->setEnabled(true);
        if (!unattended)
            QMessageBox::information(this, tr("Warning"),
                                     tr("The Voxtera 3 Client should be\n closed before starting the update."),
                                     QMessageBox::Ok, QMessageBox::NoButton);
        break;
    case vt3::RunStop::NoWriteAccess:
        ui->btnElevate->setVisible(vt3::ElevatedUpdate::available() && !unattended);
        break;
    case vt3::RunStop::Refused:
    case vt3::RunStop::Failed:
        break;
    }
}

void UpdateClient::updateAsAdministrator()
{
    ui->btnElevate->setEnabled(false);
    message(tr("Updating as administrator..."));
    elevatedSince = QDateTime::currentDateTimeUtc();
    if (elevated->start(elevatedProgram, {QStringLiteral("--update")}))
        return;
    message(tr("<font color=red>The update as administrator was not started.</font>"));
    ui->btnElevate->setEnabled(true);
}

void UpdateClient::elevatedRunEnded(int exitCode)
{
    // The run wrote its log as this user's, unless the administrator is
    // another user: then only the installed release tells the outcome.
    for (const QString &line : vt3::RunLog::linesWrittenSince(elevatedSince))
        message(line.toHtmlEscaped());
    const quint64 installed = vt3::installedRelease(vt3::applicationDir());
    if (exitCode == 0 && installed != 0 && installed == announcedRelease) {
        ui->btnElevate->hide();
        runFinished();
        return;
    }
    message(tr("<font color=red>The update as administrator did not finish (exit code %1).</font>").arg(exitCode));
    ui->btnElevate->setEnabled(true);
}

QString UpdateClient::formatSize(double bytes)
{
    if (bytes < BytesPerKB)
        return QString::number(bytes, 'f', 0) + QLatin1Char(' ') + tr("Byte");
    if (bytes < BytesPerMB)
        return QString::number(bytes * KBPerByte, 'f', 0) + QLatin1Char(' ') + tr("KB");
    // Also where a value that is not a number ends up.
    return QString::number(bytes * MBPerByte, 'f', 2) + QLatin1Char(' ') + tr("MB");
}

void UpdateClient::runVT3()
{
    vt3::startChatClient();
    QCoreApplication::quit();
}

void UpdateClient::openUrl(QString link)
{
    QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode));
}
