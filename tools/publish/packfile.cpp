#include "packfile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <zlib.h>

#include <memory>

namespace vt3publish {

namespace {

// Large enough that system calls don't dominate, small enough that a
// gigabyte file costs no more memory than a small one.
constexpr int ChunkBytes = 256 * 1024;
constexpr int HeaderBytes = 4;

struct Deflater
{
    z_stream stream{};
    bool ready = false;
    Deflater() { ready = deflateInit(&stream, Z_DEFAULT_COMPRESSION) == Z_OK; }
    ~Deflater()
    {
        if (ready)
            deflateEnd(&stream);
    }
};

class HashedWriter
{
public:
    explicit HashedWriter(QFile &file)
        : out(file)
        , hash(QCryptographicHash::Md5)
        , sha256(QCryptographicHash::Sha256)
    {
    }
    bool write(const char *data, qint64 length)
    {
        hash.addData(data, int(length));
        sha256.addData(data, int(length));
        written += length;
        return out.write(data, length) == length;
    }
    QFile &out;
    QCryptographicHash hash;
    QCryptographicHash sha256;
    qint64 written = 0;
};

QByteArray bigEndianLength(quint32 length)
{
    QByteArray header(HeaderBytes, '\0');
    header[0] = char((length >> 24) & 0xff);
    header[1] = char((length >> 16) & 0xff);
    header[2] = char((length >> 8) & 0xff);
    header[3] = char(length & 0xff);
    return header;
}

// Feeds one piece of input (or the end of it) through the deflater and
// writes whatever comes out.
bool deflateChunk(Deflater &z, const char *data, int length, bool last, char *outBuffer, HashedWriter &writer)
{
    z.stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    z.stream.avail_in = uInt(length);
    const int flush = last ? Z_FINISH : Z_NO_FLUSH;
    int status = Z_OK;
    do {
        z.stream.next_out = reinterpret_cast<Bytef *>(outBuffer);
        z.stream.avail_out = ChunkBytes;
        status = deflate(&z.stream, flush);
        if (status == Z_STREAM_ERROR)
            return false;
        const qint64 produced = ChunkBytes - qint64(z.stream.avail_out);
        if (produced > 0 && !writer.write(outBuffer, produced))
            return false;
    } while (z.stream.avail_out == 0 || (last && status != Z_STREAM_END));
    return true;
}

} // namespace

bool packFile(const QString &source, const QString &target, PackedFile &result, QString &error)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
        return false;
    }
    const qint64 announced = in.size();
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
        return false;
    }
    Deflater z;
    if (!z.ready) {
        error = QStringLiteral("cannot start the compressor");
        return false;
    }
    HashedWriter writer(out);
    QCryptographicHash sourceHash(QCryptographicHash::Md5);
    const QByteArray header = bigEndianLength(quint32(announced));
    if (!writer.write(header.constData(), header.size())) {
        error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
        return false;
    }

    std::unique_ptr<char[]> buffer(new char[ChunkBytes]);
    std::unique_ptr<char[]> packed(new char[ChunkBytes]);
    qint64 readTotal = 0;
    bool last = false;
    while (!last) {
        const qint64 got = in.read(buffer.get(), ChunkBytes);
        if (got < 0) {
            error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
            return false;
        }
        readTotal += got;
        last = got == 0 || in.atEnd();
        sourceHash.addData(buffer.get(), int(got));
        if (!deflateChunk(z, buffer.get(), int(got), last, packed.get(), writer)) {
            error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
            return false;
        }
    }
    // The header was written before the data was read; a file that changed
    // meanwhile would make it lie.
    if (readTotal != announced) {
        error = QStringLiteral("%1 changed while it was being read").arg(source);
        return false;
    }
    if (!out.flush()) {
        error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
        return false;
    }
    out.close();
    result.md5 = writer.hash.result().toHex();
    result.sha256 = writer.sha256.result().toHex();
    result.size = writer.written;
    result.unpackedSize = readTotal;
    result.unpackedMd5 = sourceHash.result().toHex();
    return true;
}

} // namespace vt3publish
