#ifndef RELEASEFORMAT_H
#define RELEASEFORMAT_H

#include <QLatin1String>
#include <QMap>
#include <QString>
#include <QStringList>

// Everything the updater, the publishing tool and the tests know about how a
// release is laid out on the mirrors and described in its manifest.
namespace vt3::format {

// The platform tag the updater is built for; it names the manifest and the
// platform's file group.
const QLatin1String Platform("win32");

// Groups of the manifest. The two file groups are read in this order.
const QLatin1String CommonGroup("common_client");
const QLatin1String DeleteGroup("delete");
QString platformGroup(const QString &platform);
QStringList fileGroups(const QString &platform);

// "client_<platform>.ini", at the top of a release's folder on the mirror.
QString manifestName(const QString &platform);

// Added beside the format by newer publishers; updaters that do not know
// them ignore them. A [sha256] group holds the SHA-256 of each served file
// by key; a [format] group with unpacked=md5 says that fields 2 and 3 are
// the unpacked size and MD5; the signature of the manifest lies beside it.
const QLatin1String Sha256Group("sha256");
const QLatin1String FormatGroup("format");
const QLatin1String UnpackedKey("unpacked");
const QLatin1String UnpackedMd5Value("md5");
QString signatureName(const QString &platform);

// No release file of ours unpacks to more than this; a header announcing more
// is taken as hostile and refused before anything is allocated or written.
constexpr qint64 MaxUnpackedLength = qint64(1) << 30;
// The largest size field a manifest may carry: an unpacked file at the limit
// plus what compression may add to data it cannot shrink (zlib grows such
// data by well under 0.1 %) and the block header.
constexpr qint64 MaxServedSize = MaxUnpackedLength + (MaxUnpackedLength >> 10);

// A descriptor, the value of a file entry: "md5::size::unpacked
// size::unpacked md5::install name". Empty fields count, so positions never
// shift.
struct Descriptor
{
    static constexpr int Md5Field = 0;
    static constexpr int SizeField = 1;
    static constexpr int UnpackedSizeField = 2;
    static constexpr int UnpackedMd5Field = 3;
    static constexpr int InstallNameField = 4;
    static constexpr int FieldCount = 5;

    QString md5;
    QString size;
    QString unpackedSize;
    QString unpackedMd5;
    QString installName;

    // False when the text has fewer than five fields; the fields present are
    // taken all the same.
    static bool split(const QString &text, Descriptor &out);
    QString join() const;
};
const QLatin1String FieldSeparator("::");

// A size field read once, as 64 bits.
enum class SizeStatus { Ok, NotANumber, Negative, TooLarge };
struct Size
{
    qint64 bytes = 0;
    SizeStatus status = SizeStatus::NotANumber;
};
Size parseSize(const QString &text);
// The bytes a size field stands for: text that is not a number counts as 0,
// as it always has; negative and oversized fields also give 0, though the
// manifest check refuses them before anything uses them.
qint64 sizeBytes(const QString &text);

// Fields 2 and 3 of a descriptor, the unpacked size and MD5, when both are
// well formed: a size parseSize takes as Ok and 32 hex digits of either
// case. Only a manifest marked with [format] unpacked=md5 vouches for them.
bool unpackedOf(const QString &descriptor, qint64 &size, QString &md5);

// Keys and install names come from manifests written on Windows, where "\"
// separates directories; this is the one form they are compared and used in.
QString normalPath(const QString &path);
// How Windows compares names: letter case does not count.
QString foldedPath(const QString &path);

// A file entry the updater can use whole: five fields, a size that is a
// number within the format's range or, as the format has always allowed,
// no number at all (0 bytes), and key and install name that stay inside
// their directories.
bool isUsableEntry(const QString &key, const QString &descriptor);

// The files of one release share the work directory and, on Windows, a
// file system that ignores letter case: two keys, two install names, or an
// install name and another entry's key that differ only in case, or an
// install name that is another entry's key, would overwrite each other.
// Equal install names are one file. `files` maps key to descriptor.
bool namesAreDistinct(const QMap<QString, QString> &files);

// Names Windows gives to devices in every directory, with or without an
// extension ("nul.txt" is the null device too).
bool isReservedName(const QString &segment);

} // namespace vt3::format

#endif // RELEASEFORMAT_H
