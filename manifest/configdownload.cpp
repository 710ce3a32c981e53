#include "updateclient.h"

#include <QFileInfo>
#include <QNetworkRequest>
#include <QTimer>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A manifest lists a few hundred files; anything this big is a mirror
// that sends without end, and it would otherwise fill the disk.
constexpr qint64 MaxManifestBytes = 16 * 1024 * 1024;

bool writeAll(QFile &file, const QByteArray &data)
{
    return data.isEmpty() || file.write(data) == data.size();
}

// Forgets a manifest request for good: none of its later signals may
// reach the window, which has already moved on.
void abandonReply(QNetworkReply *&reply, QObject *receiver)
{
    reply->disconnect(receiver);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

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

// Makes path a plain file of our own, empty, without ever following a link
// in its last component. Whatever else stands there (a link, a device, a
// file of another user, a second name of some file) is removed first; the
// no-follow and exclusive flags close the gap between the two steps.
int createOwnFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
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
bool openOwnFile(QFile &file, const QString &path)
{
    const int fd = createOwnFile(path);
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

void UpdateClient::nextConfigFile()
{
    if (mirrors.isEmpty()) {
        message(tr("<font color=red><b>Failed to download client_%1.ini!</b></font>").arg(platform));
        return;
    }

    const auto current = mirrors.constBegin();
    mirrorUrl = current.key();
    releaseUrl = mirrorUrl + versionInfo.value(0) + QLatin1Char('/');
    mirrorRetries = current.value();

    const QUrl url(releaseUrl + configFile, QUrl::TolerantMode);
    // Always the manifest's own name: a mirror URL with a query or a
    // fragment must not decide where the file lands.
    const QString localPath = tempDir.path() + QLatin1Char('/') + configFile;

    if (!openOutputFile(localPath))
        return;

    currentReceived = 0;
    currentExpectedSize = -1;
    currentWritten = 0;
    configReply = networkManager.get(QNetworkRequest(url));
    downloadTo(localPath);

    connect(configReply, &QNetworkReply::readyRead, this, &UpdateClient::downloadReadyRead);
    connect(configReply, &QNetworkReply::errorOccurred, this, &UpdateClient::confError);
    connect(configReply, &QNetworkReply::downloadProgress, this, &UpdateClient::slotProgress);
    connect(configReply, &QNetworkReply::finished, this, &UpdateClient::confDownloadFinished);

    // The mirror is dropped when its last allowed request starts.
    ++attempts;
    if (attempts >= mirrorRetries) {
        mirrors.remove(mirrorUrl);
        attempts = 0;
    }

    QTimer::singleShot(configTimeout, this, &UpdateClient::checkDownload);
}

bool UpdateClient::openOutputFile(const QString &path)
{
    if (outputFile.isOpen())
        outputFile.close();
    currentWritten = 0;

    const QString dirPath = QFileInfo(path).path();
    bool opened = false;
#ifdef Q_OS_WIN
    if (!QDir(dirPath).exists())
        QDir().mkpath(dirPath);
    outputFile.setFileName(path);
    opened = outputFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
#else
    // Below the directory the run writes in, no component may be a link:
    // the system temp directory is shared, and a work directory's contents
    // come from the manifest.
    const QString base = tempDir.path();
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
    opened = parentsSafe && openOwnFile(outputFile, path);
#endif
    if (!opened) {
        message(tr("<font color=red>write file %1 error</font>").arg(path.toHtmlEscaped()));
        return false;
    }
    return true;
}

void UpdateClient::downloadReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const QByteArray data = reply->readAll();

    if (reply == configReply) {
        if (currentWritten + data.size() > MaxManifestBytes) {
            abandonReply(configReply, this);
            message(tr("<font color=red>Error:%1</font>").arg(tr("The manifest is larger than 16 MB.")));
            nextConfigFile();
            return;
        }
        if (!writeAll(outputFile, data)) {
            // A full disk fails the same way for every mirror: the run ends
            // here instead of processing a cut-off manifest.
            const QString name = outputFile.fileName();
            outputFile.close();
            abandonReply(configReply, this);
            message(tr("<font color=red>write file %1 error</font>").arg(name.toHtmlEscaped()));
            return;
        }
        currentWritten += data.size();
        return;
    }

    QByteArray accepted = data;
    bool oversized = false;
    if (currentExpectedSize >= 0 && currentWritten + data.size() > currentExpectedSize) {
        accepted.truncate(int(qMax<qint64>(0, currentExpectedSize - currentWritten)));
        oversized = true;
    }
    const bool written = writeAll(outputFile, accepted);
    if (written)
        currentWritten += accepted.size();

    if (!written) {
        message(tr("<font color=red>write file %1 error</font>").arg(outputFile.fileName().toHtmlEscaped()));
    } else if (oversized) {
        const QString key = outputFile.fileName().remove(tempDir.path() + QLatin1Char('/'));
        message(tr("<font color=red>Error:%1</font>")
                    .arg(tr("%1 is larger than the manifest announces.").arg(key).toHtmlEscaped()));
    } else {
        return;
    }
    // abort() reports the failure and finished() at once, and the queue goes
    // on from there as after any failed transfer; nothing of this reply may
    // reach the writer or the progress display afterwards. Verification
    // later stops the run at this file.
    disconnect(reply, &QNetworkReply::readyRead, this, &UpdateClient::downloadReadyRead);
    disconnect(reply, &QNetworkReply::downloadProgress, this, &UpdateClient::slotProgress);
    reply->abort();
}

void UpdateClient::confError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code);
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    message(tr("<font color=red>Error:%1</font>").arg(reply->errorString().toHtmlEscaped()));
}

void UpdateClient::confDownloadFinished()
{
    outputFile.close();
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const bool failed = reply->error() != QNetworkReply::NoError;
    reply->deleteLater();
    if (reply == configReply)
        configReply = nullptr;

    if (failed) {
        nextConfigFile();
        return;
    }

    if (!prepareTempDir()) {
        message(tr("Failed to open Temp directory."));
        return;
    }
    message(tr("Downloading to %1").arg(tempDir.absolutePath().toHtmlEscaped()));
    processIni();
}

void UpdateClient::checkDownload()
{
    // Every request arms a watchdog and none is cancelled; each one judges
    // whatever manifest request is in flight when it fires.
    if (!configReply)
        return;
    if (currentReceived != 0)
        return;
    abandonReply(configReply, this);
    message(tr("<font color=red>Error:timeout</font>"));
    nextConfigFile();
}
