// Arbitrary bytes as a manifest's [patches] group, and as a patch applied
// to a small fixed base: neither may crash, allocate beyond the sizes
// announced, or leave a result that is not what it claims to be.
#include "binarypatch.h"
#include "patchformat.h"
#include "pathsafety.h"
#include "releaseformat.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

namespace format = vt3::format;
namespace patch = vt3::patch;

// The seed corpus holds a patch from this base to an 8 KiB result.
constexpr qint64 ResultBytes = 8192;

QByteArray baseBytes()
{
    QByteArray base(4096, '\0');
    for (int i = 0; i < base.size(); ++i)
        base[i] = char((i * 131 + (i >> 8)) & 0xff);
    return base;
}

bool writeAll(const QString &path, const uint8_t *data, size_t size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size);
}

void checkManifest(const QString &path)
{
    const QVector<patch::ListedPatch> listed = patch::readPatches(path, format::Platform);
    for (const patch::ListedPatch &entry : listed) {
        if (entry.verdict != patch::Verdict::Ok)
            continue;
        // What a run would fetch and how much it would allow for it.
        if (entry.group.isEmpty() || !vt3::isSafeRelativePath(entry.key) || entry.patchBytes <= 0 ||
            entry.patchBytes > format::MaxServedSize || entry.baseBytes < 0 ||
            entry.baseBytes > format::MaxUnpackedLength || entry.resultBytes > format::MaxServedSize ||
            entry.key != patch::patchKey(format::normalPath(entry.entry.fileKey), entry.entry.baseMd5))
            __builtin_trap();
    }
}

void checkApply(const QString &dir, const QString &basePath)
{
    const QString out = dir + QStringLiteral("/out");
    patch::ApplyLimits limits;
    limits.baseBytes = 4096;
    const patch::AppliedPatch applied =
        patch::applyPatch(basePath, dir + QStringLiteral("/patch"), out, ResultBytes, limits);
    if (!applied.ok) {
        if (applied.error.isEmpty() || QFileInfo::exists(out))
            __builtin_trap();
        return;
    }
    QFile result(out);
    if (!result.open(QIODevice::ReadOnly))
        __builtin_trap();
    const QByteArray bytes = result.readAll();
    if (bytes.size() != ResultBytes || applied.bytes != ResultBytes ||
        QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex() != applied.md5)
        __builtin_trap();
    result.close();
    QFile::remove(out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const QString basePath = [] {
        const QString path = dir.path() + QStringLiteral("/base");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(baseBytes()) != 4096)
            __builtin_trap();
        return path;
    }();
    static quint64 serial = 0;
    // QSettings caches parsed files by name; a fresh name per input.
    const QString manifest = dir.path() + QLatin1Char('/') + QString::number(++serial) + QStringLiteral(".ini");
    if (!writeAll(manifest, data, size) || !writeAll(dir.path() + QStringLiteral("/patch"), data, size))
        __builtin_trap();
    checkManifest(manifest);
    QFile::remove(manifest);
    checkApply(dir.path(), basePath);
    return 0;
}
