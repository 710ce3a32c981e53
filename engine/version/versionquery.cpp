#include "versionquery.h"

#include "releasedversion.h"
#include "releasestate.h"
#include "run/transcript.h"

#include <QDateTime>
#include <QTimer>

namespace {
// How long the version server gets before the face hears that no answer came.
constexpr int VersionTimeoutMs = 10000;
// A usable record holds at least the release id and the version text.
constexpr int MinVersionFields = 2;
constexpr int ReleaseIdField = 0;
constexpr int VersionTextField = 1;
} // namespace

namespace vt3 {

VersionQuery::VersionQuery(Transcript &shownTo, QObject *parent)
    : QObject(parent)
    , transcript(shownTo)
{
}

void VersionQuery::start()
{
    auto *version = new releasedVersion(this);
    connect(version, &releasedVersion::finished, this, &VersionQuery::take);
    QTimer::singleShot(VersionTimeoutMs, this, &VersionQuery::timedOut);
}

void VersionQuery::take(QString &reply)
{
    answered = true;
    // The first usable answer names the release; a second datagram (a server
    // answering twice, or anyone who can reach our port) must not change the
    // release a run is fetching or re-enable the button during a run.
    if (shown)
        return;
    const QString record = reply.split(QLatin1Char(','), Qt::KeepEmptyParts).constFirst();
    fields = record.split(QLatin1Char('#'), Qt::KeepEmptyParts);
    if (fields.size() < MinVersionFields) {
        transcript.face()->versionUnknown();
        return;
    }
    // Ids that do not fit 32 bits or are not numbers give 0, the epoch.
    bool ok = false;
    uint releaseTime = fields.at(ReleaseIdField).toUInt(&ok, 10);
    if (!ok)
        releaseTime = 0;
    shown = true;
    transcript.face()->versionKnown(fields.at(ReleaseIdField), fields.at(VersionTextField),
                                    QDateTime::fromSecsSinceEpoch(releaseTime));
}

void VersionQuery::timedOut()
{
    if (!answered)
        transcript.face()->versionUnknown();
}

quint64 VersionQuery::releaseId() const
{
    return releaseNumber(releaseText());
}

} // namespace vt3
