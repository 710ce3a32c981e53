#include "signature.h"

#include <QCryptographicHash>
#include <QList>
#include <QMap>

#include <sodium.h>

namespace vt3::signature {

namespace {

constexpr int KeyIdBytes = 8;
const QByteArray MessagePrefix("vt3-release-v1\n");
const QByteArray GroupName("signatures");

bool sodiumReady()
{
    // sodium_init is safe to call more than once, but once is enough; the
    // static makes the first caller do it, on whatever thread that is.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// A value as QSettings writes it: possibly in double quotes.
QByteArray unquoted(const QByteArray &value)
{
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
        return value.mid(1, value.size() - 2);
    return value;
}

// The key=value pairs of one INI group, later lines winning; keys with "\"
// read as "/", the way QSettings folds them.
QMap<QByteArray, QByteArray> readGroup(const QByteArray &text, const QByteArray &group)
{
    QMap<QByteArray, QByteArray> values;
    bool inGroup = false;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inGroup = line.endsWith(']') && line.mid(1, line.size() - 2).trimmed() == group;
            continue;
        }
        const int equals = line.indexOf('=');
        if (!inGroup || equals <= 0)
            continue;
        QByteArray key = line.left(equals).trimmed();
        key.replace('\\', '/');
        values.insert(key, unquoted(line.mid(equals + 1).trimmed()));
    }
    return values;
}

bool parseCount(const QByteArray &text, int &count)
{
    bool ok = false;
    count = text.toInt(&ok, 10);
    return ok && QByteArray::number(count) == text;
}

} // namespace

QByteArray keyId(const QByteArray &publicKey)
{
    return QCryptographicHash::hash(publicKey, QCryptographicHash::Sha256).left(KeyIdBytes).toHex();
}

QByteArray signedMessage(quint64 releaseId, const QByteArray &manifest)
{
    return MessagePrefix + QByteArray::number(releaseId) + '\n' + manifest;
}

QByteArray decodeExact(const QByteArray &base64, int length)
{
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok || decoded.decoded.size() != length)
        return QByteArray();
    return decoded.decoded;
}

SignatureFile parseSignatureFile(const QByteArray &text)
{
    SignatureFile file;
    const QMap<QByteArray, QByteArray> values = readGroup(text, GroupName);
    int count = 0;
    if (!parseCount(values.value("size"), count) || count < 1 || count > MaxSignatures)
        return file;
    file.usable = true;
    for (int i = 1; i <= count; ++i) {
        const QByteArray prefix = QByteArray::number(i) + '/';
        const QByteArray id = values.value(prefix + "key");
        const QByteArray sig = values.value(prefix + "sig");
        if (id.isEmpty() || sig.isEmpty())
            continue;
        file.entries.append(Entry{id.toLower(), decodeExact(sig, SignatureBytes)});
    }
    return file;
}

QByteArray formatSignatureFile(const QVector<Entry> &entries)
{
    QByteArray text = "[" + GroupName + "]\nsize=" + QByteArray::number(entries.size()) + '\n';
    for (int i = 0; i < entries.size(); ++i) {
        const QByteArray n = QByteArray::number(i + 1);
        text += n + "\\key=" + entries.at(i).keyId + '\n';
        text += n + "\\sig=" + entries.at(i).signature.toBase64() + '\n';
    }
    return text;
}

bool verifyDetached(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey)
{
    if (signature.size() != SignatureBytes || publicKey.size() != PublicKeyBytes || !sodiumReady())
        return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char *>(publicKey.constData())) == 0;
}

bool verifyRelease(const SignatureFile &file, quint64 releaseId, const QByteArray &manifest,
                   const QVector<QByteArray> &trustedKeys)
{
    if (!file.usable)
        return false;
    const QByteArray message = signedMessage(releaseId, manifest);
    for (const QByteArray &key : trustedKeys) {
        const QByteArray id = keyId(key);
        for (const Entry &entry : file.entries) {
            if (entry.keyId == id && verifyDetached(message, entry.signature, key))
                return true;
        }
    }
    return false;
}

TrustedKeys parseTrustedKeys(const QByteArray &text)
{
    TrustedKeys trusted;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        const int hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        // The role word stands apart from the key by white space; a key
        // that merely begins with the same letters is still a release key.
        const bool version = line.size() > VersionRole.size() && line.startsWith(VersionRole) &&
                             QChar::isSpace(uchar(line.at(VersionRole.size())));
        if (version)
            line = line.mid(VersionRole.size()).trimmed();
        QVector<QByteArray> &keys = version ? trusted.versionKeys : trusted.keys;
        const QByteArray key = decodeExact(line, PublicKeyBytes);
        if (key.isEmpty())
            (version ? trusted.malformedVersionLines : trusted.malformedLines).append(i + 1);
        else if (!keys.contains(key))
            keys.append(key);
    }
    return trusted;
}

} // namespace vt3::signature
