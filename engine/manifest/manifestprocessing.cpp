#include "manifestparse.h"
#include "pathsafety.h"
#include "releaseformat.h"

#include <QSettings>

namespace {

namespace format = vt3::format;

// unpackedWellFormed comes out false when any entry's unpacked fields are
// malformed: one such entry makes the publisher's claim doubtful for all.
void readFileGroups(QSettings &manifest, const QStringList &groups, vt3::ManifestLists &read, bool &unpackedWellFormed)
{
    unpackedWellFormed = true;
    for (const QString &group : groups) {
        manifest.beginGroup(group);
        QVector<QString> keys;
        const QStringList entries = manifest.allKeys();
        for (const QString &entry : entries) {
            const QString descriptor = manifest.value(entry).toString();
            // Anything unusable makes the whole manifest unusable, so
            // nothing of it is ever fetched, written or deleted.
            if (!format::isUsableEntry(entry, descriptor)) {
                read.filesUsable = false;
                manifest.endGroup();
                return;
            }
            format::Descriptor fields;
            format::Descriptor::split(descriptor, fields);
            qint64 unpackedSize = 0;
            QString unpackedMd5;
            unpackedWellFormed = unpackedWellFormed && format::unpackedOf(descriptor, unpackedSize, unpackedMd5);
            read.bytes += format::sizeBytes(fields.size);
            const QString key = format::normalPath(entry);
            keys.append(key);
            // A key in both groups keeps the descriptor read last.
            read.files.insert(key, descriptor);
        }
        read.queue.insert(group, keys);
        manifest.endGroup();
    }
    if (!format::namesAreDistinct(read.files))
        read.filesUsable = false;
}

// False when a path to delete points outside the application directory.
bool readDeleteGroup(QSettings &manifest, QMap<QString, int> &removals)
{
    manifest.beginGroup(format::DeleteGroup);
    const QStringList paths = manifest.allKeys();
    for (const QString &path : paths) {
        if (!vt3::isSafeRelativePath(path)) {
            manifest.endGroup();
            return false;
        }
        removals.insert(path, manifest.value(path).toInt());
    }
    manifest.endGroup();
    return true;
}

} // namespace

namespace vt3 {

ManifestLists parseManifest(const QString &path, const QString &platform)
{
    QSettings manifest(path, QSettings::IniFormat);
    ManifestLists read;
    bool unpackedWellFormed = false;
    readFileGroups(manifest, format::fileGroups(platform), read, unpackedWellFormed);
    if (read.filesUsable)
        read.removalsUsable = readDeleteGroup(manifest, read.removals);
    manifest.beginGroup(format::Sha256Group);
    const QStringList digestKeys = manifest.allKeys();
    for (const QString &key : digestKeys)
        read.sha256.insert(key, manifest.value(key).toString());
    manifest.endGroup();
    const QString unpackedKey = format::FormatGroup + QLatin1Char('/') + format::UnpackedKey;
    read.unpackedKnown = unpackedWellFormed && manifest.value(unpackedKey).toString() == format::UnpackedMd5Value;
    return read;
}

} // namespace vt3
