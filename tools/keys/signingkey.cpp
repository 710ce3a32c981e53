#include "signingkey.h"

#include "signature.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <sodium.h>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vt3publish {

namespace {

namespace signature = vt3::signature;
using vt3::signature::PublicKeyBytes;
using vt3::signature::SecretSeedBytes;
using vt3::signature::SignatureBytes;

// Only the owner may touch the secret key file.
constexpr int OwnerOnlyMode = 0600;
// The first comment line of a version key's secret file says so; files
// without it are release keys, as every key made before version keys was.
const QByteArray VersionKeyMark("vt3-publish version key");

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

bool deriveFromSeed(const QByteArray &seed, SigningKey &key)
{
    if (sodium_init() < 0 || seed.size() != SecretSeedBytes)
        return false;
    key.publicKey.resize(PublicKeyBytes);
    key.secret.resize(crypto_sign_SECRETKEYBYTES);
    return crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(key.publicKey.data()),
                                    reinterpret_cast<unsigned char *>(key.secret.data()), bytes(seed)) == 0;
}

// Creates the file for the secret with owner-only modes from the start, so
// there is no moment in which others could open it.
bool writeNewPrivateFile(const QString &path, const QByteArray &data, QString &error)
{
#ifdef Q_OS_WIN
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(data) != data.size() || !file.flush()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
#else
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, OwnerOnlyMode);
    if (fd < 0) {
        error = QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(::strerror(errno)));
        return false;
    }
    const bool written =
        ::fchmod(fd, OwnerOnlyMode) == 0 && ::write(fd, data.constData(), size_t(data.size())) == ssize_t(data.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        error = QStringLiteral("cannot write %1").arg(path);
        ::unlink(native.constData());
        return false;
    }
    return true;
#endif
}

bool readableByOthers(const QString &path, QString &modeText)
{
#ifdef Q_OS_WIN
    // Windows guards files by access lists, not by these bits.
    Q_UNUSED(path);
    Q_UNUSED(modeText);
    return false;
#else
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    modeText = QString::number(info.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0'));
    return (info.st_mode & (S_IRWXG | S_IRWXO)) != 0;
#endif
}

} // namespace

QByteArray SigningKey::keyId() const
{
    return vt3::signature::keyId(publicKey);
}

QByteArray SigningKey::sign(const QByteArray &message) const
{
    QByteArray signature(SignatureBytes, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr, bytes(message),
                         static_cast<unsigned long long>(message.size()), bytes(secret));
    return signature;
}

QString secretKeyFileName(KeyRole role)
{
    return role == KeyRole::Version ? QStringLiteral("vt3-version.key") : QStringLiteral("vt3-signing.key");
}

QString publicKeyFileName(KeyRole role)
{
    return role == KeyRole::Version ? QStringLiteral("vt3-version.pub") : QStringLiteral("vt3-signing.pub");
}

KeyStatus generateKey(const QString &dir, KeyRole role, SigningKey &key, QString &error)
{
    const QString secretPath = QDir(dir).absoluteFilePath(secretKeyFileName(role));
    const QString publicPath = QDir(dir).absoluteFilePath(publicKeyFileName(role));
    if (QFileInfo::exists(secretPath) || QFileInfo::exists(publicPath)) {
        error = QStringLiteral("%1 already holds a key; a key is never overwritten").arg(dir);
        return KeyStatus::Refused;
    }
    if (!QDir().mkpath(dir)) {
        error = QStringLiteral("cannot create %1").arg(dir);
        return KeyStatus::Failed;
    }
    QByteArray seed(SecretSeedBytes, '\0');
    if (sodium_init() < 0) {
        error = QStringLiteral("cannot start the cryptography library");
        return KeyStatus::Failed;
    }
    randombytes_buf(seed.data(), size_t(seed.size()));
    if (!deriveFromSeed(seed, key)) {
        error = QStringLiteral("cannot derive a key pair");
        return KeyStatus::Failed;
    }
    key.role = role;
    const QByteArray id = key.keyId();
    const QByteArray comment =
        role == KeyRole::Version
            ? QByteArray("# " + VersionKeyMark + ' ' + id +
                         ": for the version server only, never put it into a release")
            : QByteArray("# vt3-publish signing key " + id + ": keep it secret, never put it into a release");
    const QByteArray secretText = comment + '\n' + key.secret.toBase64() + '\n';
    sodium_memzero(seed.data(), size_t(seed.size()));
    if (!writeNewPrivateFile(secretPath, secretText, error))
        return KeyStatus::Failed;

    QFile pub(publicPath);
    const QByteArray line =
        role == KeyRole::Version
            ? QByteArray(signature::VersionRole + ' ' + key.publicKey.toBase64() + " # vt3 version key " + id + '\n')
            : QByteArray(key.publicKey.toBase64() + " # vt3 signing key " + id + '\n');
    if (!pub.open(QIODevice::WriteOnly | QIODevice::NewOnly) || pub.write(line) != line.size() || !pub.flush()) {
        error = QStringLiteral("cannot write %1: %2").arg(publicPath, pub.errorString());
        return KeyStatus::Failed;
    }
    return KeyStatus::Ok;
}

KeyStatus readSigningKey(const QString &path, KeyRole role, SigningKey &key, QString &error)
{
    QString mode;
    if (readableByOthers(path, mode)) {
        error = QStringLiteral("key file %1 has mode %2: group or others may read it (chmod 600 %1)").arg(path, mode);
        return KeyStatus::Refused;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read key file %1: %2").arg(path, file.errorString());
        return KeyStatus::Refused;
    }
    // The whole 64-byte secret (seed, then public key) is stored: its length
    // tells it from a public key given by mistake, and the public half
    // must be the one the seed gives.
    QByteArray value;
    const QList<QByteArray> lines = file.readAll().split('\n');
    const KeyRole found = lines.constFirst().contains(VersionKeyMark) ? KeyRole::Version : KeyRole::Release;
    for (QByteArray line : lines) {
        const int hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (!line.isEmpty())
            value += value.isEmpty() ? line : QByteArray(" ") + line;
    }
    const QByteArray secret = vt3::signature::decodeExact(value, crypto_sign_SECRETKEYBYTES);
    if (secret.isEmpty() || !deriveFromSeed(secret.left(SecretSeedBytes), key) || key.secret != secret) {
        error = QStringLiteral("%1 is not a key file written by vt3-publish keygen").arg(path);
        return KeyStatus::Refused;
    }
    key.role = found;
    if (found != role) {
        error = role == KeyRole::Version
                    ? QStringLiteral("%1 is a release key; answers are signed with a version key "
                                     "(vt3-publish keygen --role version)")
                          .arg(path)
                    : QStringLiteral("%1 is a version key; releases are signed with a release key").arg(path);
        return KeyStatus::Refused;
    }
    return KeyStatus::Ok;
}

} // namespace vt3publish
