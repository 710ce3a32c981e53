#include "binarypatch.h"

#include "releaseformat.h"

#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <memory>

// The stable output buffer is what lets the decoder write into the mapped
// result instead of a window buffer of its own; its parameter number is
// part of the stable interface, only its name is not.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace vt3::patch {

namespace {

// Large enough that reads do not dominate, small against the bound on the
// applier's memory.
constexpr qint64 ReadPiece = 256 * 1024;

struct CCtxFree
{
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree
{
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

QString zstdError(size_t code)
{
    return QString::fromLatin1(ZSTD_getErrorName(code));
}

// A whole file for reading, mapped when the system allows it; an empty
// file has no pages to map and is simply empty.
class InputFile
{
public:
    bool open(const QString &path, QString &error)
    {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        size = file.size();
        if (size > format::MaxUnpackedLength) {
            error = QStringLiteral("%1 has %2 bytes, more than a release file may have").arg(path).arg(size);
            return false;
        }
        if (size == 0)
            return true;
        data = file.map(0, size);
        if (!data) {
            error = QStringLiteral("cannot map %1: %2").arg(path, file.errorString());
            return false;
        }
        return true;
    }
    QFile file;
    uchar *data = nullptr;
    qint64 size = 0;
};

} // namespace

int windowLogFor(qint64 baseBytes, qint64 resultBytes)
{
    const qint64 span = baseBytes + resultBytes;
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < ZSTD_WINDOWLOG_MAX && (qint64(1) << log) < span)
        ++log;
    return log;
}

int levelFor(qint64 baseBytes)
{
    return baseBytes > LargeBaseBytes ? LargeBaseLevel : SmallBaseLevel;
}

MadePatch makePatch(const QString &basePath, const QString &newPath, qint64 maxBytes, int level)
{
    MadePatch made;
    InputFile base;
    InputFile next;
    if (!base.open(basePath, made.error) || !next.open(newPath, made.error))
        return made;
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) {
        made.error = QStringLiteral("cannot start the compressor");
        return made;
    }
    // Matches may reach from the end of the new file back to the start of
    // the base; long-distance matching finds the far ones the level's own
    // search would miss.
    const std::pair<ZSTD_cParameter, int> parameters[] = {
        {ZSTD_c_compressionLevel, level != 0 ? level : levelFor(base.size)},
        {ZSTD_c_windowLog, windowLogFor(base.size, next.size)},
        {ZSTD_c_enableLongDistanceMatching, 1},
        {ZSTD_c_checksumFlag, 1},
        {ZSTD_c_contentSizeFlag, 1},
    };
    for (const auto &parameter : parameters) {
        const size_t set = ZSTD_CCtx_setParameter(cctx.get(), parameter.first, parameter.second);
        if (ZSTD_isError(set)) {
            made.error = QStringLiteral("the compressor refuses a parameter: %1").arg(zstdError(set));
            return made;
        }
    }
    const size_t prefix = ZSTD_CCtx_refPrefix(cctx.get(), base.data, size_t(base.size));
    if (ZSTD_isError(prefix)) {
        made.error = QStringLiteral("the compressor refuses the base: %1").arg(zstdError(prefix));
        return made;
    }
    // Only the pages the patch fills are ever touched, so a generous
    // capacity costs address space, not memory.
    qint64 capacity = qint64(ZSTD_compressBound(size_t(next.size)));
    if (maxBytes >= 0 && maxBytes < capacity)
        capacity = maxBytes;
    made.bytes.resize(int(capacity));
    const size_t written =
        ZSTD_compress2(cctx.get(), made.bytes.data(), size_t(capacity), next.data, size_t(next.size));
    if (ZSTD_isError(written)) {
        made.bytes.clear();
        if (ZSTD_getErrorCode(written) == ZSTD_error_dstSize_tooSmall) {
            made.status = MakeStatus::NotSmaller;
            return made;
        }
        made.error = QStringLiteral("cannot compress %1: %2").arg(newPath, zstdError(written));
        return made;
    }
    made.bytes.resize(int(written));
    made.bytes.squeeze();
    made.status = MakeStatus::Made;
    return made;
}

namespace {

// The output file, sized up front and mapped, so the decoder writes into
// file-backed pages.
class OutputFile
{
public:
    explicit OutputFile(const QString &path)
        : file(path)
    {
    }
    ~OutputFile()
    {
        if (data)
            file.unmap(data);
    }
    bool open(qint64 size, QString &error)
    {
        if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
            error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
        if (size == 0)
            return true;
        if (!file.resize(size)) {
            error = QStringLiteral("cannot make %1 %2 bytes long: %3")
                        .arg(file.fileName())
                        .arg(size)
                        .arg(file.errorString());
            return false;
        }
#ifdef Q_OS_LINUX
        // A page written through the mapping onto a full disk kills the
        // process; claimed blocks make a full disk an error here instead.
        // File systems that cannot claim them are left to chance.
        const int claimed = ::posix_fallocate(file.handle(), 0, size);
        if (claimed != 0 && claimed != EOPNOTSUPP && claimed != EINVAL) {
            error = QStringLiteral("cannot claim %1 bytes for %2: %3")
                        .arg(size)
                        .arg(file.fileName(), QString::fromLocal8Bit(strerror(claimed)));
            return false;
        }
#endif
        data = file.map(0, size);
        if (!data) {
            error = QStringLiteral("cannot map %1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
        return true;
    }
    bool finish(QString &error)
    {
        if ((data && !file.unmap(data)) || !file.flush()) {
            error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
        data = nullptr;
        file.close();
        return true;
    }
    QFile file;
    uchar *data = nullptr;
};

AppliedPatch apply(const QString &basePath, const QString &patchPath, const QString &outputPath, qint64 expectedSize,
                   const ApplyLimits &limits)
{
    AppliedPatch applied;
    QString &error = applied.error;
    if (expectedSize < 0 || expectedSize > format::MaxUnpackedLength) {
        error = QStringLiteral("a result of %1 bytes is beyond what a release file may have").arg(expectedSize);
        return applied;
    }
    InputFile base;
    if (!base.open(basePath, error))
        return applied;
    if (limits.baseBytes >= 0 && base.size != limits.baseBytes) {
        error = QStringLiteral("the base %1 has %2 bytes; the patch is made for %3")
                    .arg(basePath)
                    .arg(base.size)
                    .arg(limits.baseBytes);
        return applied;
    }
    QFile patch(patchPath);
    if (!patch.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(patchPath, patch.errorString());
        return applied;
    }
    const qint64 patchSize = patch.size();
    if (limits.patchBytes >= 0 && patchSize != limits.patchBytes) {
        error = QStringLiteral("the patch %1 has %2 bytes; %3 are announced")
                    .arg(patchPath)
                    .arg(patchSize)
                    .arg(limits.patchBytes);
        return applied;
    }

    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx) {
        error = QStringLiteral("cannot start the decompressor");
        return applied;
    }
    const std::pair<ZSTD_dParameter, int> parameters[] = {
        {ZSTD_d_windowLogMax, windowLogFor(base.size, expectedSize)},
        {ZSTD_d_stableOutBuffer, 1},
    };
    for (const auto &parameter : parameters) {
        const size_t set = ZSTD_DCtx_setParameter(dctx.get(), parameter.first, parameter.second);
        if (ZSTD_isError(set)) {
            error = QStringLiteral("the decompressor refuses a parameter: %1").arg(zstdError(set));
            return applied;
        }
    }
    const size_t prefix = ZSTD_DCtx_refPrefix(dctx.get(), base.data, size_t(base.size));
    if (ZSTD_isError(prefix)) {
        error = QStringLiteral("the decompressor refuses the base: %1").arg(zstdError(prefix));
        return applied;
    }

    OutputFile output(outputPath);
    if (!output.open(expectedSize, error))
        return applied;
    // An empty result still needs a valid address for the decoder.
    char none = 0;
    ZSTD_outBuffer out{output.data ? static_cast<void *>(output.data) : &none, size_t(expectedSize), 0};
    QCryptographicHash md5(QCryptographicHash::Md5);
    std::unique_ptr<char[]> piece(new char[ReadPiece]);
    bool headerChecked = false;
    size_t pending = 1; // what the decoder still wants; 0 once the frame is complete
    qint64 read = 0;
    while (pending != 0) {
        const qint64 got = patch.read(piece.get(), ReadPiece);
        if (got < 0) {
            error = QStringLiteral("cannot read %1: %2").arg(patchPath, patch.errorString());
            return applied;
        }
        if (got == 0) {
            error = QStringLiteral("the patch ends before its frame does (%1 bytes)").arg(read);
            return applied;
        }
        read += got;
        if (!headerChecked) {
            // Refused before a single byte is decoded: a patch that makes
            // another size than the manifest says, or that cannot prove
            // its result (a wrong base shows in the checksum).
            ZSTD_frameHeader header;
            const size_t need = ZSTD_getFrameHeader(&header, piece.get(), size_t(got));
            if (ZSTD_isError(need) || need > 0 || header.frameType != ZSTD_frame) {
                error = QStringLiteral("the patch does not start with a zstd frame header");
                return applied;
            }
            if (header.frameContentSize != qulonglong(expectedSize)) {
                error = header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN
                            ? QStringLiteral("the patch does not say how large its result is")
                            : QStringLiteral("the patch makes %1 bytes; %2 are announced")
                                  .arg(qulonglong(header.frameContentSize))
                                  .arg(expectedSize);
                return applied;
            }
            if (!header.checksumFlag) {
                error = QStringLiteral("the patch carries no checksum of its result");
                return applied;
            }
            headerChecked = true;
        }
        ZSTD_inBuffer in{piece.get(), size_t(got), 0};
        while (in.pos < in.size) {
            if (pending == 0) {
                error = QStringLiteral("the patch has bytes after its frame");
                return applied;
            }
            const size_t before = out.pos;
            pending = ZSTD_decompressStream(dctx.get(), &out, &in);
            if (ZSTD_isError(pending)) {
                error = QStringLiteral("the patch does not apply to %1: %2").arg(basePath, zstdError(pending));
                return applied;
            }
            md5.addData(static_cast<const char *>(out.dst) + before, int(out.pos - before));
        }
    }
    if (!patch.atEnd()) {
        error = QStringLiteral("the patch has bytes after its frame");
        return applied;
    }
    if (qint64(out.pos) != expectedSize) {
        error = QStringLiteral("the patch made %1 bytes; %2 are announced").arg(qulonglong(out.pos)).arg(expectedSize);
        return applied;
    }
    if (!output.finish(error))
        return applied;
    applied.ok = true;
    applied.bytes = expectedSize;
    applied.md5 = md5.result().toHex();
    return applied;
}

} // namespace

AppliedPatch applyPatch(const QString &basePath, const QString &patchPath, const QString &outputPath,
                        qint64 expectedSize, const ApplyLimits &limits)
{
    const AppliedPatch applied = apply(basePath, patchPath, outputPath, expectedSize, limits);
    // Whatever stood there is no longer what it was, and a partial result
    // must never pass for a whole one. The file is closed by now, which
    // Windows needs before it removes one.
    if (!applied.ok)
        QFile::remove(outputPath);
    return applied;
}

} // namespace vt3::patch
