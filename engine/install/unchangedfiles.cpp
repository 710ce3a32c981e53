#include "updateengine.h"

#include "appdir.h"
#include "releaseformat.h"
#include "uptodate.h"

#include <QtConcurrent>

// Installed files that already are what the release brings are neither
// fetched, unpacked nor installed again.

void vt3::UpdateEngine::startUpToDateCheck(const QMap<QString, QString> &files)
{
    // Every file the check looks at and does not find in place is known to
    // differ from its installed copy once the answer is in.
    const QList<QString> keys = files.keys();
    knownChanged = QSet<QString>(keys.cbegin(), keys.cend());
    connect(&upToDateWatcher, &QFutureWatcher<vt3::InstalledState>::finished, this, &UpdateEngine::upToDateChecked,
            Qt::UniqueConnection);
    const QString appDir = vt3::applicationDir();
    const QVector<vt3::patch::ListedPatch> listed = listedPatches;
    upToDateWatcher.setFuture(QtConcurrent::run([appDir, files, listed] {
        vt3::InstalledState state;
        state.upToDate = vt3::upToDateKeys(appDir, files);
        state.patches = vt3::choosePatches(appDir, files, listed, state.upToDate);
        return state;
    }));
}

void vt3::UpdateEngine::upToDateChecked()
{
    const vt3::InstalledState state = upToDateWatcher.result();
    upToDate = state.upToDate;
    patchFor = state.patches;
    for (auto it = patchFor.cbegin(); it != patchFor.cend(); ++it)
        patchOwner.insert(it.value().key, it.key());
    knownChanged.subtract(upToDate);
    // The progress counts what is transferred, so a file that is not has
    // no part in the total, and a patch counts instead of its file; a key in
    // both groups is counted there twice.
    for (auto group = downloadQueue.cbegin(); group != downloadQueue.cend(); ++group) {
        for (const QString &key : group.value()) {
            const bool current = isUpToDate(key);
            if (!current && !patchFor.contains(key))
                continue;
            vt3::format::Descriptor fields;
            vt3::format::Descriptor::split(releaseFiles.value(key), fields);
            totalBytes -= vt3::format::sizeBytes(fields.size);
            if (!current)
                totalBytes += patchFor.value(key).patchBytes;
        }
    }
    startNextDownload();
}

bool vt3::UpdateEngine::isUpToDate(const QString &key) const
{
    return upToDate.contains(key);
}

void vt3::UpdateEngine::reportUpToDate(const QString &key)
{
    vt3::format::Descriptor fields;
    vt3::format::Descriptor::split(releaseFiles.value(key), fields);
    message(tr("%1 is up to date.").arg(fields.installName.toHtmlEscaped()));
}
