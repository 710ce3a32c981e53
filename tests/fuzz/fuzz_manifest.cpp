// Arbitrary bytes as client_win32.ini, read as the manifest processing
// reads it.
#include "manifestparse.h"
#include "pathsafety.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {
constexpr int DescriptorFields = 5;
constexpr int InstallNameField = 4;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static quint64 serial = 0;
    // QSettings caches parsed files by name; a fresh name per input.
    const QString path = dir.path() + QStringLiteral("/client_win32-%1.ini").arg(++serial);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            __builtin_trap();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }

    const vt3::ManifestLists read = vt3::parseManifest(path, QStringLiteral("win32"));
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
    for (auto it = read.files.cbegin(); it != read.files.cend(); ++it) {
        const QStringList fields = it.value().split(QLatin1String("::"), Qt::KeepEmptyParts);
        if (!queued.contains(it.key()) || !vt3::isSafeRelativePath(it.key()) || fields.size() < DescriptorFields ||
            !vt3::isSafeRelativePath(fields.at(InstallNameField)))
            __builtin_trap();
    }
    if (read.removalsUsable)
        for (auto it = read.removals.cbegin(); it != read.removals.cend(); ++it)
            if (!vt3::isSafeRelativePath(it.key()))
                __builtin_trap();
    return 0;
}
