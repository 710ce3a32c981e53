#ifndef BINARYPATCH_H
#define BINARYPATCH_H

#include <QByteArray>
#include <QString>

// Making and applying the patches of patchformat.h with libzstd.
namespace vt3::patch {

// Patches are made once on the publisher's machine and fetched by every
// installation, so the level buys size with time. Level 19 makes the
// smallest patches of ordinary files (two releases of a 4.7 MB library:
// 421 KB, against 502 KB at level 9 and 657 KB at level 3, in about 3 s).
// Its optimal parser, though, makes poor use of the long-distance matches a
// large base needs: against a 64 MB base its patch was 12 times the size of
// level 9's, against 500 MB over 50 times, after 190 s instead of 7. At
// 34 MB the two were still level; level 9's parser takes such matches as
// they come, so bases above 32 MiB get it.
constexpr int SmallBaseLevel = 19;
constexpr int LargeBaseLevel = 9;
constexpr qint64 LargeBaseBytes = qint64(32) << 20;
int levelFor(qint64 baseBytes);

// The window a patch needs: base and result together, as a power of two
// (at least the smallest window zstd has, at most the largest it allows).
// Maker and applier both derive it from the sizes, so a patch can never ask
// the applier for more than the manifest's sizes justify.
int windowLogFor(qint64 baseBytes, qint64 resultBytes);

enum class MakeStatus { Made, NotSmaller, Failed };
struct MadePatch
{
    MakeStatus status = MakeStatus::Failed;
    QByteArray bytes;
    QString error;
};

// Compresses the file at `newPath` with the file at `basePath` as prefix
// (both unpacked, both memory-mapped rather than read in). A patch that
// would take more than `maxBytes` (when not negative) is not made
// (NotSmaller): the caller passes what the full file costs.
// `level` 0 chooses by the base's size (levelFor).
// Memory: the compressor's tables, which grow with the window and the
// level (about 80 MB of them for a 500 MB file against a 500 MB base), plus
// the pages of the patch itself; the two inputs are file-backed.
MadePatch makePatch(const QString &basePath, const QString &newPath, qint64 maxBytes = -1, int level = 0);

// What the manifest announced; a patch or base that disagrees is refused
// before anything is decoded. Negative means "not announced": the file's own
// size is taken.
struct ApplyLimits
{
    qint64 baseBytes = -1;
    qint64 patchBytes = -1;
};

struct AppliedPatch
{
    bool ok = false;
    QString error;
    qint64 bytes = 0;
    // Of what was written, lower-case hex, so that the caller need not read
    // the result again to check it.
    QByteArray md5;
};

// Writes the result of the patch at `patchPath` applied to the base at
// `basePath` to `outputPath`, which must come out exactly `expectedSize`
// bytes long. The patch is read in pieces; the base is mapped, and so is
// the output, which the decoder writes straight into: its matches reach
// back across the whole result, so any buffer of its own would have to be
// as large as the result. Anonymous memory thus stays at the decoder's
// state and one read piece (well under 64 MB for any size), whatever the
// file sizes. On any failure nothing is left at `outputPath` (not even a
// file that stood there before) and `error` says why.
AppliedPatch applyPatch(const QString &basePath, const QString &patchPath, const QString &outputPath,
                        qint64 expectedSize, const ApplyLimits &limits = ApplyLimits());

} // namespace vt3::patch

#endif // BINARYPATCH_H
