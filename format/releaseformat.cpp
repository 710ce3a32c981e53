#include "releaseformat.h"

#include "pathsafety.h"

#include <QHash>

#include <algorithm>

namespace vt3::format {

QString platformGroup(const QString &platform)
{
    return QStringLiteral("bin_%1").arg(platform);
}

QStringList fileGroups(const QString &platform)
{
    return {CommonGroup, platformGroup(platform)};
}

QString manifestName(const QString &platform)
{
    return QStringLiteral("client_%1.ini").arg(platform);
}

QString signatureName(const QString &platform)
{
    return manifestName(platform) + QLatin1String(".sig");
}

bool Descriptor::split(const QString &text, Descriptor &out)
{
    const QStringList fields = text.split(FieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
    out.md5 = fields.value(Md5Field);
    out.size = fields.value(SizeField);
    out.unpackedSize = fields.value(UnpackedSizeField);
    out.unpackedMd5 = fields.value(UnpackedMd5Field);
    out.installName = fields.value(InstallNameField);
    return fields.size() >= FieldCount;
}

QString Descriptor::join() const
{
    return QStringList{md5, size, unpackedSize, unpackedMd5, installName}.join(FieldSeparator);
}

Size parseSize(const QString &text)
{
    Size size;
    bool ok = false;
    const qint64 bytes = text.toLongLong(&ok, 10);
    if (!ok) {
        // toLongLong gives up on a number beyond 64 bits; its sign still
        // tells which way it is out of range.
        const QString digits = text.trimmed();
        const bool allDigits = !digits.isEmpty() &&
                               std::all_of(digits.begin() + (digits.startsWith(QLatin1Char('-')) ? 1 : 0), digits.end(),
                                           [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
        if (allDigits && digits.size() > 1)
            size.status = digits.startsWith(QLatin1Char('-')) ? SizeStatus::Negative : SizeStatus::TooLarge;
        return size;
    }
    if (bytes < 0) {
        size.status = SizeStatus::Negative;
        return size;
    }
    if (bytes > MaxServedSize) {
        size.status = SizeStatus::TooLarge;
        return size;
    }
    size.bytes = bytes;
    size.status = SizeStatus::Ok;
    return size;
}

qint64 sizeBytes(const QString &text)
{
    return parseSize(text).bytes;
}

bool unpackedOf(const QString &descriptor, qint64 &size, QString &md5)
{
    // The hex digits of an MD5.
    constexpr int Md5Digits = 32;
    Descriptor fields;
    Descriptor::split(descriptor, fields);
    const Size unpacked = parseSize(fields.unpackedSize);
    if (unpacked.status != SizeStatus::Ok || fields.unpackedMd5.size() != Md5Digits)
        return false;
    const auto isHexDigit = [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
               (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
    };
    if (!std::all_of(fields.unpackedMd5.cbegin(), fields.unpackedMd5.cend(), isHexDigit))
        return false;
    size = unpacked.bytes;
    md5 = fields.unpackedMd5;
    return true;
}

QString normalPath(const QString &path)
{
    QString normal = path;
    normal.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return normal;
}

QString foldedPath(const QString &path)
{
    return normalPath(path).toCaseFolded();
}

bool isReservedName(const QString &segment)
{
    // Windows looks at the name before the first dot, ignoring blanks after it.
    QString base = segment.left(segment.indexOf(QLatin1Char('.'))).toUpper();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    static const QStringList plain{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                   QStringLiteral("NUL")};
    if (plain.contains(base))
        return true;
    if (base.size() != 4 || base.at(3) < QLatin1Char('1') || base.at(3) > QLatin1Char('9'))
        return false;
    return base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"));
}

bool isUsableEntry(const QString &key, const QString &descriptor)
{
    Descriptor fields;
    if (!Descriptor::split(descriptor, fields))
        return false;
    const SizeStatus size = parseSize(fields.size).status;
    if (size == SizeStatus::Negative || size == SizeStatus::TooLarge)
        return false;
    return isSafeRelativePath(key) && isSafeRelativePath(fields.installName);
}

bool namesAreDistinct(const QMap<QString, QString> &files)
{
    // folded name -> the name as written, and the key it belongs to
    QHash<QString, QString> keys;
    QHash<QString, QString> installNames;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString key = normalPath(it.key());
        const QString folded = foldedPath(key);
        if (keys.contains(folded) && keys.value(folded) != key)
            return false;
        keys.insert(folded, key);
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        Descriptor fields;
        Descriptor::split(it.value(), fields);
        const QString name = normalPath(fields.installName);
        const QString folded = foldedPath(name);
        if (installNames.contains(folded) && installNames.value(folded) != name)
            return false;
        installNames.insert(folded, name);
        // Its own key may be its install name: it is unpacked beside itself
        // and renamed into place.
        const auto owner = keys.constFind(folded);
        if (owner != keys.cend() && owner.value() != normalPath(it.key()))
            return false;
    }
    return true;
}

} // namespace vt3::format
