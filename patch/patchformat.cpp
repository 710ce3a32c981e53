#include "patchformat.h"

#include "pathsafety.h"
#include "releaseformat.h"

#include <QHash>
#include <QSettings>

#include <algorithm>

namespace vt3::patch {

namespace {

namespace format = vt3::format;

constexpr int Md5Digits = 32;
constexpr int Sha256Digits = 64;

// Lower case only: the updater compares digests as text.
bool isHex(const QString &text, int digits)
{
    return text.size() == digits && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
               return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                      (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
           });
}

struct FileEntry
{
    QString group;
    QString descriptor;
};

// Keyed like the updater keys them; a key in both groups keeps the group
// read last, as the updater's own reading does.
QHash<QString, FileEntry> fileEntries(QSettings &manifest, const QString &platform)
{
    QHash<QString, FileEntry> files;
    for (const QString &group : format::fileGroups(platform)) {
        manifest.beginGroup(group);
        const QStringList keys = manifest.allKeys();
        for (const QString &key : keys)
            files.insert(format::normalPath(key), FileEntry{group, manifest.value(key).toString()});
        manifest.endGroup();
    }
    return files;
}

Verdict judge(ListedPatch &patch, const QString &text, const QHash<QString, FileEntry> &files)
{
    Entry &entry = patch.entry;
    if (!Entry::split(text, entry))
        return Verdict::TooFewFields;
    const format::Size patchSize = format::parseSize(entry.patchSize);
    // Even a patch that gives an empty file holds a frame header.
    if (patchSize.status != format::SizeStatus::Ok || patchSize.bytes == 0)
        return Verdict::BadPatchSize;
    patch.patchBytes = patchSize.bytes;
    const format::Size baseSize = format::parseSize(entry.baseSize);
    if (baseSize.status != format::SizeStatus::Ok || baseSize.bytes > format::MaxUnpackedLength)
        return Verdict::BadBaseSize;
    patch.baseBytes = baseSize.bytes;
    if (!isHex(entry.patchMd5, Md5Digits) || !isHex(entry.baseMd5, Md5Digits) ||
        !isHex(entry.patchSha256, Sha256Digits) || !isHex(entry.baseSha256, Sha256Digits))
        return Verdict::BadDigest;
    if (!vt3::isSafeRelativePath(patch.key) || !vt3::isSafeRelativePath(entry.fileKey))
        return Verdict::UnsafeKey;
    const QString fileKey = format::normalPath(entry.fileKey);
    if (patch.key != patchKey(fileKey, entry.baseMd5))
        return Verdict::KeyMismatch;
    const auto file = files.constFind(fileKey);
    if (file == files.cend())
        return Verdict::UnknownFile;
    patch.group = file->group;
    if (!format::unpackedOf(file->descriptor, patch.resultBytes, patch.resultMd5))
        return Verdict::FileUnchecked;
    return Verdict::Ok;
}

} // namespace

QString patchKey(const QString &fileKey, const QString &baseMd5)
{
    return fileKey + QLatin1Char('.') + baseMd5 + PatchSuffix;
}

bool Entry::split(const QString &text, Entry &out)
{
    const QStringList fields = text.split(format::FieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
    out.patchMd5 = fields.value(PatchMd5Field);
    out.patchSize = fields.value(PatchSizeField);
    out.baseSize = fields.value(BaseSizeField);
    out.baseMd5 = fields.value(BaseMd5Field);
    out.fileKey = fields.value(FileKeyField);
    out.patchSha256 = fields.value(PatchSha256Field);
    out.baseSha256 = fields.value(BaseSha256Field);
    return fields.size() >= FieldCount;
}

QString Entry::join() const
{
    return QStringList{patchMd5, patchSize, baseSize, baseMd5, fileKey, patchSha256, baseSha256}.join(
        format::FieldSeparator);
}

QString verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ok:
        return QStringLiteral("usable");
    case Verdict::TooFewFields:
        return QStringLiteral("has fewer than seven fields");
    case Verdict::BadPatchSize:
        return QStringLiteral("has a patch size that is not a number between 1 and the largest served file");
    case Verdict::BadBaseSize:
        return QStringLiteral("has a base size that is not a number up to the largest unpacked file");
    case Verdict::BadDigest:
        return QStringLiteral("has a digest that is not lower-case hex of the right length");
    case Verdict::UnsafeKey:
        return QStringLiteral("names a path outside the release");
    case Verdict::KeyMismatch:
        return QStringLiteral("has a key that does not match its file key and base MD5");
    case Verdict::UnknownFile:
        return QStringLiteral("patches a file the release does not list");
    case Verdict::FileUnchecked:
        return QStringLiteral("patches a file whose entry has no unpacked size and MD5");
    }
    return QString();
}

QVector<ListedPatch> readPatches(QSettings &manifest, const QString &platform)
{
    const QHash<QString, FileEntry> files = fileEntries(manifest, platform);
    QVector<ListedPatch> patches;
    manifest.beginGroup(PatchesGroup);
    const QStringList keys = manifest.allKeys();
    for (const QString &key : keys) {
        ListedPatch patch;
        patch.key = format::normalPath(key);
        // The file key is looked up as written: the file groups of a
        // manifest the updater accepts have no two keys that differ only in
        // case, so neither can two usable patch keys.
        patch.verdict = judge(patch, manifest.value(key).toString(), files);
        patches.append(patch);
    }
    manifest.endGroup();
    return patches;
}

QVector<ListedPatch> readPatches(const QString &manifestPath, const QString &platform)
{
    QSettings manifest(manifestPath, QSettings::IniFormat);
    return readPatches(manifest, platform);
}

} // namespace vt3::patch
