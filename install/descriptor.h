#ifndef DESCRIPTOR_H
#define DESCRIPTOR_H

#include <QString>
#include <QStringList>

// A release file's manifest value: "md5::size::unpacked size::unpacked
// md5::install name". Only fields 0, 1 and 4 mean anything to the updater.
namespace vt3::descriptor {

constexpr int Md5Field = 0;
constexpr int SizeField = 1;
constexpr int InstallNameField = 4;
constexpr int FieldCount = 5;

inline QStringList split(const QString &descriptor)
{
    return descriptor.split(QLatin1String("::"), Qt::KeepEmptyParts, Qt::CaseSensitive);
}

// Text that is not a number counts as 0 bytes, like an empty file.
inline qint64 size(const QStringList &fields)
{
    return fields.size() > SizeField ? fields.at(SizeField).toLongLong(nullptr, 10) : 0;
}

// Manifests written on Windows may separate directories with "\".
inline QString installName(const QStringList &fields)
{
    if (fields.size() <= InstallNameField)
        return QString();
    QString name = fields.at(InstallNameField);
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return name;
}

} // namespace vt3::descriptor

#endif // DESCRIPTOR_H
