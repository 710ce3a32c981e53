#include "releasebuilder.h"

#include "httpfixture.h"
#include "releaseformat.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSettings>

namespace vt3test {

namespace format = vt3::format;

const QString CommonGroup = format::CommonGroup;
const QString BinGroup = format::platformGroup(format::Platform);
const QString ManifestName = format::manifestName(format::Platform);

QString descriptor(const QString &packedMd5, const QString &packedSize, const QString &size, const QString &md5,
                   const QString &installName)
{
    format::Descriptor fields;
    fields.md5 = packedMd5;
    fields.size = packedSize;
    fields.unpackedSize = size;
    fields.unpackedMd5 = md5;
    fields.installName = installName;
    return fields.join();
}

QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

ReleaseBuilder::ReleaseBuilder(const QString &root)
    : root(root)
{
}

ReleaseBuilder::File &ReleaseBuilder::add(const QString &group, const QString &key, const QByteArray &content,
                                          const QString &installName)
{
    return addRaw(group, key, qCompress(content), content, installName);
}

ReleaseBuilder::File &ReleaseBuilder::addRaw(const QString &group, const QString &key, const QByteArray &packed,
                                             const QByteArray &content, const QString &installName)
{
    File file;
    file.group = group;
    file.key = key;
    file.served = packed;
    file.descriptor = descriptor(md5Hex(packed), QString::number(packed.size()), QString::number(content.size()),
                                 md5Hex(content), installName);
    files.append(file);
    return files.last();
}

QByteArray ReleaseBuilder::manifest(const QString &scratchDir) const
{
    const QString path = scratchDir + QLatin1String("/manifest.ini");
    QFile::remove(path);
    {
        QSettings ini(path, QSettings::IniFormat);
        for (const File &file : files)
            ini.setValue(file.group + QLatin1Char('/') + file.key, file.descriptor);
        for (auto it = deletes.cbegin(); it != deletes.cend(); ++it)
            ini.setValue(format::DeleteGroup + QLatin1Char('/') + it.key(), it.value());
        if (vouchesForUnpacked)
            ini.setValue(format::FormatGroup + QLatin1Char('/') + format::UnpackedKey, format::UnpackedMd5Value);
    }
    return readFile(path);
}

void ReleaseBuilder::publish(HttpFixture &http, const QByteArray &manifest) const
{
    http.serve(root + ManifestName, manifest);
    for (const File &file : files)
        http.serve(filePath(file), file.served);
}

QString ReleaseBuilder::filePath(const File &file) const
{
    return root + file.group + QLatin1Char('/') + file.key;
}

} // namespace vt3test
