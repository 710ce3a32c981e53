#include "manifestfetch.h"

#include "install/durable.h"

#include "releaseformat.h"
#include "run/runcontext.h"
#include "run/runprogress.h"
#include "run/texts.h"
#include "run/transcript.h"
#include "signature.h"
#include "transfer/request.h"
#include "transfer/targetfile.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
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

const QLatin1String SignatureSuffix(".sig");
// A signature file holds a few lines per key; more is a mirror that sends
// without end.
constexpr qint64 MaxSignatureBytes = 64 * 1024;
constexpr int HttpNotFound = 404;

} // namespace

void vt3::ManifestFetch::nextConfigFile()
{
    if (mirrors.isEmpty()) {
        say(vt3::Texts::tr("<font color=red><b>Failed to download client_%1.ini!</b></font>")
                .arg(vt3::format::Platform));
        stop(rejected ? RunStop::Refused : RunStop::Failed);
        return;
    }

    // In the order the run tries mirrors, which what earlier runs learnt
    // of them may have changed; any not in that order last.
    auto current = mirrors.constBegin();
    for (const QString &mirror : qAsConst(run.mirrorOrder)) {
        const auto listed = mirrors.constFind(mirror);
        if (listed != mirrors.cend()) {
            current = listed;
            break;
        }
    }
    run.mirrorUrl = current.key();
    run.releaseUrl = run.mirrorUrl + run.releaseId + QLatin1Char('/');
    retries = current.value();

    const QUrl url(run.releaseUrl + manifestName, QUrl::TolerantMode);
    // Always the manifest's own name: a mirror URL with a query or a
    // fragment must not decide where the file lands.
    const QString localPath = tempDir.path() + QLatin1Char('/') + manifestName;

    if (!openOutputFile(localPath)) {
        stop(RunStop::Failed);
        return;
    }

    requestManifest(url, vt3::MaxRedirects);
    downloadTo(localPath);

    // The mirror is dropped when its last allowed request starts.
    ++attempts;
    if (attempts >= retries) {
        mirrors.remove(run.mirrorUrl);
        attempts = 0;
    }

    QTimer::singleShot(run.limits.manifestTimeoutMs, this, &vt3::ManifestFetch::checkDownload);
}

void vt3::ManifestFetch::requestManifest(const QUrl &url, int redirects)
{
    received = 0;
    written = 0;
    configReply = run.network.get(vt3::makeRequest(url, run.http2, redirects));
    vt3::watchRedirects(configReply);
    connect(configReply, &QNetworkReply::readyRead, this, &vt3::ManifestFetch::confReadyRead);
    connect(configReply, &QNetworkReply::errorOccurred, this, &vt3::ManifestFetch::confError);
    connect(configReply, &QNetworkReply::downloadProgress, this, &vt3::ManifestFetch::slotProgress);
    connect(configReply, &QNetworkReply::finished, this, &vt3::ManifestFetch::confDownloadFinished);
}

bool vt3::ManifestFetch::askAgainWhereRedirected(QNetworkReply *reply,
                                                 void (ManifestFetch::*request)(const QUrl &, int))
{
    const QUrl relative = vt3::relativeRedirect(reply);
    if (!relative.isValid())
        return false;
    reply->disconnect(this);
    reply->deleteLater();
    (this->*request)(relative, vt3::redirectsLeft(reply));
    return true;
}

void vt3::ManifestFetch::confReadyRead()
{
    if (!configReply || sender() != configReply)
        return;
    switch (writeAvailable(configReply, MaxManifestBytes)) {
    case WriteResult::Written:
        return;
    case WriteResult::Oversized:
        abandonReply(configReply, this);
        say(vt3::Texts::tr("<font color=red>Error:%1</font>")
                .arg(vt3::Texts::tr("The manifest is larger than 16 MB.")));
        nextConfigFile();
        return;
    case WriteResult::WriteFailed: {
        // A full disk fails the same way for every mirror: the run ends
        // here instead of processing a cut-off manifest.
        const QString name = outputPath;
        output.close();
        abandonReply(configReply, this);
        say(vt3::Texts::tr("<font color=red>write file %1 error</font>").arg(name.toHtmlEscaped()));
        stop(RunStop::Failed);
        return;
    }
    }
}

void vt3::ManifestFetch::confError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code);
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    // The framework's failed attempt at a relative redirect is followed
    // properly once it has ended.
    if (!reply || vt3::relativeRedirect(reply).isValid())
        return;
    say(vt3::Texts::tr("<font color=red>Error:%1</font>").arg(vt3::transferError(reply).toHtmlEscaped()));
    logRequestFailure(reply);
}

void vt3::ManifestFetch::confDownloadFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (reply && reply == configReply && written == 0 &&
        askAgainWhereRedirected(reply, &ManifestFetch::requestManifest))
        return;
    output.close();
    if (!reply)
        return;
    const bool failed = reply->error() != QNetworkReply::NoError;
    // Only a 200 at the end of the redirects is the manifest; anything
    // else the framework lets through (204, a 3xx it would not follow)
    // fails like an error.
    const bool notOk = !failed && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != HttpOk;
    if (notOk) {
        say(vt3::Texts::tr("<font color=red>Error:%1</font>").arg(vt3::transferError(reply).toHtmlEscaped()));
        logRequestFailure(reply);
    }
    reply->deleteLater();
    if (reply == configReply)
        configReply = nullptr;

    if (failed || notOk) {
        run.mirrorFailed(run.mirrorUrl, vt3::failureKind(reply));
        nextConfigFile();
        return;
    }
    // The release's files come from this mirror first; whether it spoke
    // HTTP/2 decides how many of them may be asked for at once.
    run.multiplexed = reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();

    // Nothing of a manifest is used before its signature is checked: not
    // even the work directory it would choose.
    if (signatureRequired) {
        fetchSignature();
        return;
    }
    say(vt3::Texts::tr("Release %1 is not verified: this installation trusts no signing keys.")
            .arg(run.releaseId.toHtmlEscaped()));
    acceptManifest();
}

void vt3::ManifestFetch::checkDownload()
{
    // Every request arms a watchdog and none is cancelled; each one judges
    // whatever manifest request is in flight when it fires.
    if (!configReply)
        return;
    if (received != 0)
        return;
    say(vt3::Texts::tr("<font color=red>Error:timeout</font>"));
    logRequestFailure(configReply);
    run.mirrorFailed(run.mirrorUrl, QStringLiteral("time-out"));
    abandonReply(configReply, this);
    nextConfigFile();
}

void vt3::ManifestFetch::fetchSignature()
{
    signature.clear();
    received = 0;
    requestSignature(QUrl(run.releaseUrl + manifestName + SignatureSuffix, QUrl::TolerantMode), vt3::MaxRedirects);
}

void vt3::ManifestFetch::requestSignature(const QUrl &url, int redirects)
{
    configReply = run.network.get(vt3::makeRequest(url, run.http2, redirects));
    vt3::watchRedirects(configReply);
    connect(configReply, &QNetworkReply::readyRead, this, &vt3::ManifestFetch::confSignatureReadyRead);
    connect(configReply, &QNetworkReply::downloadProgress, this, &vt3::ManifestFetch::slotProgress);
    connect(configReply, &QNetworkReply::finished, this, &vt3::ManifestFetch::confSignatureFinished);
    QTimer::singleShot(run.limits.manifestTimeoutMs, this, &vt3::ManifestFetch::checkDownload);
}

void vt3::ManifestFetch::confSignatureReadyRead()
{
    if (!configReply || sender() != configReply)
        return;
    signature += configReply->readAll();
    if (signature.size() <= MaxSignatureBytes)
        return;
    configReply->disconnect(this);
    configReply->abort();
    configReply->deleteLater();
    configReply = nullptr;
    rejected = true;
    rejectManifest(vt3::Texts::tr("The signature of release %1 is not valid.").arg(run.releaseId));
}

void vt3::ManifestFetch::confSignatureFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != configReply)
        return;
    if (signature.isEmpty() && askAgainWhereRedirected(reply, &ManifestFetch::requestSignature))
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool failed = reply->error() != QNetworkReply::NoError || status != HttpOk;
    const bool missing = reply->error() == QNetworkReply::ContentNotFoundError || status == HttpNotFound;
    const QString reason = vt3::transferError(reply);
    signature += reply->readAll();
    reply->deleteLater();
    configReply = nullptr;

    const QString id = run.releaseId;
    if (failed) {
        // A signature that could not be fetched is no verdict on the release.
        rejected = rejected || missing;
        rejectManifest(missing ? vt3::Texts::tr("The signature of release %1 is missing.").arg(id) : reason);
        return;
    }
    QFile manifest(tempDir.path() + QLatin1Char('/') + manifestName);
    const bool verified = manifest.open(QIODevice::ReadOnly) &&
                          vt3::signature::verifyRelease(vt3::signature::parseSignatureFile(signature),
                                                        run.releaseNumber(), manifest.readAll(), trustedKeys);
    manifest.close();
    if (!verified) {
        rejected = true;
        rejectManifest(vt3::Texts::tr("The signature of release %1 is not valid.").arg(id));
        return;
    }
    acceptManifest();
}

void vt3::ManifestFetch::rejectManifest(const QString &why)
{
    // The manifest has not been used yet: it still lies in the system temp
    // directory, outside any work directory, and goes without a trace.
    QFile::remove(tempDir.path() + QLatin1Char('/') + manifestName);
    signature.clear();
    run.mirrorFailed(run.mirrorUrl, QStringLiteral("signature"));
    say(vt3::Texts::tr("<font color=red>Error:%1</font>").arg(why.toHtmlEscaped()));
    nextConfigFile();
}

void vt3::ManifestFetch::acceptManifest()
{
    if (!prepareTempDir()) {
        say(vt3::Texts::tr("Failed to open Temp directory."));
        stop(RunStop::Failed);
        return;
    }
    say(vt3::Texts::tr("Downloading to %1").arg(tempDir.absolutePath().toHtmlEscaped()));
    run.workDir = tempDir.path();
    run.mirrorServed(run.mirrorUrl);
    // Beside the manifest it signs, so that the run can keep both once the
    // release is installed. Without it nothing but the kept signature is lost.
    if (!signature.isEmpty())
        vt3::writeFileDurably(run.workPath(manifestName + SignatureSuffix), signature);
    // Always from the event loop: this is the reply's own signal.
    QMetaObject::invokeMethod(this, &ManifestFetch::accepted, Qt::QueuedConnection);
}

bool vt3::ManifestFetch::openOutputFile(const QString &path, bool keepContents)
{
    if (output.isOpen())
        output.close();
    written = 0;
    outputPath = path;
    if (!vt3::openTransferTarget(output, path, tempDir.path()) || (!keepContents && !output.resize(0))) {
        output.close();
        say(vt3::Texts::tr("<font color=red>write file %1 error</font>").arg(path.toHtmlEscaped()));
        return false;
    }
    return true;
}

vt3::ManifestFetch::WriteResult vt3::ManifestFetch::writeAvailable(QNetworkReply *reply, qint64 limit)
{
    while (reply->bytesAvailable() > 0) {
        QByteArray data = pieces.read(*reply).bytes;
        if (data.isEmpty())
            break;
        WriteResult result = WriteResult::Written;
        if (limit >= 0 && written + data.size() > limit) {
            data.truncate(int(qMax<qint64>(0, limit - written)));
            result = WriteResult::Oversized;
        }
        if (!data.isEmpty() && output.write(data) != data.size())
            return WriteResult::WriteFailed;
        written += data.size();
        if (result != WriteResult::Written)
            return result;
    }
    return WriteResult::Written;
}

vt3::ManifestFetch::ManifestFetch(RunContext &context, const QMap<QString, int> &listed,
                                  const QVector<QByteArray> &keys, bool required, QObject *parent)
    : QObject(parent)
    , run(context)
    , mirrors(listed)
    , trustedKeys(keys)
    , signatureRequired(required)
    , manifestName(vt3::format::manifestName(vt3::format::Platform))
    , tempDir(QDir::temp())
{
}

vt3::ManifestFetch::~ManifestFetch()
{
    if (configReply)
        abandonReply(configReply, this);
}

void vt3::ManifestFetch::start()
{
    nextConfigFile();
}

void vt3::ManifestFetch::say(const QString &html)
{
    run.transcript.line(html);
}

void vt3::ManifestFetch::stop(RunStop why)
{
    QMetaObject::invokeMethod(
        this, [this, why] { emit stopped(why); }, Qt::QueuedConnection);
}

void vt3::ManifestFetch::slotProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // The watchdog only asks whether anything arrived; the low bits suffice.
    received = static_cast<int>(bytesReceived);
    run.progress.headProgress(bytesReceived, bytesTotal);
}

void vt3::ManifestFetch::logRequestFailure(QNetworkReply *failed)
{
    run.transcript.detail(vt3::requestFailure(failed));
}
