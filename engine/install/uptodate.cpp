#include "uptodate.h"

#include "filehash.h"
#include "releaseformat.h"

#include <QFileInfo>

namespace vt3 {

namespace {

bool matchesInstalled(const QString &installed, const QString &descriptor)
{
    qint64 size = 0;
    QString md5;
    if (!format::unpackedOf(descriptor, size, md5))
        return false;
    const QFileInfo info(installed);
    // The size alone rules most changed files out without reading them.
    if (info.isSymLink() || !info.isFile() || info.size() != size)
        return false;
    qint64 read = -1;
    const QString digest = md5OfFile(installed, &read);
    return !digest.isEmpty() && read == size && digest.compare(md5, Qt::CaseInsensitive) == 0;
}

} // namespace

QSet<QString> upToDateKeys(const QString &appDir, const QMap<QString, QString> &files)
{
    // install name -> whether every entry of that name matched so far
    QMap<QString, bool> names;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        format::Descriptor fields;
        format::Descriptor::split(it.value(), fields);
        const QString name = format::normalPath(fields.installName);
        const auto known = names.constFind(name);
        if (known != names.cend() && !known.value())
            continue;
        names.insert(name, matchesInstalled(appDir + QLatin1Char('/') + name, it.value()));
    }

    QSet<QString> keys;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        format::Descriptor fields;
        format::Descriptor::split(it.value(), fields);
        if (names.value(format::normalPath(fields.installName)))
            keys.insert(it.key());
    }
    return keys;
}

} // namespace vt3
