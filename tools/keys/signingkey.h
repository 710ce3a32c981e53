#ifndef SIGNINGKEY_H
#define SIGNINGKEY_H

#include <QByteArray>
#include <QString>

namespace vt3publish {

// What a key signs. A release key stays offline with the publisher; a
// version key lives on the version server, which signs every answer with
// it. Neither may stand in for the other: a stolen version key must not
// sign a release.
enum class KeyRole { Release, Version };

// A maker's Ed25519 key pair. The key file holds the whole secret key (in
// base64, after a comment line that names its role); both halves are
// derived from its seed.
struct SigningKey
{
    QByteArray secret;    // libsodium's 64-byte secret key
    QByteArray publicKey; // 32 bytes
    KeyRole role = KeyRole::Release;
    QByteArray keyId() const;
    QByteArray sign(const QByteArray &message) const;
};

// vt3-signing.key and .pub for a release key, vt3-version.key and .pub for
// a version key.
QString secretKeyFileName(KeyRole role);
QString publicKeyFileName(KeyRole role);

enum class KeyStatus { Ok, Refused, Failed };

// Writes the secret key file (mode 0600, never replacing an existing one)
// and the public one, the line an installation's trusted-keys.txt takes
// ("version " before the key of a version key), into DIR.
KeyStatus generateKey(const QString &dir, KeyRole role, SigningKey &key, QString &error);

// Reads a key file written by generateKey and refuses one of another role
// than `role`. A file that group or others may read or write is refused:
// the key signs what every installation runs or trusts.
KeyStatus readSigningKey(const QString &path, KeyRole role, SigningKey &key, QString &error);

} // namespace vt3publish

#endif // SIGNINGKEY_H
