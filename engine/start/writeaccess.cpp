#include "writeaccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Files the updater only reads: an administrator may well lock them
// against change in an installation the user updates.
const QLatin1String MirrorListName("mirrors.ini");
const QLatin1String TrustedKeysName("trusted-keys.txt");
// The probe's name carries the process id, so that two updaters of two
// users probing one folder never meet on one name.
const QLatin1String ProbePrefix(".vt3-probe-");

bool canCreateIn(const QString &dir)
{
    const QString probe = dir + QLatin1Char('/') + ProbePrefix + QString::number(QCoreApplication::applicationPid());
    QFile file(probe);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    file.close();
    return QFile::remove(probe);
}

#ifdef Q_OS_WIN
bool opens(const QString &path, DWORD access)
{
    // Every sharing mode, so that a file another program holds open is
    // told apart from one the access list refuses.
    const HANDLE handle =
        ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), access,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
        return true;
    }
    return ::GetLastError() != ERROR_ACCESS_DENIED;
}
#endif

// Whether the install could replace the file. It is opened for writing,
// never truncated or written. A read-only bit alone does not stop the
// install, which renames such a file away and clears the bit: that needs
// the right to delete it (Windows) or to write its directory (elsewhere).
bool mayReplace(const QString &path)
{
#ifdef Q_OS_WIN
    return opens(path, GENERIC_WRITE) || opens(path, DELETE);
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (errno == EACCES)
        return canCreateIn(QFileInfo(path).path());
    // A running program (ETXTBSY) is replaced by a rename all the same. A
    // file flagged immutable (EPERM) is met by the install as a file in
    // use is on Windows: it says which, and the next start tries again.
    return errno != EROFS;
#endif
}

bool isOnlyRead(const QString &relative)
{
    return relative.compare(MirrorListName, Qt::CaseInsensitive) == 0 ||
           relative.compare(TrustedKeysName, Qt::CaseInsensitive) == 0;
}

} // namespace

namespace vt3 {

QString unwritablePlace(const QString &appDir)
{
    if (!canCreateIn(appDir))
        return appDir;
    // Any installed file may be one the release replaces.
    const QDir root(appDir);
    QDirIterator files(appDir, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (isOnlyRead(root.relativeFilePath(path)))
            continue;
        if (!mayReplace(path))
            return path;
    }
    return QString();
}

} // namespace vt3
