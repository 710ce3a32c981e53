#include "updateclient.h"

#include "fileverify.h"
#include "releaseformat.h"

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
    const QString prefix = tempDir.absolutePath() + QLatin1Char('/');
    QString key = vt3::format::normalPath(info.absoluteFilePath());
    if (key.startsWith(prefix))
        key.remove(0, prefix.size());

    const auto entry = releaseFiles.constFind(key);
    if (entry == releaseFiles.constEnd())
        return false;
    return vt3::verifyFile(file.fileName(), expectedFile(key)) == vt3::Verification::Ok;
}

vt3::ExpectedFile UpdateClient::expectedFile(const QString &key) const
{
    // The SHA-256, when the manifest lists one, is checked with the size and
    // MD5 wherever they are; the signature covers all three.
    vt3::ExpectedFile expected = vt3::expectedOf(releaseFiles.value(key));
    expected.sha256 = releaseDigests.value(key);
    return expected;
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
