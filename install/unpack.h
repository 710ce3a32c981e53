#ifndef UNPACK_H
#define UNPACK_H

#include "releaseformat.h"

#include <QString>
#include <QtGlobal>

class QIODevice;

namespace vt3 {

enum class UnpackResult { Ok, BadInput, TooLarge, WriteFailed };

constexpr qint64 MaxUnpackedLength = format::MaxUnpackedLength;

// Size of the header that precedes the zlib stream.
constexpr int UnpackHeaderSize = 4;

// Expands a block in the qUncompress format (4-byte big-endian length, then
// a zlib stream) from `in` to `out` in pieces. The result must be exactly
// as long as the header says; more than that is never written. A length
// above MaxUnpackedLength or above maxLength gives TooLarge, a stream that
// is corrupt, ends early, expands to another length or is followed by more
// bytes gives BadInput, a write to `out` that fails or falls short gives
// WriteFailed. On anything but Ok, `out` may hold a partial result.
UnpackResult unpackStream(QIODevice &in, QIODevice &out, qint64 maxLength);

// The name a file is unpacked under before it is renamed to `target`: in
// the same directory, so the rename cannot fail half way.
QString unpackingName(const QString &target);

// The length a block announces, read without consuming it; -1 when `in`
// holds fewer than four bytes.
qint64 announcedLength(QIODevice &in);

} // namespace vt3

#endif // UNPACK_H
