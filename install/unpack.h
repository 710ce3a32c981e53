#ifndef UNPACK_H
#define UNPACK_H

#include <QString>

class QIODevice;

namespace vt3 {

enum class UnpackResult { Ok, BadInput, TooLarge, WriteFailed };

// Expands a block in the qUncompress format (4-byte big-endian length, then
// a zlib stream) from `in` to `out` in pieces. The result must be exactly
// as long as the header says; more than that is never written.
UnpackResult unpackStream(QIODevice &in, QIODevice &out, qint64 maxLength);

} // namespace vt3

#endif // UNPACK_H
