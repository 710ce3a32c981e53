#include "releasesigner.h"

#include "releaseformat.h"
#include "signature.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>

namespace vt3publish {

namespace {
const QString ManifestName = vt3::format::manifestName(vt3::format::Platform);
} // namespace

KeyStatus readSigningKeys(const QStringList &paths, QVector<SigningKey> &keys, QString &error)
{
    for (const QString &path : paths) {
        SigningKey key;
        const KeyStatus status = readSigningKey(path, KeyRole::Release, key, error);
        if (status != KeyStatus::Ok)
            return status;
        keys << key;
    }
    return KeyStatus::Ok;
}

KeyStatus signRelease(const QString &releaseDir, quint64 releaseId, const QVector<SigningKey> &keys, int &count,
                      QString &error)
{
    const QDir dir(releaseDir);
    QFile manifest(dir.filePath(ManifestName));
    if (!manifest.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(manifest.fileName(), manifest.errorString());
        return KeyStatus::Refused;
    }
    const QByteArray message = vt3::signature::signedMessage(releaseId, manifest.readAll());

    QVector<vt3::signature::Entry> entries;
    QFile existing(dir.filePath(SignatureFileName));
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read %1: %2").arg(existing.fileName(), existing.errorString());
            return KeyStatus::Failed;
        }
        const vt3::signature::SignatureFile read = vt3::signature::parseSignatureFile(existing.readAll());
        // Windows refuses to replace a file that is still open.
        existing.close();
        if (!read.usable) {
            error = QStringLiteral("%1 is not a signature file; it is left as it is").arg(existing.fileName());
            return KeyStatus::Refused;
        }
        entries = read.entries;
    }
    for (const SigningKey &key : keys) {
        const vt3::signature::Entry signature{key.keyId(), key.sign(message)};
        auto same = std::find_if(entries.begin(), entries.end(),
                                 [&](const vt3::signature::Entry &e) { return e.keyId == signature.keyId; });
        if (same != entries.end())
            *same = signature;
        else
            entries << signature;
    }
    if (entries.size() > vt3::signature::MaxSignatures) {
        error = QStringLiteral("a release carries at most %1 signatures").arg(vt3::signature::MaxSignatures);
        return KeyStatus::Refused;
    }

    QSaveFile out(dir.filePath(SignatureFileName));
    const QByteArray text = vt3::signature::formatSignatureFile(entries);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString());
        return KeyStatus::Failed;
    }
    count = entries.size();
    return KeyStatus::Ok;
}

} // namespace vt3publish
