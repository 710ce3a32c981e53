#include "targetfile.h"

#include <QDir>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// The target of every transfer, the manifest's and the release files':
// made without following planted links.

namespace {

#ifndef Q_OS_WIN
// Creates the directories between base and the file one by one, so that
// none of them can be a link someone else planted: mkpath would follow it.
bool makePrivateParents(const QString &base, const QString &relativeDir)
{
    QString current = base;
    const QStringList segments = relativeDir.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &segment : segments) {
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
        current += QLatin1Char('/') + segment;
        const QByteArray native = QFile::encodeName(current);
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        struct stat info;
        if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
            return false;
    }
    return true;
}

uid_t ourUser()
{
    static const uid_t user = ::geteuid();
    return user;
}

// Makes path a plain file of our own, its contents kept, without ever
// following a link in its last component. Whatever else stands there (a
// link, a device, a file of another user, a second name of some file) is
// removed first; the no-follow and exclusive flags close the gap between
// the two steps.
int createOwnFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    struct stat info;
    if (::lstat(native.constData(), &info) == 0 &&
        (!S_ISREG(info.st_mode) || info.st_nlink > 1 || info.st_uid != ourUser())) {
        if (::unlink(native.constData()) != 0)
            return -1;
        flags |= O_EXCL;
    }
    const int fd = ::open(native.constData(), flags, 0666);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ourUser()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The descriptor just checked is the one written through, so nothing can
// swap the file between the check and the first write. (The QFile is
// nameless then; its owner knows the path.)
bool openOwnFile(QFile &file, const QString &path)
{
    const int fd = createOwnFile(path);
    if (fd < 0)
        return false;
    if (file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    return false;
}
#endif

} // namespace

bool vt3::openTransferTarget(QFile &file, const QString &path, const QString &base, KnownDirs *known)
{
    const QString dirPath = QFileInfo(path).path();
    const bool dirKnown = known && known->contains(dirPath);
#ifdef Q_OS_WIN
    Q_UNUSED(base);
    if (!dirKnown && !QDir(dirPath).exists())
        QDir().mkpath(dirPath);
    file.setFileName(path);
    const bool opened = file.open(QIODevice::ReadWrite | QIODevice::Unbuffered);
#else
    // Below the directory the run writes in, no component may be a link:
    // the system temp directory is shared, and a work directory's contents
    // come from the manifest.
    const QString prefix = base + QLatin1Char('/');
    bool parentsSafe = true;
    if (dirKnown) {
        // Checked earlier in this run.
    } else if (path.startsWith(prefix)) {
        if (!QDir(base).exists())
            QDir().mkpath(base);
        QString relativeDir = QFileInfo(path.mid(prefix.size())).path();
        if (relativeDir == QLatin1String("."))
            relativeDir.clear();
        parentsSafe = makePrivateParents(base, relativeDir);
    } else if (!QDir(dirPath).exists()) {
        QDir().mkpath(dirPath);
    }
    const bool opened = parentsSafe && openOwnFile(file, path);
#endif
    if (opened && known)
        known->insert(dirPath);
    return opened;
}

bool vt3::nameTaken(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo present(path);
    return present.exists() || present.isSymLink();
#else
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 || errno != ENOENT;
#endif
}
