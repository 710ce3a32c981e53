#ifndef RELEASEPLAN_H
#define RELEASEPLAN_H

#include "fileverify.h"
#include "patchformat.h"

#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVector>

namespace vt3 {

// What a run fetches and how, worked out once from the manifest and what
// the installation holds: the queue in order, the files and digests, the
// files already current, the patches chosen, where each file unpacks while
// it arrives, and the names files share.
struct ReleasePlan
{
    struct Entry
    {
        QString group;
        QString key;
    };

    // Every key of every file group, groups in name order; a key in both
    // groups is there twice.
    QVector<Entry> queue;
    // key -> descriptor, and key -> SHA-256 of the served file.
    QMap<QString, QString> files;
    QMap<QString, QString> sha256;
    // Keys whose installed file is the release's, and keys whose installed
    // file is known to differ; both empty unless the manifest vouches for
    // the unpacked fields.
    QSet<QString> upToDate;
    QSet<QString> knownChanged;
    // file key -> the patch fetched instead of it; patch key -> file key.
    QHash<QString, patch::ListedPatch> patchFor;
    QHash<QString, QString> patchOwner;
    // Where a file unpacks to while it arrives; none where its unpacked
    // name is shared (see streamTargetsOf).
    QHash<QString, QString> streamTargets;
    // Download names (case folded) that two keys, or a key and the
    // manifest, share.
    QSet<QString> sharedNames;

    static ReleasePlan make(const QMap<QString, QVector<QString>> &groups, const QMap<QString, QString> &files,
                            const QMap<QString, QString> &sha256, const QString &workDir, const QString &manifestName);
    // Takes what the installation holds: files current, patches chosen.
    void takeInstalled(const QSet<QString> &current, const QHash<QString, patch::ListedPatch> &patches);

    // The size and digests the downloaded file must have, a patch's too.
    ExpectedFile expected(const QString &key) const;
    QString installName(const QString &key) const;
    bool isUpToDate(const QString &key) const { return upToDate.contains(key); }
};

} // namespace vt3

#endif // RELEASEPLAN_H
