#include "pathsafety.h"

#include "releaseformat.h"

#include <QRegularExpression>
#include <QStringList>

namespace vt3 {

namespace {

// Manifests are written on Windows, so both separators mean a directory
// boundary wherever the path is later used.
bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

bool startsWithDriveLetter(const QString &path)
{
    return path.size() >= 2 && path.at(1) == QLatin1Char(':') && path.at(0).isLetter();
}

bool isSafeSegment(const QString &segment)
{
    if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
        return false;
    // A release must install on Windows too, where such a name opens a
    // device instead of a file.
    if (vt3::format::isReservedName(segment))
        return false;
#ifdef Q_OS_WIN
    // Windows drops trailing dots and blanks from a name, so ".. " or "..."
    // would still climb out; a colon names a drive or an alternate stream.
    if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
        return false;
    if (segment.contains(QLatin1Char(':')))
        return false;
#endif
    return true;
}

} // namespace

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty())
        return false;
    // A NUL cuts the name short when it reaches the file system, so the
    // file touched would not be the one that was checked.
    if (path.contains(QChar(0)))
        return false;
    // Covers "/abs", "\abs", UNC "\\server\share" and "\\?\..." alike.
    if (isSeparator(path.at(0)))
        return false;
    if (startsWithDriveLetter(path))
        return false;

    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QStringList segments = path.split(separators, Qt::KeepEmptyParts);
    for (const QString &segment : segments) {
        if (!isSafeSegment(segment))
            return false;
    }
    return true;
}

} // namespace vt3
