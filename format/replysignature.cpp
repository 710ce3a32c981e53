#include "replysignature.h"

#include "signature.h"

#include <QStringList>

namespace vt3::replysignature {

namespace {
const QLatin1String TimeField("t=");
const QLatin1String SignatureField("sig=");
// Seconds since 1970 in decimal: anything longer is no time a server sent.
constexpr int MaxTimeDigits = 12;

bool parseTime(const QString &text, qint64 &time)
{
    if (text.isEmpty() || text.size() > MaxTimeDigits)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    time = text.toLongLong();
    return true;
}
} // namespace

QByteArray signedMessage(const QString &record, qint64 time)
{
    return record.toUtf8() + ";t=" + QByteArray::number(time);
}

QByteArray compose(const QString &record, qint64 time, const QByteArray &signature)
{
    return record.toUtf8() + ",t=" + QByteArray::number(time) + ";sig=" + signature.toBase64();
}

SignedReply parse(const QString &reply)
{
    SignedReply parsed;
    const int comma = reply.indexOf(QLatin1Char(','));
    parsed.record = comma < 0 ? reply : reply.left(comma);
    if (comma < 0)
        return parsed;
    const QStringList fields = reply.mid(comma + 1).split(QLatin1Char(';'));
    for (const QString &field : fields) {
        if (field.startsWith(TimeField))
            parsed.hasTime = parseTime(field.mid(TimeField.size()), parsed.time);
        else if (field.startsWith(SignatureField))
            parsed.signature =
                signature::decodeExact(field.mid(SignatureField.size()).toLatin1(), signature::SignatureBytes);
    }
    return parsed;
}

} // namespace vt3::replysignature
