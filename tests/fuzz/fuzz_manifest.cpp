// Arbitrary bytes as client_win32.ini, read as the manifest processing
// reads it.
#include "manifestparse.h"
#include "pathsafety.h"
#include "releaseformat.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace format = vt3::format;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static quint64 serial = 0;
    // QSettings caches parsed files by name; a fresh name per input.
    const QString path =
        dir.path() + QLatin1Char('/') + QString::number(++serial) + format::manifestName(format::Platform);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            __builtin_trap();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }

    const vt3::ManifestLists read = vt3::parseManifest(path, format::Platform);
    QFile::remove(path);
    if (!read.filesUsable)
        return 0;

    // What a run goes on to fetch, write and delete stays inside its
    // directories, and every entry has the fields the later steps read.
    if (read.bytes < 0 || read.queue.size() != 2)
        __builtin_trap();
    QSet<QString> queued;
    for (const QVector<QString> &keys : read.queue)
        for (const QString &key : keys)
            queued.insert(key);
    if (queued.size() != read.files.size())
        __builtin_trap();
    // Keys come out in the one form they are compared in, sizes within the
    // format's range, and no two names collide on a case-blind file system.
    if (!format::namesAreDistinct(read.files))
        __builtin_trap();
    for (auto it = read.files.cbegin(); it != read.files.cend(); ++it) {
        format::Descriptor fields;
        const bool complete = format::Descriptor::split(it.value(), fields);
        const format::SizeStatus sizeStatus = format::parseSize(fields.size).status;
        if (!queued.contains(it.key()) || !vt3::isSafeRelativePath(it.key()) || !complete ||
            !vt3::isSafeRelativePath(fields.installName) || it.key() != format::normalPath(it.key()) ||
            sizeStatus == format::SizeStatus::Negative || sizeStatus == format::SizeStatus::TooLarge)
            __builtin_trap();
    }
    if (read.removalsUsable)
        for (auto it = read.removals.cbegin(); it != read.removals.cend(); ++it)
            if (!vt3::isSafeRelativePath(it.key()))
                __builtin_trap();
    return 0;
}
