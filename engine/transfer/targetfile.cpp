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

// Makes path a plain file of our own, empty unless keepContents, without ever following a link
// in its last component. Whatever else stands there (a link, a device, a
// file of another user, a second name of some file) is removed first; the
// no-follow and exclusive flags close the gap between the two steps.
int createOwnFile(const QString &path, bool keepContents)
{
    const QByteArray native = QFile::encodeName(path);
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (keepContents ? 0 : O_TRUNC);
    struct stat info;
    if (::lstat(native.constData(), &info) == 0 &&
        (!S_ISREG(info.st_mode) || info.st_nlink > 1 || info.st_uid != ::geteuid())) {
        if (::unlink(native.constData()) != 0)
            return -1;
        flags |= O_EXCL;
    }
    const int fd = ::open(native.constData(), flags, 0666);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sameFile(int a, int b)
{
    struct stat first;
    struct stat second;
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// outputFile must keep its name, so it is opened by name: without creating
// or truncating anything, and only kept when it is the file just made.
bool openOwnFile(QFile &file, const QString &path, bool keepContents)
{
    const int fd = createOwnFile(path, keepContents);
    if (fd < 0)
        return false;
    file.setFileName(path);
    bool opened = file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered);
    if (opened && !sameFile(fd, file.handle())) {
        file.close();
        opened = false;
    }
    ::close(fd);
    return opened;
}
#endif

} // namespace

bool vt3::openTransferTarget(QFile &file, const QString &path, const QString &base, bool keepContents)
{
    const QString dirPath = QFileInfo(path).path();
#ifdef Q_OS_WIN
    Q_UNUSED(base);
    if (!QDir(dirPath).exists())
        QDir().mkpath(dirPath);
    file.setFileName(path);
    return file.open(QIODevice::ReadWrite | QIODevice::Unbuffered |
                     (keepContents ? QIODevice::NotOpen : QIODevice::Truncate));
#else
    // Below the directory the run writes in, no component may be a link:
    // the system temp directory is shared, and a work directory's contents
    // come from the manifest.
    const QString prefix = base + QLatin1Char('/');
    bool parentsSafe = true;
    if (path.startsWith(prefix)) {
        if (!QDir(base).exists())
            QDir().mkpath(base);
        QString relativeDir = QFileInfo(path.mid(prefix.size())).path();
        if (relativeDir == QLatin1String("."))
            relativeDir.clear();
        parentsSafe = makePrivateParents(base, relativeDir);
    } else if (!QDir(dirPath).exists()) {
        QDir().mkpath(dirPath);
    }
    return parentsSafe && openOwnFile(file, path, keepContents);
#endif
}
