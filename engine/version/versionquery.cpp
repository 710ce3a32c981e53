#include "versionquery.h"

#include "appdir.h"
#include "releasedversion.h"
#include "releasestate.h"
#include "run/texts.h"
#include "run/transcript.h"
#include "signature.h"

#include <QDateTime>
#include <QFile>
#include <QTimer>

namespace {
// How long the version server gets before the face hears that no answer came.
constexpr int VersionTimeoutMs = 10000;
// A usable record holds at least the release id and the version text.
constexpr int MinVersionFields = 2;
constexpr int ReleaseIdField = 0;
constexpr int VersionTextField = 1;
// What of a dropped datagram the disk log quotes: enough to recognise it.
constexpr int QuotedReplyChars = 200;

QString utcText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss 'UTC'"));
}

QString droppedBecause(vt3::ReplyVerdict verdict)
{
    using vt3::ReplyVerdict;
    using vt3::Texts;
    switch (verdict) {
    case ReplyVerdict::Unsigned:
        return Texts::tr("unsigned");
    case ReplyVerdict::Unverified:
        return Texts::tr("not signed by a trusted version key");
    case ReplyVerdict::Replayed:
        return Texts::tr("older than an answer accepted before");
    case ReplyVerdict::Stale:
        return Texts::tr("older than the maximum age");
    case ReplyVerdict::FromFuture:
        return Texts::tr("too far ahead of this computer's clock");
    case ReplyVerdict::Accepted:
        break;
    }
    return QString();
}
} // namespace

namespace vt3 {

VersionQuery::VersionQuery(Transcript &shownTo, QObject *parent)
    : QObject(parent)
    , transcript(shownTo)
{
}

void VersionQuery::start()
{
    loadRules();
    auto *version = new releasedVersion(this);
    // Answers that are checked are taken one by one: a forged datagram
    // read together with the genuine one must not stand in for it.
    if (rules.required)
        connect(version, &releasedVersion::datagramRead, this, &VersionQuery::take);
    else
        connect(version, &releasedVersion::finished, this, &VersionQuery::take);
    QTimer::singleShot(VersionTimeoutMs, this, &VersionQuery::timedOut);
}

void VersionQuery::loadRules()
{
    const QString dir = applicationDir();
    QFile keys(dir + QLatin1String("/trusted-keys.txt"));
    if (!keys.exists())
        return;
    // A key file that cannot be read may hold version keys: it must not
    // switch the check off, so it lets no answer through.
    if (!keys.open(QIODevice::ReadOnly)) {
        rules.required = true;
        return;
    }
    const signature::TrustedKeys trusted = signature::parseTrustedKeys(keys.readAll());
    rules.required = trusted.versionRequired();
    rules.keys = trusted.versionKeys;
    if (!rules.required)
        return;
    rules.maxAgeSeconds = readMaxReplyAge(dir + QLatin1String("/mirrors.ini"));
    const AcceptedTime accepted = readAcceptedTime(dir);
    rules.newestAccepted = accepted.newest;
    if (accepted.corrupt)
        note(Texts::tr("The record of accepted version answers could not be read; it is written anew."));
}

void VersionQuery::take(QString &reply)
{
    // The first usable answer names the release; a second datagram (a server
    // answering twice, or anyone who can reach our port) must not change the
    // release a run is fetching or re-enable the button during a run.
    if (shown || !accept(reply))
        return;
    answered = true;
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

bool VersionQuery::accept(const QString &reply)
{
    if (!rules.required)
        return true;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const ReplyJudgement judged = judgeReply(reply, rules, now);
    if (judged.verdict != ReplyVerdict::Accepted) {
        refused = true;
        clockRefused = clockRefused || judged.verdict == ReplyVerdict::FromFuture;
        note(Texts::tr("Version answer dropped (%1): %2")
                 .arg(droppedBecause(judged.verdict), reply.left(QuotedReplyChars).toHtmlEscaped()));
        return false;
    }
    if (judged.time > now)
        note(Texts::tr("The version answer was sent at %1, ahead of this computer's clock (%2).")
                 .arg(utcText(judged.time), utcText(now)));
    if (judged.time > rules.newestAccepted) {
        rules.newestAccepted = judged.time;
        if (!recordAcceptedTime(applicationDir(), judged.time))
            note(Texts::tr("The time of the accepted version answer could not be recorded."));
    }
    return true;
}

void VersionQuery::note(const QString &html)
{
    heard << html;
    transcript.holdForRun(html);
}

void VersionQuery::timedOut()
{
    if (shown)
        return;
    if (refused) {
        refuse();
        return;
    }
    if (!answered)
        transcript.face()->versionUnknown();
}

void VersionQuery::refuse()
{
    QString why = Texts::tr("The version server's answer could not be verified.");
    if (clockRefused)
        why += QLatin1Char(' ') + Texts::tr("This computer's clock looks wrong.");
    // No run follows a refused answer, so what was dropped gets a log file
    // of its own: it is what an administrator needs to see.
    transcript.beginRun();
    transcript.sayHeldForRun();
    transcript.detail(why.toHtmlEscaped());
    transcript.face()->versionRefused(why);
}

quint64 VersionQuery::releaseId() const
{
    return releaseNumber(releaseText());
}

} // namespace vt3
