#ifndef UNPACK_H
#define UNPACK_H

#include "releaseformat.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

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

// The same expansion fed piece by piece, as the bytes of a block arrive:
// feed() every piece in order, then finish() once the input has ended.
// Once anything but Ok is returned the unpacker stays there, and `out` may
// hold a partial result.
class Unpacker
{
public:
    Unpacker(QIODevice &out, qint64 maxLength);
    ~Unpacker();
    Unpacker(const Unpacker &) = delete;
    Unpacker &operator=(const Unpacker &) = delete;

    UnpackResult feed(const char *data, qint64 length);
    UnpackResult finish();
    // The length the header announces, -1 until it has been read.
    qint64 announced() const { return announcedBytes; }
    qint64 written() const { return writtenBytes; }

private:
    UnpackResult fail(UnpackResult why);
    void noteConsumed(const uchar *from, const uchar *to);
    bool checkValueMatches() const;

    struct State;
    QIODevice &out;
    qint64 limit;
    QByteArray header;
    QByteArray buffer;
    std::unique_ptr<State> state;
    qint64 announcedBytes = -1;
    qint64 writtenBytes = 0;
    // zlib's own check of the stream's Adler-32 is switched off for a faster
    // one; the value is compared with the stream's last four bytes here.
    quint32 checksum = 1;
    uchar tail[4] = {};
    int tailSize = 0;
    bool sawStream = false;
    bool ended = false;
    UnpackResult result = UnpackResult::Ok;
};

enum class ExtractStatus { Ok, ReadError, WriteError, ExtractError, Cancelled };
// How a failed unpack is reported: a length within our own limit that the
// volume cannot hold is a full disk, not a bad file.
ExtractStatus extractStatusOf(UnpackResult result, qint64 announced);

// The name a file is unpacked under before it is renamed to `target`: in
// the same directory, so the rename cannot fail half way.
QString unpackingName(const QString &target);

// The length a block announces, read without consuming it; -1 when `in`
// holds fewer than four bytes.
qint64 announcedLength(QIODevice &in);

} // namespace vt3

#endif // UNPACK_H
