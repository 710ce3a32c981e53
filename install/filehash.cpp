#include "filehash.h"

#include <QCryptographicHash>
#include <QFile>

namespace vt3 {

QString md5OfFile(const QString &path, qint64 *size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    // A read error part-way would otherwise pass for a shorter file.
    if (!hash.addData(&file))
        return QString();
    if (size)
        *size = file.pos();
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace vt3
