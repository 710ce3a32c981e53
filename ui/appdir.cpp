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
#ifdef Q_OS_WIN
    // CreateProcess already searches the executable's directory first.
    return program;
#else
    if (program.contains(QLatin1Char('/')))
        return program;
    const QString local = applicationDir() + QLatin1Char('/') + program;
    if (QFileInfo(local).isFile())
        return local;
    return program;
#endif
}

} // namespace vt3
