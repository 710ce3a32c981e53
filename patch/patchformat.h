#ifndef PATCHFORMAT_H
#define PATCHFORMAT_H

#include <QLatin1String>
#include <QString>
#include <QVector>

class QSettings;

// How binary patches against earlier releases lie on the mirrors and how the
// manifest lists them. A patch is one zstd frame, content checksum on, that
// gives a file's unpacked bytes when it is decompressed with the unpacked
// earlier file ("base") as raw-content prefix. It lies beside the full file:
// "<release id>/<group>/<file key>.<base unpacked md5>.zpatch".
namespace vt3::patch {

// Updaters that do not know patches read only the file groups and never see
// this one; the signature covers it with the rest of the manifest.
const QLatin1String PatchesGroup("patches");
const QLatin1String PatchSuffix(".zpatch");

// "<file key>.<base unpacked md5>.zpatch", with "/" between directories.
QString patchKey(const QString &fileKey, const QString &baseMd5);

// The value of a [patches] entry: "patch md5::patch size::base unpacked
// size::base unpacked md5::file key::patch sha256::base unpacked sha256",
// hex digits in lower case.
struct Entry
{
    static constexpr int PatchMd5Field = 0;
    static constexpr int PatchSizeField = 1;
    static constexpr int BaseSizeField = 2;
    static constexpr int BaseMd5Field = 3;
    static constexpr int FileKeyField = 4;
    static constexpr int PatchSha256Field = 5;
    static constexpr int BaseSha256Field = 6;
    static constexpr int FieldCount = 7;

    QString patchMd5;
    QString patchSize;
    QString baseSize;
    QString baseMd5;
    QString fileKey;
    QString patchSha256;
    QString baseSha256;

    // False when the text has fewer than seven fields. Like file
    // descriptors, fields a later publisher appends are ignored.
    static bool split(const QString &text, Entry &out);
    QString join() const;
};

enum class Verdict {
    Ok,
    TooFewFields,
    BadPatchSize,  // not a number, 0, or more than a served file may have
    BadBaseSize,   // not a number or more than an unpacked file may have
    BadDigest,     // an MD5 that is not 32 lower-case hex digits, a SHA-256 not 64
    UnsafeKey,     // the key or the file key leaves its directory
    KeyMismatch,   // the key is not patchKey(file key, base md5)
    UnknownFile,   // no file entry of the release has that key
    FileUnchecked, // the file's entry carries no unpacked size and MD5 to check the result against
};
QString verdictText(Verdict verdict);

struct ListedPatch
{
    // As the manifest writes it, with "/" between directories.
    QString key;
    Entry entry;
    // The file group the file key was found in, which is also the folder
    // the patch lies in; empty when it was found in none.
    QString group;
    qint64 patchBytes = 0;
    qint64 baseBytes = 0;
    // The file's own unpacked size and MD5 from its entry: what applying
    // the patch must give.
    qint64 resultBytes = 0;
    QString resultMd5;
    Verdict verdict = Verdict::Ok;
};

// Every entry of the [patches] group of a manifest, in the order QSettings
// lists them, each with its verdict. Only entries whose verdict is Ok may
// be used; a bad entry says nothing about the others or about the files.
QVector<ListedPatch> readPatches(QSettings &manifest, const QString &platform);
QVector<ListedPatch> readPatches(const QString &manifestPath, const QString &platform);

} // namespace vt3::patch

#endif // PATCHFORMAT_H
