#include "updateengine.h"

#include "appdir.h"
#include "releaseformat.h"

// A file whose installed copy is the base of a listed patch is fetched as
// that patch and made from the installed copy. A patch is only a shortcut:
// whatever goes wrong with it, the file is fetched whole in the same run.

namespace {

QString installNameOf(const QString &descriptor)
{
    vt3::format::Descriptor fields;
    vt3::format::Descriptor::split(descriptor, fields);
    return vt3::format::normalPath(fields.installName);
}

} // namespace

QString vt3::UpdateEngine::patchOf(const QString &key) const
{
    const auto chosen = patchFor.constFind(key);
    if (chosen == patchFor.constEnd() || patchFailed.contains(key))
        return QString();
    return chosen.value().key;
}

void vt3::UpdateEngine::applyFetchedPatch()
{
    const QString key = patchOwner.value(transfer.fileKey);
    const vt3::patch::ListedPatch listed = patchFor.value(key);
    const QString installName = installNameOf(releaseFiles.value(key));
    vt3::PatchJob job;
    job.key = key;
    job.base = vt3::applicationDir() + QLatin1Char('/') + installName;
    job.patch = tempDir.path() + QLatin1Char('/') + listed.key;
    job.output = tempDir.path() + QLatin1Char('/') + installName;
    job.baseSize = listed.baseBytes;
    job.patchSize = listed.patchBytes;
    job.resultSize = listed.resultBytes;
    job.resultMd5 = listed.resultMd5;
    awaitingPatch = true;
    toWorker([job](vt3::ReleaseWorker *w) { w->applyPatch(job); });
}

void vt3::UpdateEngine::patchApplied(const QString &key, const QString &error)
{
    if (!awaitingPatch || patchOwner.value(transfer.fileKey) != key)
        return;
    awaitingPatch = false;
    if (!error.isEmpty()) {
        fallBackToFullFile(key, error);
        return;
    }
    patched.insert(key);
    // The transfer's progress counted only the bytes it carried.
    completedBytes += transfer.resumeOffset;
    ++queueCursor;
    startNextDownload();
}

void vt3::UpdateEngine::fallBackToFullFile(const QString &key, const QString &why)
{
    const vt3::patch::ListedPatch listed = patchFor.value(key);
    patchFailed.insert(key);
    QFile::remove(tempDir.path() + QLatin1Char('/') + listed.key);
    vt3::format::Descriptor fields;
    vt3::format::Descriptor::split(releaseFiles.value(key), fields);
    totalBytes += vt3::format::sizeBytes(fields.size) - listed.patchBytes;
    message(tr("<font color=red>The patch for %1 cannot be used; the whole file is fetched instead.</font>")
                .arg(fields.installName.toHtmlEscaped()));
    logDetail(tr("Patch %1: %2").arg(listed.key, why).toHtmlEscaped());
    startNextDownload();
}
