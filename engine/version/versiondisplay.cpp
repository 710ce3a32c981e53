#include "updateengine.h"

#include <QDateTime>

namespace {
// A usable record holds at least the release id and the version text.
constexpr int MinVersionFields = 2;
constexpr int ReleaseIdField = 0;
constexpr int VersionTextField = 1;
} // namespace

void vt3::UpdateEngine::showLastedVersion(QString &reply)
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
        transcript.face()->versionUnknown();
        return;
    }

    // Ids that do not fit 32 bits or are not numbers give 0, the epoch.
    bool ok = false;
    uint releaseTime = versionInfo.at(ReleaseIdField).toUInt(&ok, 10);
    if (!ok)
        releaseTime = 0;
    versionShown = true;
    transcript.face()->versionKnown(versionInfo.at(ReleaseIdField), versionInfo.at(VersionTextField),
                                    QDateTime::fromSecsSinceEpoch(releaseTime));
}

void vt3::UpdateEngine::checkRetrieveVersion()
{
    if (!versionReceived)
        transcript.face()->versionUnknown();
}
