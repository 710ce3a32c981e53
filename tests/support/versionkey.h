#ifndef VERSIONKEY_H
#define VERSIONKEY_H

#include "replysignature.h"
#include "signature.h"

#include <QByteArray>
#include <QString>

#include <sodium.h>

namespace vt3test {

// A version key made from a fixed seed, signing answers the way the
// version server does.
struct VersionKey
{
    QByteArray publicKey;
    QByteArray secret;

    explicit VersionKey(char seedByte)
        : publicKey(crypto_sign_PUBLICKEYBYTES, '\0')
        , secret(crypto_sign_SECRETKEYBYTES, '\0')
    {
        const QByteArray seed(crypto_sign_SEEDBYTES, seedByte);
        if (sodium_init() < 0)
            qFatal("libsodium does not start");
        crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                                 reinterpret_cast<unsigned char *>(secret.data()),
                                 reinterpret_cast<const unsigned char *>(seed.constData()));
    }

    // The line trusted-keys.txt takes for it.
    QByteArray trustedLine() const { return vt3::signature::VersionRole + ' ' + publicKey.toBase64() + '\n'; }

    QByteArray signature(const QString &record, qint64 time) const
    {
        const QByteArray message = vt3::replysignature::signedMessage(record, time);
        QByteArray signature(crypto_sign_BYTES, '\0');
        crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(message.constData()),
                             static_cast<unsigned long long>(message.size()),
                             reinterpret_cast<const unsigned char *>(secret.constData()));
        return signature;
    }

    // The datagram of a signed answer.
    QByteArray answer(const QString &record, qint64 time) const
    {
        return vt3::replysignature::compose(record, time, signature(record, time));
    }
};

} // namespace vt3test

#endif // VERSIONKEY_H
