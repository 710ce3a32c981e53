#include "filehash.h"

#include "streamdigest.h"

#include <QFile>

namespace vt3 {

QString md5OfFile(const QString &path, qint64 *size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    StreamDigest digest(false);
    if (!digest.addFile(file))
        return QString();
    if (size)
        *size = digest.length();
    return digest.md5Hex();
}

} // namespace vt3
