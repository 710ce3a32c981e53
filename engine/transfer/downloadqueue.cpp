#include "updateengine.h"

#include "fileverify.h"
#include "releaseformat.h"

#include <QFileInfo>

void vt3::UpdateEngine::startNextDownload()
{
    takeNextDownload();
    // Whatever the head took up, the transfers beside it fill the room
    // left.
    fetchAhead();
}

void vt3::UpdateEngine::takeNextDownload()
{
    // Complete files and empty groups are passed over within this one call;
    // only a started transfer or a check of a file already there hands
    // control back to the event loop.
    for (;;) {
        if (outputFile.isOpen())
            outputFile.close();

        if (downloadQueue.isEmpty()) {
            pieces.clear();
            lastExtracted.clear();
            startNextGzip();
            return;
        }

        // The group's keys are taken by a cursor and the group dropped once
        // through: removing each key from the front would move all the
        // others every time.
        auto group = downloadQueue.begin();
        if (queueCursor >= group.value().size()) {
            downloadQueue.erase(group);
            queueCursor = 0;
            continue;
        }

        const QString key = group.value().at(queueCursor);
        if (isUpToDate(key)) {
            reportUpToDate(key);
            ++queueCursor;
            continue;
        }
        if (aheadTransfers.count(key)) {
            downloadTo(tempDir.path() + QLatin1Char('/') + key);
            transfer.fileGroup = group.key();
            transfer.fileKey = key;
            transfer.fileAttempt = 0;
            transfer.fileStartedOver = false;
            if (takeAhead(key))
                continue;
            return;
        }
        // A file fetched as a patch keeps its place in the queue until the
        // patch has given the file, or has failed and the file is fetched
        // whole.
        const QString patchKey = patchOf(key);
        const QString fetched = patchKey.isEmpty() ? key : patchKey;
        const QString target = tempDir.path() + QLatin1Char('/') + fetched;
        downloadTo(target);

        transfer.fileGroup = patchKey.isEmpty() ? group.key() : patchFor.value(key).group;
        transfer.fileKey = fetched;
        transfer.fileAttempt = 0;
        transfer.fileStartedOver = false;

        // Only a file of the announced length can be complete; one of any
        // other length is continued or fetched without being read first.
        const vt3::ExpectedFile expected = expectedFile(fetched);
        const QFileInfo present(target);
        if (present.isFile() && present.size() == expected.size &&
            (releaseFiles.contains(fetched) || !patchKey.isEmpty())) {
            toWorker(
                [fetched, target, expected](vt3::ReleaseWorker *w) { w->checkPresent(fetched, target, expected); });
            return;
        }
        if (patchKey.isEmpty())
            ++queueCursor;
        startFileTransfer();
        return;
    }
}

void vt3::UpdateEngine::presentChecked(const vt3::CheckedFile &checked)
{
    if (checked.key != transfer.fileKey)
        return;
    if (patchOwner.contains(checked.key)) {
        // A patch an earlier run fetched whole is applied as it is.
        if (checked.verification == vt3::Verification::Ok) {
            completedBytes += expectedFile(checked.key).size;
            transfer.resumeOffset = 0;
            applyFetchedPatch();
        } else {
            startFileTransfer();
        }
        return;
    }
    ++queueCursor;
    if (checked.verification == vt3::Verification::Ok) {
        completedBytes += expectedFile(checked.key).size;
        startNextDownload();
        return;
    }
    startFileTransfer();
}

vt3::ExpectedFile vt3::UpdateEngine::expectedFile(const QString &key) const
{
    // The SHA-256, when the manifest lists one, is checked with the size and
    // MD5 wherever they are; the signature covers all three.
    const auto owner = patchOwner.constFind(key);
    if (owner != patchOwner.constEnd()) {
        const vt3::patch::ListedPatch listed = patchFor.value(owner.value());
        return vt3::ExpectedFile{listed.patchBytes, listed.entry.patchMd5, listed.entry.patchSha256};
    }
    vt3::ExpectedFile expected = vt3::expectedOf(releaseFiles.value(key));
    expected.sha256 = releaseDigests.value(key);
    return expected;
}

void vt3::UpdateEngine::error(QNetworkReply::NetworkError code)
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
