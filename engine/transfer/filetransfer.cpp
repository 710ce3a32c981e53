#include "updateengine.h"

#include "fileverify.h"
#include "pathsafety.h"
#include "releaseformat.h"

#include <QFileInfo>

// One release file from request to end: its status judged before a byte is
// written, continuation of what an earlier transfer left, the stall
// time-out, and the further attempts on this and the other mirrors.

namespace {

constexpr int HttpOk = 200;
constexpr int HttpPartialContent = 206;
// A failed file is asked for this often from the manifest's mirror before
// the other mirrors are tried: one more try covers a dropped connection.
constexpr int AttemptsOnReleaseMirror = 2;
// What a reply holds at once fits one of the pool's buffers.
constexpr qint64 ReadBufferBytes = vt3::PiecePool::PieceBytes;

// The first byte a "bytes N-M/T" answer holds, or -1.
qint64 rangeStart(const QByteArray &contentRange)
{
    const QByteArray value = contentRange.trimmed();
    const QByteArray unit = "bytes ";
    if (!value.startsWith(unit))
        return -1;
    const int dash = value.indexOf('-', unit.size());
    bool ok = false;
    const qint64 start = value.mid(unit.size(), dash - unit.size()).toLongLong(&ok, 10);
    return dash > 0 && ok ? start : -1;
}

constexpr int HttpFirstError = 400;

int httpStatus(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

enum class Response { Append, StartOver, WrongRange, Rejected };

Response judge(QNetworkReply *reply, qint64 resumeOffset)
{
    const int status = httpStatus(reply);
    if (status == HttpOk)
        return Response::StartOver;
    if (status != HttpPartialContent || resumeOffset == 0)
        return Response::Rejected;
    return rangeStart(reply->rawHeader("Content-Range")) == resumeOffset ? Response::Append : Response::WrongRange;
}

} // namespace

QString vt3::UpdateEngine::fileMirror(int attempt) const
{
    if (attempt < AttemptsOnReleaseMirror)
        return releaseUrl;
    int index = attempt - AttemptsOnReleaseMirror;
    for (const QString &mirror : mirrorOrder) {
        if (mirror == mirrorUrl)
            continue;
        if (index-- == 0)
            return mirror + versionInfo.value(0) + QLatin1Char('/');
    }
    return QString();
}

bool vt3::UpdateEngine::startFileTransfer()
{
    const QUrl source(fileMirror(transfer.fileAttempt) + transfer.fileGroup + QLatin1Char('/') + transfer.fileKey,
                      QUrl::TolerantMode);
    const QString target = tempDir.path() + QLatin1Char('/') + transfer.fileKey;
    // downloadReadyRead cuts the transfer off past this, so a mirror cannot
    // fill the disk with more than the manifest announced.
    currentExpectedSize = expectedFile(transfer.fileKey).size;

    // Shorter than announced can be the start of the file and is continued;
    // as long or longer is wrong somewhere and fetched again from byte 0.
    const QFileInfo present(target);
    const bool resume = present.isFile() && present.size() > 0 && present.size() < currentExpectedSize;
    if (!resume)
        QFile::remove(target);
    if (!openOutputFile(target, resume)) {
        stop(RunStop::Failed);
        return false;
    }
    // The target may have been made anew (it was not ours): then from 0.
    transfer.resumeOffset = outputFile.size();
    outputFile.seek(transfer.resumeOffset);
    currentWritten = transfer.resumeOffset;
    headReceived = 0;

    QNetworkRequest request = makeRequest(source);
    if (transfer.resumeOffset > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(transfer.resumeOffset) + '-');
    transfer.fileReply = networkManager.get(request);
    transfer.fileReply->setReadBufferSize(ReadBufferBytes);
    connect(transfer.fileReply, &QNetworkReply::downloadProgress, this, &vt3::UpdateEngine::slotProgress);
    connect(transfer.fileReply, &QNetworkReply::readyRead, this, &vt3::UpdateEngine::downloadReadyRead);
    connect(transfer.fileReply, &QNetworkReply::errorOccurred, this, &vt3::UpdateEngine::error);
    connect(transfer.fileReply, &QNetworkReply::finished, this, &vt3::UpdateEngine::fileTransferFinished);
    transfer.startTimers(stallTimeout, paceWindow);
    return true;
}

bool vt3::UpdateEngine::acceptFileResponse(QNetworkReply *reply)
{
    switch (judge(reply, transfer.resumeOffset)) {
    case Response::Append:
        break;
    case Response::StartOver:
        if (currentWritten > 0) {
            outputFile.resize(0);
            outputFile.seek(0);
        }
        currentWritten = 0;
        transfer.resumeOffset = 0;
        break;
    case Response::WrongRange:
    case Response::Rejected:
        return false;
    }
    transfer.responseAccepted = true;
    beginStream();
    return true;
}

void vt3::UpdateEngine::beginStream()
{
    vt3::StreamJob job;
    job.key = transfer.fileKey;
    job.download = tempDir.path() + QLatin1Char('/') + transfer.fileKey;
    job.expected = expectedFile(transfer.fileKey);
    job.prefix = transfer.resumeOffset;
    job.unpackTarget = streamTarget(transfer.fileKey);
    toWorker([job](vt3::ReleaseWorker *w) { w->beginStream(job); });
    transfer.streaming = true;
}

QString vt3::UpdateEngine::streamTarget(const QString &key)
{
    if (streamTargetsFor != releaseFiles.size()) {
        streamTargetsFor = releaseFiles.size();
        streamTargets.clear();
        // A file is unpacked as it arrives only when nothing else of the
        // release shares its unpacked name or has it as a download: such
        // files are unpacked in key order, from disk, as they always were.
        QHash<QString, int> uses;
        QHash<QString, QString> names;
        for (auto entry = releaseFiles.constBegin(); entry != releaseFiles.constEnd(); ++entry) {
            vt3::format::Descriptor fields;
            if (!vt3::format::Descriptor::split(entry.value(), fields))
                continue;
            const QString installName = vt3::format::normalPath(fields.installName);
            if (!vt3::isSafeRelativePath(installName))
                continue;
            names.insert(entry.key(), installName);
            ++uses[vt3::format::foldedPath(installName)];
        }
        for (auto entry = releaseFiles.constBegin(); entry != releaseFiles.constEnd(); ++entry)
            ++uses[vt3::format::foldedPath(entry.key())];
        for (auto name = names.constBegin(); name != names.constEnd(); ++name) {
            if (uses.value(vt3::format::foldedPath(name.value())) == 1)
                streamTargets.insert(name.key(), tempDir.path() + QLatin1Char('/') + name.value());
        }
    }
    return streamTargets.value(key);
}

void vt3::UpdateEngine::downloadReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    if (reply == transfer.fileReply)
        transfer.stallTimer.start(stallTimeout);

    if (!transfer.responseAccepted) {
        // An error page: the framework reports the status itself when the
        // answer ends.
        if (reply->error() != QNetworkReply::NoError || httpStatus(reply) >= HttpFirstError) {
            reply->readAll();
            return;
        }
        if (judge(reply, transfer.resumeOffset) == Response::WrongRange && reply == transfer.fileReply) {
            // Bytes from elsewhere in the file cannot be placed; the whole
            // file from byte 0 instead.
            abandonFileTransfer();
            QFile::remove(tempDir.path() + QLatin1Char('/') + transfer.fileKey);
            startFileTransfer();
            return;
        }
        if (!acceptFileResponse(reply)) {
            // Nothing of an answer that is not the file may reach it; the
            // line names the status, and the attempt has failed.
            message(tr("<font color=red>Error:%1</font>").arg(transferError(reply).toHtmlEscaped()));
            logRequestFailure(reply);
            disconnect(reply, &QNetworkReply::errorOccurred, this, &vt3::UpdateEngine::error);
            reply->abort();
            return;
        }
    }

    writeReleaseBytes(reply, reply == transfer.fileReply);
}

bool vt3::UpdateEngine::writeReleaseBytes(QNetworkReply *reply, bool ofStream)
{
    const WriteResult result = writeAvailable(reply, currentExpectedSize, ofStream);
    if (result == WriteResult::Written)
        return true;
    if (result == WriteResult::WriteFailed) {
        message(tr("<font color=red>write file %1 error</font>").arg(outputFile.fileName().toHtmlEscaped()));
    } else {
        const QString key = outputFile.fileName().remove(tempDir.path() + QLatin1Char('/'));
        message(tr("<font color=red>Error:%1</font>")
                    .arg(tr("%1 is larger than the manifest announces.").arg(key).toHtmlEscaped()));
    }
    // abort() reports the failure and finished() at once, and the file's
    // next attempt or the queue goes on from there; nothing of this reply
    // may reach the writer or the progress display afterwards.
    disconnect(reply, &QNetworkReply::readyRead, this, &vt3::UpdateEngine::downloadReadyRead);
    disconnect(reply, &QNetworkReply::downloadProgress, this, &vt3::UpdateEngine::slotProgress);
    reply->abort();
    return false;
}

void vt3::UpdateEngine::fileTransferFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply != transfer.fileReply)
        return;
    transfer.fileReply = nullptr;
    transfer.stopTimers();

    bool ok = reply->error() == QNetworkReply::NoError;
    // An answer without a body (204, an empty 206) was never judged.
    if (ok && !transfer.responseAccepted && !acceptFileResponse(reply)) {
        message(tr("<font color=red>Error:%1</font>").arg(transferError(reply).toHtmlEscaped()));
        logRequestFailure(reply);
        ok = false;
    }
    // The file's end may still be in the reply; it goes to the digests
    // too, or the file would fail them and be read from disk once more.
    if (ok && reply->bytesAvailable() > 0)
        ok = writeReleaseBytes(reply, true);
    outputFile.close();
    if (!ok) {
        retryFile();
        return;
    }

    transfer.streaming = false;
    ++streamsInFlight;
    toWorker([](vt3::ReleaseWorker *w) { w->endStream(); });
    // A patch is applied once its digests are known to be right.
    if (patchOwner.contains(transfer.fileKey)) {
        awaitingPatch = true;
        return;
    }
    // A continued file is only as good as the part an earlier transfer
    // left; its digests decide whether it is fetched once more from byte 0.
    if (transfer.resumeOffset > 0 && !transfer.fileStartedOver) {
        awaitingResumeVerdict = true;
        return;
    }
    // The transfer's progress counted only the bytes it carried.
    completedBytes += transfer.resumeOffset;
    startNextDownload();
}

void vt3::UpdateEngine::fileChecked(const vt3::CheckedFile &checked)
{
    checkedFiles.insert(checked.key, checked);
    if (checked.origin == vt3::CheckedFile::Origin::Present) {
        presentChecked(checked);
        return;
    }
    --streamsInFlight;
    if (awaitingPatch && checked.key == transfer.fileKey) {
        awaitingPatch = false;
        if (checked.verification == vt3::Verification::Ok) {
            applyFetchedPatch();
        } else if (transfer.resumeOffset > 0 && !transfer.fileStartedOver) {
            transfer.fileStartedOver = true;
            QFile::remove(tempDir.path() + QLatin1Char('/') + transfer.fileKey);
            startFileTransfer();
        } else {
            fallBackToFullFile(patchOwner.value(checked.key), QStringLiteral("its digests are not the manifest's"));
        }
        return;
    }
    if (awaitingResumeVerdict && checked.key == transfer.fileKey) {
        awaitingResumeVerdict = false;
        if (checked.verification != vt3::Verification::Ok) {
            // The part an earlier transfer left is the suspect; the whole
            // file once more, and verification judges what follows.
            transfer.fileStartedOver = true;
            QFile::remove(tempDir.path() + QLatin1Char('/') + transfer.fileKey);
            startFileTransfer();
            return;
        }
        completedBytes += transfer.resumeOffset;
        startNextDownload();
        return;
    }
    if (gzipWaiting && streamsInFlight == 0) {
        gzipWaiting = false;
        startNextGzip();
    }
}

void vt3::UpdateEngine::abandonFileTransfer()
{
    transfer.stopTimers();
    dropStream();
    if (!transfer.fileReply)
        return;
    transfer.fileReply->disconnect(this);
    transfer.fileReply->abort();
    transfer.fileReply->deleteLater();
    transfer.fileReply = nullptr;
    outputFile.close();
}

void vt3::UpdateEngine::checkStall()
{
    if (!transfer.fileReply)
        return;
    giveUpTransfer(tr("<font color=red>Error:timeout</font>"));
}

void vt3::UpdateEngine::giveUpTransfer(const QString &line)
{
    // Released later, so it can still name itself in the disk log.
    QNetworkReply *reply = transfer.fileReply;
    abandonFileTransfer();
    message(line);
    logRequestFailure(reply);
    retryFile();
}

void vt3::UpdateEngine::checkPace()
{
    if (transfer.fileReply && !transfer.keepsPace(currentWritten, paceWindow))
        giveUpTransfer(tooSlowLine());
}

QString vt3::UpdateEngine::tooSlowLine() const
{
    return tr("<font color=red>Error:%1</font>")
        .arg(tr("The transfer is too slow: less than 1 KB/s over the last %1 s.")
                 .arg(paceWindow / 1000)
                 .toHtmlEscaped());
}

void vt3::UpdateEngine::dropStream()
{
    if (!transfer.streaming)
        return;
    transfer.streaming = false;
    toWorker([](vt3::ReleaseWorker *w) { w->dropStream(); });
}

void vt3::UpdateEngine::retryFile()
{
    dropStream();
    ++transfer.fileAttempt;
    if (!fileMirror(transfer.fileAttempt).isEmpty()) {
        startFileTransfer();
        return;
    }
    if (patchOwner.contains(transfer.fileKey)) {
        fallBackToFullFile(patchOwner.value(transfer.fileKey), QStringLiteral("no mirror served it"));
        return;
    }
    startNextDownload();
}
