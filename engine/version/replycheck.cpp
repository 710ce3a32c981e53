#include "replycheck.h"

#include "replysignature.h"
#include "signature.h"

#include <QSettings>

namespace vt3 {

namespace {
// Up to about 30 years in seconds: a value longer than this is a typo.
constexpr int MaxAgeDigits = 10;

qint64 unitSeconds(QChar unit)
{
    switch (unit.toLatin1()) {
    case 's':
        return 1;
    case 'm':
        return 60;
    case 'h':
        return 3600;
    case 'd':
        return 24 * 3600;
    default:
        return 0;
    }
}

bool signedByTrustedKey(const replysignature::SignedReply &parsed, const QVector<QByteArray> &keys)
{
    const QByteArray message = replysignature::signedMessage(parsed.record, parsed.time);
    for (const QByteArray &key : keys) {
        if (signature::verifyDetached(message, parsed.signature, key))
            return true;
    }
    return false;
}
} // namespace

ReplyJudgement judgeReply(const QString &reply, const ReplyRules &rules, qint64 now)
{
    ReplyJudgement judgement;
    if (!rules.required) {
        judgement.verdict = ReplyVerdict::Accepted;
        return judgement;
    }
    const replysignature::SignedReply parsed = replysignature::parse(reply);
    judgement.time = parsed.time;
    if (!parsed.hasTime || parsed.signature.isEmpty())
        judgement.verdict = ReplyVerdict::Unsigned;
    else if (!signedByTrustedKey(parsed, rules.keys))
        judgement.verdict = ReplyVerdict::Unverified;
    else if (parsed.time > now + ReplyRules::MaxAheadSeconds)
        judgement.verdict = ReplyVerdict::FromFuture;
    else if (parsed.time < rules.newestAccepted)
        judgement.verdict = ReplyVerdict::Replayed;
    else if (parsed.time < now - rules.maxAgeSeconds)
        judgement.verdict = ReplyVerdict::Stale;
    else
        judgement.verdict = ReplyVerdict::Accepted;
    return judgement;
}

qint64 readMaxReplyAge(const QString &iniPath)
{
    const QSettings settings(iniPath, QSettings::IniFormat);
    QString text = settings.value(QStringLiteral("version/max-age")).toString().trimmed().toLower();
    qint64 unit = 1;
    if (!text.isEmpty() && !text.back().isDigit()) {
        unit = unitSeconds(text.back());
        text.chop(1);
    }
    bool ok = false;
    const qint64 count = text.trimmed().toLongLong(&ok, 10);
    if (!ok || unit == 0 || count <= 0 || text.trimmed().size() > MaxAgeDigits)
        return ReplyRules::DefaultMaxAgeSeconds;
    return count * unit;
}

} // namespace vt3
