#include "updateengine.h"

#include "transfer/request.h"

#include "appdir.h"
#include "releasestate.h"
#include "signature.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QTimer>

namespace {

const QLatin1String TrustedKeysFileName("trusted-keys.txt");
const QLatin1String SignatureSuffix(".sig");
// A signature file holds a few lines per key; more is a mirror that sends
// without end.
constexpr qint64 MaxSignatureBytes = 64 * 1024;
constexpr int HttpOk = 200;
constexpr int HttpNotFound = 404;

} // namespace

quint64 vt3::UpdateEngine::releaseId() const
{
    // Only the plain decimal form names a release; anything else is 0,
    // which is older than every release and signed by none.
    const QString text = versionInfo.value(0);
    bool ok = false;
    const quint64 id = text.toULongLong(&ok, 10);
    return ok && QString::number(id) == text ? id : 0;
}

void vt3::UpdateEngine::loadTrustedKeys()
{
    trustedKeys.clear();
    signatureRequired = false;
    const QString path = vt3::applicationDir() + QLatin1Char('/') + TrustedKeysFileName;
    if (!QFileInfo::exists(path))
        return;
    QFile file(path);
    // A key file that is there but cannot be read still asks for signed
    // releases; it only makes every one of them fail.
    signatureRequired = true;
    if (!file.open(QIODevice::ReadOnly))
        return;
    const vt3::signature::TrustedKeys read = vt3::signature::parseTrustedKeys(file.readAll());
    for (const int line : read.malformedLines)
        message(tr("<font color=red>trusted-keys.txt line %1 is not a public key.</font>").arg(line));
    trustedKeys = read.keys;
    signatureRequired = read.required();
}

bool vt3::UpdateEngine::refuseDowngrade()
{
    const quint64 installed = vt3::installedRelease(vt3::applicationDir());
    if (installed == 0 || releaseId() >= installed)
        return false;
    message(tr("<font color=red>Release %1 is older than the installed release %2; it is not installed.</font>")
                .arg(versionInfo.value(0).toHtmlEscaped())
                .arg(installed));
    return true;
}

void vt3::UpdateEngine::fetchSignature()
{
    signatureText.clear();
    currentReceived = 0;
    const QUrl url(releaseUrl + configFile + SignatureSuffix, QUrl::TolerantMode);
    configReply = networkManager.get(vt3::makeRequest(url));
    connect(configReply, &QNetworkReply::readyRead, this, &vt3::UpdateEngine::confSignatureReadyRead);
    connect(configReply, &QNetworkReply::downloadProgress, this, &vt3::UpdateEngine::slotProgress);
    connect(configReply, &QNetworkReply::finished, this, &vt3::UpdateEngine::confSignatureFinished);
    QTimer::singleShot(configTimeout, this, &vt3::UpdateEngine::checkDownload);
}

void vt3::UpdateEngine::confSignatureReadyRead()
{
    if (!configReply || sender() != configReply)
        return;
    signatureText += configReply->readAll();
    if (signatureText.size() <= MaxSignatureBytes)
        return;
    configReply->disconnect(this);
    configReply->abort();
    configReply->deleteLater();
    configReply = nullptr;
    manifestRejected = true;
    rejectManifest(tr("The signature of release %1 is not valid.").arg(versionInfo.value(0)));
}

void vt3::UpdateEngine::confSignatureFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != configReply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool failed = reply->error() != QNetworkReply::NoError || status != HttpOk;
    const bool missing = reply->error() == QNetworkReply::ContentNotFoundError || status == HttpNotFound;
    const QString reason = vt3::transferError(reply);
    signatureText += reply->readAll();
    reply->deleteLater();
    configReply = nullptr;

    const QString id = versionInfo.value(0);
    if (failed) {
        // A signature that could not be fetched is no verdict on the release.
        manifestRejected = manifestRejected || missing;
        rejectManifest(missing ? tr("The signature of release %1 is missing.").arg(id) : reason);
        return;
    }
    QFile manifest(tempDir.path() + QLatin1Char('/') + configFile);
    const bool verified = manifest.open(QIODevice::ReadOnly) &&
                          vt3::signature::verifyRelease(vt3::signature::parseSignatureFile(signatureText), releaseId(),
                                                        manifest.readAll(), trustedKeys);
    manifest.close();
    if (!verified) {
        manifestRejected = true;
        rejectManifest(tr("The signature of release %1 is not valid.").arg(id));
        return;
    }
    acceptManifest();
}

void vt3::UpdateEngine::rejectManifest(const QString &why)
{
    // The manifest has not been used yet: it still lies in the system temp
    // directory, outside any work directory, and goes without a trace.
    QFile::remove(tempDir.path() + QLatin1Char('/') + configFile);
    signatureText.clear();
    message(tr("<font color=red>Error:%1</font>").arg(why.toHtmlEscaped()));
    nextConfigFile();
}

void vt3::UpdateEngine::acceptManifest()
{
    if (!prepareTempDir()) {
        message(tr("Failed to open Temp directory."));
        stop(RunStop::Failed);
        return;
    }
    message(tr("Downloading to %1").arg(tempDir.absolutePath().toHtmlEscaped()));
    processIni();
}
