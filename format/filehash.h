#ifndef FILEHASH_H
#define FILEHASH_H

#include <QByteArray>
#include <QString>

namespace vt3 {

// MD5 of a file as lower-case hex, read as a stream so that large release
// files do not have to fit in memory. Sets *size to the bytes read.
// Returns an empty string when the file cannot be opened or read.
QString md5OfFile(const QString &path, qint64 *size = nullptr);

} // namespace vt3

#endif // FILEHASH_H
