#ifndef REPLYCHECK_H
#define REPLYCHECK_H

#include <QByteArray>
#include <QString>
#include <QVector>

namespace vt3 {

// What an installation that trusts version keys demands of the version
// server's answer before it shows it.
struct ReplyRules
{
    // A week: long enough for a server that is down over a holiday, short
    // enough that a captured answer cannot hide new releases for long.
    static constexpr qint64 DefaultMaxAgeSeconds = 7 * 24 * 3600;
    // Clocks of users' computers drift, and some are set by hand; two days
    // ahead still reads as a wrong clock, not as a forged answer.
    static constexpr qint64 MaxAheadSeconds = 48 * 3600;

    // Without a trusted version key nothing is checked, as always.
    bool required = false;
    QVector<QByteArray> keys;
    // The newest answer's time accepted before; 0 for none.
    qint64 newestAccepted = 0;
    qint64 maxAgeSeconds = DefaultMaxAgeSeconds;
};

enum class ReplyVerdict {
    Accepted,
    // No time or no signature after the record.
    Unsigned,
    // No trusted version key signed this record with this time: a key we
    // do not know, a signature over something else, or a changed reply.
    Unverified,
    // Older than an answer accepted before: a replay.
    Replayed,
    // Older than the maximum age: a frozen view of the releases.
    Stale,
    // Further ahead of this computer's clock than any drift explains.
    FromFuture,
};

struct ReplyJudgement
{
    ReplyVerdict verdict = ReplyVerdict::Unsigned;
    qint64 time = 0;
};

// Judges one reply text against the rules at the local time `now`.
ReplyJudgement judgeReply(const QString &reply, const ReplyRules &rules, qint64 now);

// "[version] max-age" of a mirrors.ini: seconds, or a number with "s",
// "m", "h" or "d"; the default where it is missing or not such a value.
qint64 readMaxReplyAge(const QString &iniPath);

} // namespace vt3

#endif // REPLYCHECK_H
