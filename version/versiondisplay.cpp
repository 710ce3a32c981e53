#include "ui_updateclient.h"
#include "updateclient.h"

#include <QDateTime>

namespace {
// A usable record holds at least the release id and the version text.
constexpr int MinVersionFields = 2;
constexpr int ReleaseIdField = 0;
constexpr int VersionTextField = 1;
} // namespace

void UpdateClient::showLastedVersion(QString &reply)
{
    versionReceived = true;
    // The first usable answer names the release; a second datagram (a server
    // answering twice, or anyone who can reach our port) must not change the
    // release a run is fetching or re-enable the button during a run.
    if (versionShown)
        return;

    const QString record = reply.split(QLatin1Char(','), Qt::KeepEmptyParts).constFirst();
    versionInfo = record.split(QLatin1Char('#'), Qt::KeepEmptyParts);
    if (versionInfo.size() < MinVersionFields) {
        ui->lastedVersion->setText(tr("Failed to retrieve Version number."));
        return;
    }

    // Ids that do not fit 32 bits or are not numbers give 0, the epoch.
    bool ok = false;
    uint releaseTime = versionInfo.at(ReleaseIdField).toUInt(&ok, 10);
    if (!ok)
        releaseTime = 0;
    const QString date = QDateTime::fromSecsSinceEpoch(releaseTime).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));

    // The text comes off the network: never let it be read as markup.
    ui->lastedVersion->setTextFormat(Qt::PlainText);
    // Built from the caption rather than the label's current text, so that a
    // reply after the time-out does not read as the failure text.
    ui->lastedVersion->setText(tr("Lasted Version:") + versionInfo.at(VersionTextField) + QLatin1String(" (") + date +
                               QLatin1Char(')'));
    versionShown = true;
    ui->btnStart->setEnabled(true);
    // It is the window's default action: Enter or Space now starts it, as a
    // click does, unless the user has gone to read the details.
    if (focusWidget() != ui->details)
        ui->btnStart->setFocus(Qt::OtherFocusReason);
}

void UpdateClient::checkRetrieveVersion()
{
    if (!versionReceived)
        ui->lastedVersion->setText(tr("Failed to retrieve Version number."));
}
