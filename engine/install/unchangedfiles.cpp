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
    connect(&upToDateWatcher, &QFutureWatcher<QSet<QString>>::finished, this, &vt3::UpdateEngine::upToDateChecked,
            Qt::UniqueConnection);
    upToDateWatcher.setFuture(QtConcurrent::run(vt3::upToDateKeys, vt3::applicationDir(), files));
}

void vt3::UpdateEngine::upToDateChecked()
{
    upToDate = upToDateWatcher.result();
    knownChanged.subtract(upToDate);
    // The progress counts what is transferred, so a file that is not has
    // no part in the total; a key in both groups is counted there twice.
    for (auto group = downloadQueue.cbegin(); group != downloadQueue.cend(); ++group) {
        for (const QString &key : group.value()) {
            if (!isUpToDate(key))
                continue;
            vt3::format::Descriptor fields;
            vt3::format::Descriptor::split(releaseFiles.value(key), fields);
            totalBytes -= vt3::format::sizeBytes(fields.size);
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
