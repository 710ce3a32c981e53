#include "updateclient.h"

#include "descriptor.h"
#include "filehash.h"

#include <QFileInfo>
#include <QNetworkRequest>

void UpdateClient::startNextDownload()
{
    // Complete files and empty groups are passed over within this one call;
    // only a started transfer hands control back to the event loop.
    for (;;) {
        if (outputFile.isOpen())
            outputFile.close();

        if (downloadQueue.isEmpty()) {
            lastExtracted.clear();
            startNextGzip();
            return;
        }

        auto group = downloadQueue.begin();
        if (group.value().isEmpty()) {
            downloadQueue.erase(group);
            continue;
        }

        const QString key = group.value().first();
        const QUrl source(releaseUrl + group.key() + QLatin1Char('/') + key, QUrl::TolerantMode);
        const QString target = tempDir.path() + QLatin1Char('/') + key;
        downloadTo(target);

        QFile file(target);
        if (isDownloaded(file)) {
            completedBytes += file.size();
            group.value().removeFirst();
            continue;
        }

        // A broken file is fetched again from its first byte; there is no
        // ranged resume.
        QFile::remove(target);
        if (!openOutputFile(target))
            return;

        // downloadReadyRead cuts the transfer off past this, so a mirror
        // cannot fill the disk with more than the manifest announced.
        currentExpectedSize = vt3::descriptor::size(vt3::descriptor::split(releaseFiles.value(key)));
        currentWritten = 0;

        QNetworkReply *reply = networkManager.get(QNetworkRequest(source));
        connect(reply, &QNetworkReply::downloadProgress, this, &UpdateClient::slotProgress);
        connect(reply, &QNetworkReply::readyRead, this, &UpdateClient::downloadReadyRead);
        connect(reply, &QNetworkReply::errorOccurred, this, &UpdateClient::error);
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
        connect(reply, &QNetworkReply::finished, this, &UpdateClient::startNextDownload);

        group.value().removeFirst();
        return;
    }
}

bool UpdateClient::isDownloaded(QFile &file)
{
    const QFileInfo info(file);
    if (!info.isFile())
        return false;

    qint64 bytesRead = 0;
    const QString digest = vt3::md5OfFile(file.fileName(), &bytesRead);
    if (digest.isEmpty())
        return false;

    const QString prefix = tempDir.absolutePath() + QLatin1Char('/');
    QString key = info.absoluteFilePath();
    if (key.startsWith(prefix))
        key.remove(0, prefix.size());

    const auto entry = releaseFiles.constFind(key);
    if (entry == releaseFiles.constEnd())
        return false;
    const QStringList fields = vt3::descriptor::split(entry.value());
    if (fields.size() <= vt3::descriptor::SizeField)
        return false;
    return fields.at(vt3::descriptor::Md5Field) == digest && vt3::descriptor::size(fields) == bytesRead;
}

void UpdateClient::error(QNetworkReply::NetworkError code)
{
    if (code == QNetworkReply::NoError)
        return;
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    // The error text can quote the server's reason phrase; it must not be
    // able to put markup into the log.
    const QString text = reply ? reply->errorString() : QString();
    message(tr("<font color=red>Error:%1</font>").arg(text.toHtmlEscaped()));
}
