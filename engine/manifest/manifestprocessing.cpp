#include "updateengine.h"

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

void vt3::UpdateEngine::processIni()
{
    if (outputFile.isOpen())
        outputFile.close();
    if (configReply) {
        configReply->deleteLater();
        configReply = nullptr;
    }

    const vt3::ManifestLists read = vt3::parseManifest(tempDir.path() + QLatin1Char('/') + configFile, platform);
    const QString notCorrect = tr("<font color=red>%1 not correct.</font>").arg(configFile);

    if (!read.filesUsable) {
        message(notCorrect);
        stop(RunStop::Failed);
        return;
    }

    const auto takeFileGroups = [&] {
        for (auto it = read.queue.cbegin(); it != read.queue.cend(); ++it)
            downloadQueue.insert(it.key(), it.value());
        for (auto it = read.files.cbegin(); it != read.files.cend(); ++it)
            releaseFiles.insert(it.key(), it.value());
        for (auto it = read.sha256.cbegin(); it != read.sha256.cend(); ++it)
            releaseDigests.insert(it.key(), it.value());
        progress.addToTotal(read.bytes);
    };

    // A manifest that announces nothing is refused after its lists are
    // taken; its delete group is not used.
    if (progress.total() + read.bytes == 0) {
        takeFileGroups();
        message(notCorrect);
        stop(RunStop::Failed);
        return;
    }

    if (!read.removalsUsable) {
        message(notCorrect);
        stop(RunStop::Failed);
        return;
    }
    takeFileGroups();
    for (auto it = read.removals.cbegin(); it != read.removals.cend(); ++it)
        deleteList.insert(it.key(), it.value());

    // Only a manifest that vouches for the unpacked fields lets installed
    // files be compared with them, and a patch's result be checked; hashing
    // them is left to a worker thread.
    listedPatches.clear();
    if (read.unpackedKnown)
        listedPatches = vt3::patch::readPatches(tempDir.path() + QLatin1Char('/') + configFile, platform);
    plan = vt3::ReleasePlan::make(downloadQueue, releaseFiles, releaseDigests, tempDir.path(), configFile);
    if (read.unpackedKnown)
        startUpToDateCheck(read.files);
    else
        startTransfers();
}
