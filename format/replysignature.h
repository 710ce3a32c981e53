#ifndef REPLYSIGNATURE_H
#define REPLYSIGNATURE_H

#include <QByteArray>
#include <QString>

// The signed form of a version reply. The version server appends the time
// it answered and an Ed25519 signature after the record's first ",", where
// every reader of the record stops: an updater that trusts no version key
// reads the same record as before.
//
//   <release id>#<version>,t=<unix seconds>;sig=<base64 signature>
//
// What is signed is "<release id>#<version>;t=<unix seconds>": the record
// and the time together, so that neither can be swapped for another's.
namespace vt3::replysignature {

// The bytes the version key signs.
QByteArray signedMessage(const QString &record, qint64 time);

// The reply text the version server sends.
QByteArray compose(const QString &record, qint64 time, const QByteArray &signature);

struct SignedReply
{
    // The text before the first ",", as every reader takes it.
    QString record;
    // False when there is no "t=" that is a plain decimal number.
    bool hasTime = false;
    qint64 time = 0;
    // Decoded; empty when missing or not base64 of a signature's length.
    QByteArray signature;
};

SignedReply parse(const QString &reply);

} // namespace vt3::replysignature

#endif // REPLYSIGNATURE_H
