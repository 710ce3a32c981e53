#include "filehash.h"

#include "streamdigest.h"

#include <QByteArray>
#include <QFile>

namespace vt3 {

namespace {
constexpr int ReadChunkBytes = 256 * 1024;
} // namespace

QString md5OfFile(const QString &path, qint64 *size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    StreamDigest digest(false);
    QByteArray chunk(ReadChunkBytes, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(chunk.data(), chunk.size());
        // A read error part-way would otherwise pass for a shorter file.
        if (got < 0)
            return QString();
        if (got == 0)
            break;
        digest.addData(chunk.constData(), got);
    }
    if (size)
        *size = digest.length();
    return digest.md5Hex();
}

} // namespace vt3
