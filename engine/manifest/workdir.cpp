#include "manifestfetch.h"

#include "run/runcontext.h"
#include "run/texts.h"
#include "run/transcript.h"

#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

// The work directory a manifest is fetched into: a broken run's when it
// holds the same manifest, else a new one that nobody else can write into.

namespace {

const QLatin1String WorkDirPrefix("voxtera_temp_");

#ifndef Q_OS_WIN
// The system temp directory is shared: a work directory is only used when
// it is a real directory of ours that no one else can write into.
bool isPrivateDirectory(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}
#endif

bool isUsableWorkDir(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return true;
#else
    return isPrivateDirectory(path);
#endif
}

// Whether anything, a dangling link included, already has this name.
bool nameTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

enum class Creation { Created, Taken, Failed };

Creation createWorkDir(const QString &path)
{
#ifdef Q_OS_WIN
    if (nameTaken(path))
        return Creation::Taken;
    return QDir().mkpath(path) ? Creation::Created : Creation::Failed;
#else
    // mkdir itself decides: a name someone grabs in between is taken, not
    // entered.
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) == 0) {
        ::chmod(native.constData(), 0700);
        return Creation::Created;
    }
    return errno == EEXIST ? Creation::Taken : Creation::Failed;
#endif
}

bool holdsSameManifest(const QString &path, const QByteArray &fresh)
{
    QFile old(path);
    if (!old.open(QIODevice::ReadOnly))
        return false;
    if (old.size() <= 0 || old.size() != fresh.size())
        return false;
    return old.readAll() == fresh;
}

} // namespace

bool vt3::ManifestFetch::prepareTempDir()
{
    const QString systemTemp = tempDir.path();
    const QString freshPath = systemTemp + QLatin1Char('/') + manifestName;
    const QStringList candidates =
        tempDir.entryList(QStringList{WorkDirPrefix + QLatin1Char('*')},
                          QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Unsorted);

    if (!candidates.isEmpty()) {
        QFile freshFile(freshPath);
        if (!freshFile.open(QIODevice::ReadOnly))
            return false;
        const QByteArray fresh = freshFile.readAll();
        freshFile.close();

        for (const QString &candidate : candidates) {
            const QString dir = systemTemp + QLatin1Char('/') + candidate;
            if (!isUsableWorkDir(dir))
                continue;
            if (!holdsSameManifest(dir + QLatin1Char('/') + manifestName, fresh))
                continue;
            tempDir.setPath(dir);
            QFile::remove(freshPath);
            say(vt3::Texts::tr("Resume broken downloads..."));
            return true;
        }
    }

    for (int n = 0;; ++n) {
        const QString dir = systemTemp + QLatin1Char('/') + WorkDirPrefix + QString::number(n);
        if (nameTaken(dir))
            continue;
        const Creation created = createWorkDir(dir);
        if (created == Creation::Taken)
            continue;
        // A directory that cannot be made leaves the manifest behind; the
        // processing then finds no entries and says the manifest is wrong.
        tempDir.setPath(dir);
        if (created == Creation::Created)
            QFile::rename(freshPath, dir + QLatin1Char('/') + manifestName);
        return true;
    }
}

void vt3::ManifestFetch::downloadTo(QString path)
{
    path.remove(tempDir.path() + QLatin1Char('/'), Qt::CaseSensitive);
    say(vt3::Texts::tr("Downloading %1...").arg(path.toHtmlEscaped()));
}

void vt3::ManifestFetch::downloading(QUrl &url)
{
    QString text = url.toString(QUrl::FullyEncoded);
    text.remove(run.releaseUrl, Qt::CaseSensitive);
    say(vt3::Texts::tr("Downloading %1...").arg(text.toHtmlEscaped()));
}
