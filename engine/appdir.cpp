#include "appdir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace vt3 {

namespace {
QString &applicationDirOverride()
{
    static QString path;
    return path;
}
} // namespace

QString applicationDir()
{
    const QString &forced = applicationDirOverride();
    if (!forced.isEmpty())
        return forced;
    return QCoreApplication::applicationDirPath();
}

void setApplicationDirForTesting(const QString &path)
{
    applicationDirOverride() = path;
}

QString resolveProgram(const QString &program)
{
    // Windows itself looks beside the running program first, but only
    // beside the executable; naming the file keeps the lookup on the
    // installation that the updater serves on every system, and lets a
    // name that is not there fall through to the system's search.
    if (program.contains(QLatin1Char('/')) || program.contains(QLatin1Char('\\')))
        return program;
    const QString local = applicationDir() + QLatin1Char('/') + program;
    if (QFileInfo(local).isFile())
        return local;
    return program;
}

} // namespace vt3
