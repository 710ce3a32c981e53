#include "updateengine.h"

#include "transfer/request.h"

#include <QFileInfo>
#include <QNetworkRequest>
#include <QTimer>

namespace {

// A manifest lists a few hundred files; anything this big is a mirror
// that sends without end, and it would otherwise fill the disk.
constexpr qint64 MaxManifestBytes = 16 * 1024 * 1024;
constexpr int HttpOk = 200;

// Forgets a manifest request for good: none of its later signals may
// reach the window, which has already moved on.
void abandonReply(QNetworkReply *&reply, QObject *receiver)
{
    reply->disconnect(receiver);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

} // namespace

void vt3::UpdateEngine::nextConfigFile()
{
    if (mirrors.isEmpty()) {
        message(tr("<font color=red><b>Failed to download client_%1.ini!</b></font>").arg(platform));
        stop(manifestRejected ? RunStop::Refused : RunStop::Failed);
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

    if (!openOutputFile(localPath)) {
        stop(RunStop::Failed);
        return;
    }

    currentReceived = 0;
    currentWritten = 0;
    configReply = networkManager.get(vt3::makeRequest(url));
    downloadTo(localPath);

    connect(configReply, &QNetworkReply::readyRead, this, &vt3::UpdateEngine::confReadyRead);
    connect(configReply, &QNetworkReply::errorOccurred, this, &vt3::UpdateEngine::confError);
    connect(configReply, &QNetworkReply::downloadProgress, this, &vt3::UpdateEngine::slotProgress);
    connect(configReply, &QNetworkReply::finished, this, &vt3::UpdateEngine::confDownloadFinished);

    // The mirror is dropped when its last allowed request starts.
    ++attempts;
    if (attempts >= mirrorRetries) {
        mirrors.remove(mirrorUrl);
        attempts = 0;
    }

    QTimer::singleShot(configTimeout, this, &vt3::UpdateEngine::checkDownload);
}

void vt3::UpdateEngine::confReadyRead()
{
    if (!configReply || sender() != configReply)
        return;
    switch (writeAvailable(configReply, MaxManifestBytes)) {
    case WriteResult::Written:
        return;
    case WriteResult::Oversized:
        abandonReply(configReply, this);
        message(tr("<font color=red>Error:%1</font>").arg(tr("The manifest is larger than 16 MB.")));
        nextConfigFile();
        return;
    case WriteResult::WriteFailed: {
        // A full disk fails the same way for every mirror: the run ends
        // here instead of processing a cut-off manifest.
        const QString name = outputFile.fileName();
        outputFile.close();
        abandonReply(configReply, this);
        message(tr("<font color=red>write file %1 error</font>").arg(name.toHtmlEscaped()));
        stop(RunStop::Failed);
        return;
    }
    }
}

void vt3::UpdateEngine::confError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code);
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    message(tr("<font color=red>Error:%1</font>").arg(vt3::transferError(reply).toHtmlEscaped()));
    logRequestFailure(reply);
}

void vt3::UpdateEngine::confDownloadFinished()
{
    outputFile.close();
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const bool failed = reply->error() != QNetworkReply::NoError;
    // Only a 200 at the end of the redirects is the manifest; anything
    // else the framework lets through (204, a 3xx it would not follow)
    // fails like an error.
    const bool notOk = !failed && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != HttpOk;
    if (notOk) {
        message(tr("<font color=red>Error:%1</font>").arg(vt3::transferError(reply).toHtmlEscaped()));
        logRequestFailure(reply);
    }
    reply->deleteLater();
    if (reply == configReply)
        configReply = nullptr;

    if (failed || notOk) {
        nextConfigFile();
        return;
    }

    // Nothing of a manifest is used before its signature is checked: not
    // even the work directory it would choose.
    if (signatureRequired) {
        fetchSignature();
        return;
    }
    message(tr("Release %1 is not verified: this installation trusts no signing keys.")
                .arg(versionInfo.value(0).toHtmlEscaped()));
    acceptManifest();
}

void vt3::UpdateEngine::logRequestFailure(QNetworkReply *reply)
{
    logDetail(vt3::requestFailure(reply));
}

void vt3::UpdateEngine::checkDownload()
{
    // Every request arms a watchdog and none is cancelled; each one judges
    // whatever manifest request is in flight when it fires.
    if (!configReply)
        return;
    if (currentReceived != 0)
        return;
    message(tr("<font color=red>Error:timeout</font>"));
    logRequestFailure(configReply);
    abandonReply(configReply, this);
    nextConfigFile();
}
