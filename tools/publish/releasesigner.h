#ifndef RELEASESIGNER_H
#define RELEASESIGNER_H

#include "signingkey.h"

#include <QString>
#include <QVector>

namespace vt3publish {

const QString SignatureFileName = QStringLiteral("client_win32.ini.sig");

// Signs the manifest of the release in `releaseDir` (release id
// `releaseId`) with every key. Signatures already there stay, except one by
// the same key, which is replaced; the file is replaced in one rename, so a
// mirror never serves it half written. Sets `count` to the signatures the
// file holds afterwards.
KeyStatus signRelease(const QString &releaseDir, quint64 releaseId, const QVector<SigningKey> &keys, int &count,
                      QString &error);

// Reads each key file, stopping at the first that is refused or unreadable.
KeyStatus readSigningKeys(const QStringList &paths, QVector<SigningKey> &keys, QString &error);

} // namespace vt3publish

#endif // RELEASESIGNER_H
