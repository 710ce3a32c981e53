#include "patchmaker.h"

#include "binarypatch.h"
#include "packfile.h"
#include "releaseformat.h"
#include "streamdigest.h"
#include "unpack.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>

namespace vt3publish {

namespace {

namespace format = vt3::format;
namespace patch = vt3::patch;

bool digestFile(const QString &path, QString &md5, QString &sha256, qint64 &size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    vt3::StreamDigest digest;
    if (!digest.addFile(file))
        return false;
    md5 = digest.md5Hex();
    sha256 = digest.sha256Hex();
    size = digest.length();
    return true;
}

} // namespace

PatchMaker::PatchMaker(const QStringList &previousDirs, const QString &scratchDir)
    : previousDirs(previousDirs)
    , scratchDir(scratchDir)
{
}

bool PatchMaker::load(QString &error)
{
    const QString manifestName = format::manifestName(format::Platform);
    for (const QString &dir : qAsConst(previousDirs)) {
        if (!QFileInfo(dir).isDir()) {
            error = QStringLiteral("earlier release %1 is not a folder").arg(dir);
            return false;
        }
        Earlier release;
        release.dir = QFileInfo(dir).absoluteFilePath();
        const QString manifestPath = release.dir + QLatin1Char('/') + manifestName;
        release.published = QFileInfo::exists(manifestPath);
        if (release.published) {
            QSettings manifest(manifestPath, QSettings::IniFormat);
            if (manifest.status() != QSettings::NoError) {
                error = QStringLiteral("cannot read %1").arg(manifestPath);
                return false;
            }
            // Without the marker the third and fourth fields may be anything.
            const bool vouched =
                manifest.value(format::FormatGroup + QLatin1Char('/') + format::UnpackedKey).toString() ==
                format::UnpackedMd5Value;
            for (const QString &group : format::fileGroups(format::Platform)) {
                manifest.beginGroup(group);
                const QStringList keys = manifest.allKeys();
                for (const QString &key : keys) {
                    const QString descriptor = manifest.value(key).toString();
                    if (!format::isUsableEntry(key, descriptor)) {
                        error = QStringLiteral("%1 lists %2, which the updater would refuse").arg(manifestPath, key);
                        return false;
                    }
                    format::Descriptor fields;
                    format::Descriptor::split(descriptor, fields);
                    qint64 size = 0;
                    QString md5;
                    if (!vouched || !format::unpackedOf(descriptor, size, md5))
                        md5.clear();
                    release.files.insert(
                        format::foldedPath(fields.installName),
                        {release.dir + QLatin1Char('/') + group + QLatin1Char('/') + format::normalPath(key),
                         md5.toLower()});
                }
                manifest.endGroup();
            }
        }
        earlier << release;
    }
    return true;
}

bool PatchMaker::baseFrom(const Earlier &release, const QString &installName, const QSet<QString> &skipMd5, Base &base,
                          bool &found, QString &error)
{
    found = false;
    if (!release.published) {
        base.path = release.dir + QLatin1Char('/') + installName;
        const QFileInfo info(base.path);
        if (!info.isFile())
            return true;
        // No patch can announce a base the updater would never unpack.
        if (info.size() > format::MaxUnpackedLength)
            return true;
        if (!digestFile(base.path, base.md5, base.sha256, base.size)) {
            error = QStringLiteral("cannot read the earlier file %1").arg(base.path);
            return false;
        }
        found = true;
        return true;
    }
    const auto entry = release.files.constFind(format::foldedPath(installName));
    if (entry == release.files.cend())
        return true;
    const QString packedPath = entry->first;
    const QString vouchedMd5 = entry->second;
    // Its manifest already says it is the new content, or one a patch
    // has been made from: nothing to unpack.
    if (!vouchedMd5.isEmpty() && skipMd5.contains(vouchedMd5))
        return true;
    QFile in(packedPath);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the earlier file %1: %2").arg(packedPath, in.errorString());
        return false;
    }
    base.path = scratchDir + QStringLiteral("/base-") + QString::number(++scratchSerial);
    QFile out(base.path);
    if (!out.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write %1: %2").arg(base.path, out.errorString());
        return false;
    }
    const vt3::UnpackResult unpacked = vt3::unpackStream(in, out, format::MaxUnpackedLength);
    out.close();
    if (unpacked != vt3::UnpackResult::Ok) {
        QFile::remove(base.path);
        error = unpacked == vt3::UnpackResult::WriteFailed
                    ? QStringLiteral("cannot write %1").arg(base.path)
                    : QStringLiteral("cannot unpack the earlier file %1: it is damaged").arg(packedPath);
        return false;
    }
    if (!digestFile(base.path, base.md5, base.sha256, base.size) || (!vouchedMd5.isEmpty() && base.md5 != vouchedMd5)) {
        QFile::remove(base.path);
        error = QStringLiteral("the earlier file %1 does not unpack to what its manifest says").arg(packedPath);
        return false;
    }
    found = true;
    return true;
}

bool PatchMaker::patchFile(const QString &installName, const QString &sourcePath, const QString &fileKey,
                           const PackedFile &packed, const QString &groupDir, QVector<WrittenPatch> &written,
                           bool &refused, QString &error)
{
    refused = false;
    // The new content itself needs no patch; each other content needs one.
    QSet<QString> done{QString::fromLatin1(packed.unpackedMd5)};
    for (const Earlier &release : qAsConst(earlier)) {
        Base base;
        bool found = false;
        if (!baseFrom(release, installName, done, base, found, error)) {
            refused = true;
            return false;
        }
        if (!found)
            continue;
        // Unpacked bases are ours to remove; installed ones are not.
        const auto dropScratch = [&] {
            if (release.published)
                QFile::remove(base.path);
        };
        if (done.contains(base.md5)) {
            dropScratch();
            continue;
        }
        done.insert(base.md5);
        // Kept only when it is cheaper to fetch than the full file.
        const patch::MadePatch made = patch::makePatch(base.path, sourcePath, packed.size - 1);
        dropScratch();
        if (made.status == patch::MakeStatus::Failed) {
            error = made.error;
            return false;
        }
        if (made.status == patch::MakeStatus::NotSmaller) {
            ++discarded;
            continue;
        }
        WrittenPatch patchFile;
        patchFile.key = patch::patchKey(fileKey, base.md5);
        patchFile.fullBytes = packed.size;
        patch::Entry &entry = patchFile.entry;
        entry.patchMd5 = QString::fromLatin1(QCryptographicHash::hash(made.bytes, QCryptographicHash::Md5).toHex());
        entry.patchSize = QString::number(made.bytes.size());
        entry.baseSize = QString::number(base.size);
        entry.baseMd5 = base.md5;
        entry.fileKey = fileKey;
        entry.patchSha256 =
            QString::fromLatin1(QCryptographicHash::hash(made.bytes, QCryptographicHash::Sha256).toHex());
        entry.baseSha256 = base.sha256;
        QFile out(groupDir + QLatin1Char('/') + patchFile.key);
        if (!QDir().mkpath(QFileInfo(out).absolutePath()) || !out.open(QIODevice::WriteOnly) ||
            out.write(made.bytes) != made.bytes.size() || !out.flush()) {
            error = QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString());
            return false;
        }
        written << patchFile;
    }
    return true;
}

} // namespace vt3publish
