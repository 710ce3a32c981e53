#ifndef MANIFESTPARSE_H
#define MANIFESTPARSE_H

#include <QMap>
#include <QString>
#include <QVector>

namespace vt3 {

// What a manifest says, read without touching any run: the two file
// groups, their byte total and the delete group, each with a verdict.
struct ManifestLists
{
    // False when any file entry is unusable (see format::isUsableEntry) or
    // the entries' names collide (format::namesAreDistinct).
    // The lists below are then incomplete and must not be used.
    bool filesUsable = true;
    // group -> keys in the order QSettings lists them, with "/" between
    // directories; both groups present.
    QMap<QString, QVector<QString>> queue;
    // key -> descriptor; a key in both groups keeps the one read last.
    QMap<QString, QString> files;
    // Sum of the size fields, a key in both groups counted twice.
    qint64 bytes = 0;
    // False when a path to delete leaves the application directory.
    bool removalsUsable = true;
    QMap<QString, int> removals;
    // key -> lower-case hex SHA-256 of the served file, from the optional
    // [sha256] group; empty when the manifest has none.
    QMap<QString, QString> sha256;
    // True when the manifest carries [format] unpacked=md5 and every file
    // entry's unpacked size and MD5 are well formed (format::unpackedOf):
    // only then may an installed file that matches them stay as it is.
    bool unpackedKnown = false;
};

// Reads the manifest at `path` (INI, as QSettings reads it) with the file
// groups "common_client" and "bin_<platform>", in that order, and "delete".
ManifestLists parseManifest(const QString &path, const QString &platform);

} // namespace vt3

#endif // MANIFESTPARSE_H
