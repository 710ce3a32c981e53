#ifndef SIGNINGKEY_H
#define SIGNINGKEY_H

#include <QByteArray>
#include <QString>

namespace vt3publish {

// A maker's Ed25519 key pair. The key file holds only the 32-byte seed (in
// base64, after a comment line); both halves are derived from it.
struct SigningKey
{
    QByteArray secret;    // libsodium's 64-byte secret key
    QByteArray publicKey; // 32 bytes
    QByteArray keyId() const;
    QByteArray sign(const QByteArray &message) const;
};

const QString SecretKeyFileName = QStringLiteral("vt3-signing.key");
const QString PublicKeyFileName = QStringLiteral("vt3-signing.pub");

enum class KeyStatus { Ok, Refused, Failed };

// Writes DIR/vt3-signing.key (mode 0600, never replacing an existing one)
// and DIR/vt3-signing.pub, the line an installation's trusted-keys.txt takes.
KeyStatus generateKey(const QString &dir, SigningKey &key, QString &error);

// Reads a key file written by generateKey. A file that group or others may
// read or write is refused: the key signs what every installation runs.
KeyStatus readSigningKey(const QString &path, SigningKey &key, QString &error);

} // namespace vt3publish

#endif // SIGNINGKEY_H
