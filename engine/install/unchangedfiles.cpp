#include "updateengine.h"

#include "appdir.h"
#include "releaseformat.h"
#include "uptodate.h"

#include <QtConcurrent>

// Installed files that already are what the release brings are neither
// fetched, unpacked nor installed again.

void vt3::UpdateEngine::startUpToDateCheck(const QMap<QString, QString> &files)
{
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
    plan.takeInstalled(state.upToDate, state.patches);
    // The progress counts what is transferred, so a file that is not has
    // no part in the total, and a patch counts instead of its file; a key in
    // both groups is counted there twice.
    for (auto group = downloadQueue.cbegin(); group != downloadQueue.cend(); ++group) {
        for (const QString &key : group.value()) {
            const bool current = plan.isUpToDate(key);
            if (!current && !plan.patchFor.contains(key))
                continue;
            vt3::format::Descriptor fields;
            vt3::format::Descriptor::split(releaseFiles.value(key), fields);
            progress.addToTotal(-vt3::format::sizeBytes(fields.size));
            if (!current)
                progress.addToTotal(plan.patchFor.value(key).patchBytes);
        }
    }
    startTransfers();
}
