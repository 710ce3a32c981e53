#include "fileverify.h"

#include "releaseformat.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

namespace vt3 {

namespace {

// Large enough that system calls do not dominate, small enough to cost
// nothing beside a release file.
constexpr int ReadChunkBytes = 256 * 1024;

} // namespace

ExpectedFile expectedOf(const QString &descriptor)
{
    format::Descriptor fields;
    format::Descriptor::split(descriptor, fields);
    return ExpectedFile{format::sizeBytes(fields.size), fields.md5, QString()};
}

Verification verifyFile(const QString &path, const ExpectedFile &expected)
{
    // Only a plain file has a length to check; a device would be read for
    // ever.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return Verification::Unreadable;
    if (file.size() != expected.size)
        return Verification::WrongSize;

    QCryptographicHash md5(QCryptographicHash::Md5);
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    const bool checkSha256 = !expected.sha256.isEmpty();
    // One buffer for the whole file: a release file may be large, and a
    // fresh piece per read would leave the allocator holding all of them.
    QByteArray chunk(ReadChunkBytes, Qt::Uninitialized);
    qint64 bytesRead = 0;
    for (;;) {
        const qint64 got = file.read(chunk.data(), chunk.size());
        if (got <= 0)
            break;
        bytesRead += got;
        md5.addData(chunk.constData(), int(got));
        if (checkSha256)
            sha256.addData(chunk.constData(), int(got));
    }
    // A read error part-way would otherwise pass for a shorter file.
    if (file.error() != QFileDevice::NoError)
        return Verification::Unreadable;
    if (bytesRead != expected.size)
        return Verification::WrongSize;
    if (QString::fromLatin1(md5.result().toHex()) != expected.md5)
        return Verification::WrongDigest;
    if (checkSha256 && QString::fromLatin1(sha256.result().toHex()) != expected.sha256)
        return Verification::WrongDigest;
    return Verification::Ok;
}

Verification verifyFile(const QString &path, qint64 expectedSize, const QString &expectedMd5,
                        const QString &expectedSha256)
{
    return verifyFile(path, ExpectedFile{expectedSize, expectedMd5, expectedSha256});
}

} // namespace vt3
