#ifndef PACKFILE_H
#define PACKFILE_H

#include <QByteArray>
#include <QString>

namespace vt3publish {

struct PackedFile
{
    QByteArray md5;    // of the compressed file, lower-case hex
    QByteArray sha256; // of the compressed file, lower-case hex
    qint64 size = 0;   // of the compressed file
    qint64 unpackedSize = 0;
    QByteArray unpackedMd5; // of the source, lower-case hex
};

// Writes `source` to `target` in the block format the updater unpacks
// (4-byte big-endian unpacked length, then a zlib stream), hashing both
// sides on the way. Works in fixed-size pieces, so memory stays flat
// whatever the file's size. On failure returns false and sets `error`.
bool packFile(const QString &source, const QString &target, PackedFile &result, QString &error);

} // namespace vt3publish

#endif // PACKFILE_H
