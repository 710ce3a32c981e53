#include "unpack.h"

#include <QByteArray>
#include <QFileInfo>
#include <QIODevice>
#include <QtEndian>

#include <libdeflate.h>
#include <zlib.h>

#include <cstring>

namespace vt3 {

namespace {

// Large enough that the per-call overhead of inflate and of the device
// writes does not matter beside the bytes themselves.
constexpr int ChunkSize = 256 * 1024;

} // namespace

struct Unpacker::State
{
    // zlib's Adler-32 is plain C and took a third of the unpacking time;
    // the unpacker computes the same value with a vectorised one.
    State() { ok = inflateInit(&stream) == Z_OK && inflateValidate(&stream, 0) == Z_OK; }
    ~State()
    {
        if (ok)
            inflateEnd(&stream);
    }
    State(const State &) = delete;
    State &operator=(const State &) = delete;

    z_stream stream{};
    bool ok = false;
};

Unpacker::Unpacker(QIODevice &output, qint64 maxLength)
    : out(output)
    , limit(maxLength)
    , buffer(ChunkSize, Qt::Uninitialized)
{
}

Unpacker::~Unpacker() = default;

UnpackResult Unpacker::fail(UnpackResult why)
{
    result = why;
    return why;
}

void Unpacker::noteConsumed(const uchar *from, const uchar *to)
{
    const ptrdiff_t n = to - from;
    if (n >= 4) {
        std::memcpy(tail, to - 4, 4);
        tailSize = 4;
        return;
    }
    for (ptrdiff_t i = 0; i < n; ++i) {
        if (tailSize == 4) {
            std::memmove(tail, tail + 1, 3);
            tailSize = 3;
        }
        tail[tailSize++] = from[i];
    }
}

bool Unpacker::checkValueMatches() const
{
    // At the end of the stream the last four bytes inflate took are the
    // stored check value.
    return tailSize == 4 && qFromBigEndian<quint32>(tail) == checksum;
}

UnpackResult Unpacker::feed(const char *data, qint64 length)
{
    if (result != UnpackResult::Ok)
        return result;
    if (length <= 0)
        return result;
    if (header.size() < UnpackHeaderSize) {
        const int take = int(qMin<qint64>(UnpackHeaderSize - header.size(), length));
        header.append(data, take);
        data += take;
        length -= take;
        if (header.size() < UnpackHeaderSize)
            return result;
        announcedBytes = qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(header.constData()));
        if (announcedBytes > MaxUnpackedLength || announcedBytes > limit)
            return fail(UnpackResult::TooLarge);
        state = std::make_unique<State>();
        if (!state->ok)
            return fail(UnpackResult::BadInput);
        if (length == 0)
            return result;
    }
    // Nothing may follow the end of the stream.
    if (ended)
        return fail(UnpackResult::BadInput);
    sawStream = true;

    z_stream &zs = state->stream;
    while (length > 0) {
        // zlib counts in 32 bits.
        const uInt piece = uInt(qMin<qint64>(length, 1 << 30));
        zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        zs.avail_in = piece;
        do {
            zs.next_out = reinterpret_cast<Bytef *>(buffer.data());
            zs.avail_out = ChunkSize;
            const Bytef *taken = zs.next_in;
            const int rc = inflate(&zs, Z_NO_FLUSH);
            noteConsumed(taken, zs.next_in);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                return fail(UnpackResult::BadInput);
            const qint64 produced = ChunkSize - zs.avail_out;
            if (writtenBytes + produced > announcedBytes)
                return fail(UnpackResult::BadInput);
            if (produced > 0) {
                checksum = quint32(libdeflate_adler32(checksum, buffer.constData(), size_t(produced)));
                if (out.write(buffer.constData(), produced) != produced)
                    return fail(UnpackResult::WriteFailed);
            }
            writtenBytes += produced;
            if (rc == Z_STREAM_END) {
                ended = true;
                if (zs.avail_in > 0 || length > piece || !checkValueMatches())
                    return fail(UnpackResult::BadInput);
                return result;
            }
            // Without progress on either side the stream needs more input.
            if (rc == Z_BUF_ERROR && produced == 0)
                break;
        } while (zs.avail_out == 0 || zs.avail_in > 0);
        data += piece;
        length -= piece;
    }
    return result;
}

UnpackResult Unpacker::finish()
{
    if (result != UnpackResult::Ok)
        return result;
    if (header.size() < UnpackHeaderSize)
        return fail(UnpackResult::BadInput);
    if (!ended) {
        // qCompress writes an empty block as the bare header, without any
        // stream after it.
        if (!sawStream && announcedBytes == 0)
            return result;
        return fail(UnpackResult::BadInput);
    }
    if (writtenBytes != announcedBytes)
        return fail(UnpackResult::BadInput);
    return result;
}

ExtractStatus extractStatusOf(UnpackResult result, qint64 announced)
{
    switch (result) {
    case UnpackResult::Ok:
        return ExtractStatus::Ok;
    case UnpackResult::WriteFailed:
        return ExtractStatus::WriteError;
    case UnpackResult::TooLarge:
        return announced <= MaxUnpackedLength ? ExtractStatus::WriteError : ExtractStatus::ExtractError;
    case UnpackResult::BadInput:
        break;
    }
    return ExtractStatus::ExtractError;
}

QString unpackingName(const QString &target)
{
    const QFileInfo info(target);
    return info.path() + QLatin1String("/.") + info.fileName() + QLatin1String(".vt3-unpack");
}

qint64 announcedLength(QIODevice &in)
{
    const QByteArray header = in.peek(UnpackHeaderSize);
    if (header.size() != UnpackHeaderSize)
        return -1;
    return qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(header.constData()));
}

UnpackResult unpackStream(QIODevice &in, QIODevice &out, qint64 maxLength)
{
    Unpacker unpacker(out, maxLength);
    QByteArray input(ChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = in.read(input.data(), ChunkSize);
        if (got < 0)
            return UnpackResult::BadInput;
        if (got == 0)
            break;
        const UnpackResult fed = unpacker.feed(input.constData(), got);
        if (fed != UnpackResult::Ok)
            return fed;
    }
    return unpacker.finish();
}

} // namespace vt3
