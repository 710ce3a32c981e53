// Arbitrary bytes as a downloaded release file, expanded as the updater does.
#include "unpack.h"

#include <QBuffer>
#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {
// Keeps a run's memory small while still letting real streams expand.
constexpr qint64 FuzzMaxUnpackedBytes = 16 * 1024 * 1024;
// Results up to this size are also compared with qUncompress.
constexpr quint32 FuzzCompareBytes = 1024 * 1024;

// Counts what is written instead of keeping it.
class CountingSink : public QIODevice
{
public:
    qint64 written = 0;
    QByteArray kept;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 len) override
    {
        written += len;
        if (kept.size() + len <= FuzzCompareBytes)
            kept.append(data, int(len));
        return len;
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    QBuffer in(&bytes);
    in.open(QIODevice::ReadOnly);
    CountingSink out;
    out.open(QIODevice::WriteOnly);
    const vt3::UnpackResult result = vt3::unpackStream(in, out, FuzzMaxUnpackedBytes);
    if (size >= 4) {
        const quint32 announced =
            (quint32(data[0]) << 24) | (quint32(data[1]) << 16) | (quint32(data[2]) << 8) | quint32(data[3]);
        // Never more than the header says, and exactly that on success.
        if (out.written > qint64(announced))
            __builtin_trap();
        if (result == vt3::UnpackResult::Ok && out.written != qint64(announced))
            __builtin_trap();
        // Whatever is accepted must be what the format's own reader makes
        // of it, check value included.
        if (result == vt3::UnpackResult::Ok && announced > 0 && announced <= FuzzCompareBytes &&
            qUncompress(bytes) != out.kept)
            __builtin_trap();
    } else if (result == vt3::UnpackResult::Ok) {
        __builtin_trap();
    }
    return 0;
}
