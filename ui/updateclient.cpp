#include "updateclient.h"

#include "releasedversion.h"
#include "releaseformat.h"
#include "ui_updateclient.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QEvent>
#include <QLayout>
#include <QMessageBox>
#include <QNetworkProxyFactory>
#include <QTimer>

namespace {
// How long the window waits for the version server before it says so.
constexpr int VersionTimeoutMs = 10000;
// How long a manifest request may go without a single byte.
constexpr int ConfigTimeoutMs = 10000;
// How long a release-file transfer may go without a byte before it is
// abandoned; long enough for a slow line, short enough that a dead mirror
// does not hold the run for ever.
constexpr int StallTimeoutMs = 30000;
} // namespace

UpdateClient::UpdateClient(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::UpdateClient)
    , versionReceived(false)
    , configTimeout(ConfigTimeoutMs)
    , completedBytes(0)
    , totalBytes(0)
    , currentReceived(0)
    , attempts(0)
    , mirrorRetries(0)
    , updateFinished(false)
    , configReply(nullptr)
    , clientProcess(nullptr)
    , clientCheck(nullptr)
    , versionShown(false)
    , currentExpectedSize(-1)
    , currentWritten(0)
    , stallTimeout(StallTimeoutMs)
    , fileReply(nullptr)
    , fileAttempt(0)
    , resumeOffset(0)
    , fileStartedOver(false)
    , responseAccepted(false)
    , signatureRequired(false)
    , worker(new vt3::ReleaseWorker)
    , streaming(false)
    , streamsInFlight(0)
    , gzipWaiting(false)
    , awaitingResumeVerdict(false)
    , streamTargetsFor(-1)
    , queueCursor(0)
    , unpackedBytes(0)
    , workPosted(0)
{
    platform = vt3::format::Platform;

    // Users behind a proxy configure it for the whole system; take it from
    // there rather than relying on the framework's default.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    worker->moveToThread(&workerThread);
    connect(worker, &vt3::ReleaseWorker::fileChecked, this, &UpdateClient::fileChecked);
    connect(worker, &vt3::ReleaseWorker::fileVerified, this, &UpdateClient::fileVerified);
    connect(worker, &vt3::ReleaseWorker::fileExtracted, this, &UpdateClient::fileExtracted);
    connect(worker, &vt3::ReleaseWorker::unpackProgress, this, &UpdateClient::showUnpackProgress);
    connect(worker, &vt3::ReleaseWorker::filesInstalled, this, &UpdateClient::filesInstalled);
    connect(worker, &vt3::ReleaseWorker::clearedUp, this, &UpdateClient::runCleared);
    workerThread.start();

    stallTimer.setSingleShot(true);
    connect(&stallTimer, &QTimer::timeout, this, &UpdateClient::checkStall);

    ui->setupUi(this);
    ui->details->hide();
    // The window follows the log being shown or hidden and cannot be resized.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    ui->btnStart->setEnabled(false);
    ui->btnRun->hide();
    updateFinished = false;

    connect(ui->btnDetails, &QPushButton::toggled, ui->details, &QWidget::setVisible);
    connect(ui->copyright, &QLabel::linkActivated, this, &UpdateClient::openUrl);
    connect(ui->btnStart, &QPushButton::clicked, this, &UpdateClient::update);
    connect(&clientCheckLimit, &QTimer::timeout, this, [this] { finishClientCheck(false); });

    versionReceived = false;

    auto *version = new releasedVersion(this);
    connect(version, &releasedVersion::finished, this, &UpdateClient::showLastedVersion);
    QTimer::singleShot(VersionTimeoutMs, this, &UpdateClient::checkRetrieveVersion);
}

UpdateClient::~UpdateClient()
{
    // The file in hand is given up whole; nothing half written stays.
    worker->cancel();
    workerThread.quit();
    workerThread.wait();
    delete worker;
    delete ui;
}

void UpdateClient::closeEvent(QCloseEvent *event)
{
    if (updateFinished) {
        event->accept();
        return;
    }
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    // Whatever was half written stays in the work directory; the next run
    // tells complete files from broken ones by their digest. The worker
    // gives up the file it is unpacking (its half-made output goes) and
    // stages nothing more, so the work directory holds only whole files to
    // resume from.
    outputFile.close();
    worker->cancel();
    event->accept();
}

void UpdateClient::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}

void UpdateClient::message(QString text)
{
    ui->details->appendHtml(text);
    runLog.write(text);
}

void UpdateClient::openUrl(QString link)
{
    QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode));
}
