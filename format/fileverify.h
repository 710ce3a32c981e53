#ifndef FILEVERIFY_H
#define FILEVERIFY_H

#include <QString>

namespace vt3 {

// What a release file must be. The MD5 is always compared (an empty one
// never matches); an empty SHA-256 means it is not checked.
struct ExpectedFile
{
    qint64 size = 0;
    QString md5;
    QString sha256;
};

// What a manifest's descriptor promises of the file as served.
ExpectedFile expectedOf(const QString &descriptor);

// In the order the checks are made: readable, then size, then digests.
enum class Verification { Ok, Unreadable, WrongSize, WrongDigest };

// Checks a file against what the manifest says, reading it once as a
// stream. Digests are compared as lower-case hex text, exactly.
Verification verifyFile(const QString &path, const ExpectedFile &expected);
// The same judgement of digests taken elsewhere, for instance while the
// file was written.
Verification judgeDigest(const ExpectedFile &expected, qint64 size, const QString &md5, const QString &sha256);
Verification verifyFile(const QString &path, qint64 expectedSize, const QString &expectedMd5,
                        const QString &expectedSha256 = QString());

} // namespace vt3

#endif // FILEVERIFY_H
