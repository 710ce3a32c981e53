#include "unpack.h"

#include <QByteArray>
#include <QFileInfo>
#include <QIODevice>
#include <QtEndian>

#include <zlib.h>

namespace vt3 {

namespace {

// Large enough that the per-call overhead of inflate and of the device
// writes does not matter, small enough to sit on the stack of nobody.
constexpr int ChunkSize = 64 * 1024;

// Ends the inflate state on every way out of unpackStream.
class Inflater
{
public:
    Inflater() { ok = inflateInit(&stream) == Z_OK; }
    ~Inflater()
    {
        if (ok)
            inflateEnd(&stream);
    }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    z_stream stream{};
    bool ok = false;
};

bool hasMoreInput(QIODevice &in)
{
    char probe;
    return in.read(&probe, 1) > 0;
}

} // namespace

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
    const QByteArray header = in.read(UnpackHeaderSize);
    if (header.size() != UnpackHeaderSize)
        return UnpackResult::BadInput;
    const qint64 announced = qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(header.constData()));
    if (announced > MaxUnpackedLength || announced > maxLength)
        return UnpackResult::TooLarge;

    Inflater inflater;
    if (!inflater.ok)
        return UnpackResult::BadInput;
    z_stream &zs = inflater.stream;

    QByteArray input(ChunkSize, Qt::Uninitialized);
    QByteArray output(ChunkSize, Qt::Uninitialized);
    qint64 written = 0;
    bool sawStream = false;
    bool ended = false;

    while (!ended) {
        const qint64 got = in.read(input.data(), ChunkSize);
        if (got < 0)
            return UnpackResult::BadInput;
        if (got == 0)
            break;
        sawStream = true;
        zs.next_in = reinterpret_cast<Bytef *>(input.data());
        zs.avail_in = static_cast<uInt>(got);
        do {
            zs.next_out = reinterpret_cast<Bytef *>(output.data());
            zs.avail_out = ChunkSize;
            const int rc = inflate(&zs, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                return UnpackResult::BadInput;
            const qint64 produced = ChunkSize - zs.avail_out;
            if (written + produced > announced)
                return UnpackResult::BadInput;
            if (produced > 0 && out.write(output.constData(), produced) != produced)
                return UnpackResult::WriteFailed;
            written += produced;
            if (rc == Z_STREAM_END) {
                ended = true;
                break;
            }
        } while (zs.avail_out == 0);
    }

    if (!ended) {
        // qCompress writes an empty block as the bare header, without any
        // stream after it.
        if (!sawStream && announced == 0)
            return UnpackResult::Ok;
        return UnpackResult::BadInput;
    }
    if (zs.avail_in > 0 || hasMoreInput(in))
        return UnpackResult::BadInput;
    if (written != announced)
        return UnpackResult::BadInput;
    return UnpackResult::Ok;
}

} // namespace vt3
