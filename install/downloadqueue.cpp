#include "updateclient.h"

#include "descriptor.h"
#include "filehash.h"

#include <QFileInfo>

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
        const QString target = tempDir.path() + QLatin1Char('/') + key;
        downloadTo(target);

        QFile file(target);
        if (isDownloaded(file)) {
            completedBytes += file.size();
            group.value().removeFirst();
            continue;
        }

        fileGroup = group.key();
        fileKey = key;
        fileAttempt = 0;
        fileStartedOver = false;
        if (!startFileTransfer())
            return;
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
    const QString text = reply ? transferError(reply) : QString();
    message(tr("<font color=red>Error:%1</font>").arg(text.toHtmlEscaped()));
    if (reply)
        logRequestFailure(reply);
}
