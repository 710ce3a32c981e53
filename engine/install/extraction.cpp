#include "updateengine.h"

#include "pathsafety.h"
#include "releaseformat.h"
#include "releaseworker.h"

#include <QElapsedTimer>
#include <QFileInfo>

// Checking and unpacking, in the key order of the release's files. Most
// files were checked and unpacked while they were downloaded; this walk
// then only confirms that nothing changed them since. The others (files of
// an earlier run, files sharing a name) are checked and unpacked from disk
// by the worker, one at a time, while the window waits for its answer.

namespace {

// The walk over files checked already is quick per file, but a release of
// thousands of files would hold the window for a second; it hands control
// back to the event loop after this long.
constexpr qint64 WalkSliceMs = 20;

QString nativeAbsolute(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toHtmlEscaped();
}

} // namespace

void vt3::UpdateEngine::startNextGzip()
{
    if (outputFile.isOpen())
        outputFile.close();
    auto entry = releaseFiles.constBegin();
    if (!lastExtracted.isEmpty()) {
        while (entry != releaseFiles.constEnd() && entry.value() != lastExtracted)
            ++entry;
        if (entry != releaseFiles.constEnd())
            ++entry;
    }
    unpackedBytes = 0;
    extractFrom(entry);
}

void vt3::UpdateEngine::extractFrom(QMap<QString, QString>::const_iterator entry)
{
    // The walk holds its own cursor (the key in hand) so that entries with
    // equal descriptors are each visited once; lastExtracted follows it for
    // the record.
    QElapsedTimer slice;
    slice.start();
    for (; entry != releaseFiles.constEnd(); ++entry) {
        if (slice.elapsed() > WalkSliceMs) {
            const QString key = entry.key();
            ++workPosted;
            QMetaObject::invokeMethod(
                this, [this, key] { extractFrom(releaseFiles.constFind(key)); }, Qt::QueuedConnection);
            return;
        }
        if (plan.isUpToDate(entry.key()))
            continue;
        if (patched.contains(entry.key())) {
            // Made from its patch, and checked then: already unpacked.
            vt3::format::Descriptor fields;
            vt3::format::Descriptor::split(entry.value(), fields);
            message(tr("extracting %1...").arg(fields.installName.toHtmlEscaped()));
            lastExtracted = entry.value();
            unpackedBytes += vt3::format::sizeBytes(fields.size);
            showUnpackProgress(0);
            continue;
        }
        const QString downloaded = tempDir.path() + QLatin1Char('/') + entry.key();
        const vt3::CheckedFile checked = checkedFiles.value(entry.key());
        const bool unchanged = checked.identity.isValid() && vt3::identityOf(downloaded) == checked.identity;
        if (unchanged && !reportVerification(downloaded, checked.verification)) {
            stop(RunStop::Failed);
            return;
        }

        vt3::format::Descriptor fields;
        const bool complete = vt3::format::Descriptor::split(entry.value(), fields);
        const QString installName = vt3::format::normalPath(fields.installName);
        const bool safe = complete && vt3::isSafeRelativePath(installName);
        if (unchanged && checked.unpackTried && safe) {
            message(tr("extracting %1...").arg(fields.installName.toHtmlEscaped()));
            if (!reportExtraction(entry.key(), checked.unpackStatus)) {
                stop(RunStop::Failed);
                return;
            }
            lastExtracted = entry.value();
            unpackedBytes += vt3::format::sizeBytes(fields.size);
            showUnpackProgress(0);
            continue;
        }

        vt3::ExtractJob job;
        job.key = entry.key();
        job.download = downloaded;
        job.unpacked = tempDir.path() + QLatin1Char('/') + installName;
        job.expected = plan.expected(entry.key());
        job.verified = unchanged;
        // The manifest check refuses such names already; the unpacked file
        // must never land outside the work directory all the same.
        if (!safe) {
            if (unchanged || reportVerification(downloaded, vt3::verifyFile(downloaded, job.expected))) {
                message(tr("extracting %1...").arg(fields.installName.toHtmlEscaped()));
                message(tr("<font color=red>%1 file extract error.</font>").arg(nativeAbsolute(downloaded)));
            }
            stop(RunStop::Failed);
            return;
        }
        extractingKey = entry.key();
        toWorker([job](vt3::ReleaseWorker *w) { w->extractFile(job); });
        return;
    }
    extractingKey.clear();
    copyFiles();
}

bool vt3::UpdateEngine::reportVerification(const QString &downloaded, vt3::Verification verification)
{
    switch (verification) {
    case vt3::Verification::Ok:
        return true;
    case vt3::Verification::Unreadable:
        message(tr("<font color=red>%1 file read error.</font>").arg(nativeAbsolute(downloaded)));
        break;
    case vt3::Verification::WrongSize:
        message(tr("<font color=red>%1 file size not correct</font>").arg(nativeAbsolute(downloaded)));
        break;
    case vt3::Verification::WrongDigest:
        message(tr("<font color=red>%1 file MD5 not correct</font>").arg(nativeAbsolute(downloaded)));
        break;
    }
    return false;
}

void vt3::UpdateEngine::fileVerified(const QString &key, vt3::Verification verification)
{
    if (key != extractingKey)
        return;
    if (!reportVerification(tempDir.path() + QLatin1Char('/') + key, verification)) {
        extractingKey.clear();
        stop(RunStop::Failed);
        return;
    }
    vt3::format::Descriptor fields;
    vt3::format::Descriptor::split(releaseFiles.value(key), fields);
    message(tr("extracting %1...").arg(fields.installName.toHtmlEscaped()));
}

void vt3::UpdateEngine::fileExtracted(const QString &key, vt3::ExtractStatus status)
{
    if (key != extractingKey)
        return;
    extractingKey.clear();
    const auto entry = releaseFiles.constFind(key);
    if (entry == releaseFiles.constEnd())
        return;
    if (!reportExtraction(key, status)) {
        stop(RunStop::Failed);
        return;
    }
    vt3::format::Descriptor fields;
    vt3::format::Descriptor::split(entry.value(), fields);
    lastExtracted = entry.value();
    unpackedBytes += vt3::format::sizeBytes(fields.size);
    showUnpackProgress(0);
    extractFrom(std::next(entry));
}

bool vt3::UpdateEngine::reportExtraction(const QString &key, vt3::ExtractStatus status)
{
    vt3::format::Descriptor fields;
    vt3::format::Descriptor::split(releaseFiles.value(key), fields);
    const QString downloaded = tempDir.path() + QLatin1Char('/') + key;
    const QString unpacked = tempDir.path() + QLatin1Char('/') + vt3::format::normalPath(fields.installName);
    switch (status) {
    case vt3::ExtractStatus::Ok:
        return true;
    case vt3::ExtractStatus::ReadError:
        message(tr("<font color=red>%1 file read error.</font>").arg(nativeAbsolute(downloaded)));
        break;
    case vt3::ExtractStatus::WriteError:
        message(tr("<font color=red>%1 file write error.</font>").arg(nativeAbsolute(unpacked)));
        break;
    case vt3::ExtractStatus::ExtractError:
        message(tr("<font color=red>%1 file extract error.</font>").arg(nativeAbsolute(downloaded)));
        break;
    case vt3::ExtractStatus::Cancelled:
        break;
    }
    return false;
}

void vt3::UpdateEngine::showUnpackProgress(qint64 bytesOfFile)
{
    const qint64 totalBytes = progress.total();
    if (totalBytes <= 0)
        return;
    const qint64 done = qMin(totalBytes, unpackedBytes + bytesOfFile);
    transcript.face()->unpackProgress(static_cast<int>(done * 100 / totalBytes));
}

void vt3::UpdateEngine::gzipError(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart)
        message(tr("<font color=red>Failed to run Gzip.exe</font>"));
}
