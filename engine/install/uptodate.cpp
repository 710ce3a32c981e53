#include "uptodate.h"

#include "filehash.h"
#include "releaseformat.h"

#include <QElapsedTimer>
#include <QFileInfo>

namespace vt3 {

namespace {

// Often enough for a bar to move smoothly, seldom enough that thousands of
// small files do not flood the thread that shows it.
constexpr qint64 ProgressIntervalMs = 100;

qint64 unpackedSize(const QString &descriptor)
{
    qint64 size = 0;
    QString md5;
    return format::unpackedOf(descriptor, size, md5) ? size : 0;
}

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

QSet<QString> upToDateKeys(const QString &appDir, const QMap<QString, QString> &files, const CheckProgress &progress)
{
    // Each install name counts once, with the size its first entry gives.
    QMap<QString, qint64> sizes;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        format::Descriptor fields;
        format::Descriptor::split(it.value(), fields);
        const QString name = format::normalPath(fields.installName);
        if (!sizes.contains(name))
            sizes.insert(name, unpackedSize(it.value()));
    }
    qint64 total = 0;
    for (const qint64 size : qAsConst(sizes))
        total += size;
    qint64 done = 0;
    QElapsedTimer sinceReport;
    sinceReport.start();
    if (progress)
        progress(0, total);

    // install name -> whether every entry of that name matched so far
    QMap<QString, bool> names;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        format::Descriptor fields;
        format::Descriptor::split(it.value(), fields);
        const QString name = format::normalPath(fields.installName);
        const auto known = names.constFind(name);
        const bool first = known == names.cend();
        if (!first && !known.value())
            continue;
        names.insert(name, matchesInstalled(appDir + QLatin1Char('/') + name, it.value()));
        if (first)
            done += sizes.value(name);
        if (progress && sinceReport.elapsed() >= ProgressIntervalMs) {
            progress(done, total);
            sinceReport.restart();
        }
    }
    if (progress)
        progress(done, total);

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
