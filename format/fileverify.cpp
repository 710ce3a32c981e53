#include "fileverify.h"

#include "releaseformat.h"
#include "streamdigest.h"

#include <QFile>
#include <QFileInfo>

namespace vt3 {

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

    const bool checkSha256 = !expected.sha256.isEmpty();
    StreamDigest digest(checkSha256);
    if (!digest.addFile(file) || file.error() != QFileDevice::NoError)
        return Verification::Unreadable;
    return judgeDigest(expected, digest.length(), digest.md5Hex(), checkSha256 ? digest.sha256Hex() : QString());
}

Verification judgeDigest(const ExpectedFile &expected, qint64 size, const QString &md5, const QString &sha256)
{
    if (size != expected.size)
        return Verification::WrongSize;
    if (md5.isEmpty() || md5 != expected.md5)
        return Verification::WrongDigest;
    if (!expected.sha256.isEmpty() && sha256 != expected.sha256)
        return Verification::WrongDigest;
    return Verification::Ok;
}

Verification verifyFile(const QString &path, qint64 expectedSize, const QString &expectedMd5,
                        const QString &expectedSha256)
{
    return verifyFile(path, ExpectedFile{expectedSize, expectedMd5, expectedSha256});
}

} // namespace vt3
