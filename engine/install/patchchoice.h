#ifndef PATCHCHOICE_H
#define PATCHCHOICE_H

#include "patchformat.h"

#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVector>

namespace vt3 {

// What the installation holds of a release, found off the event loop's
// thread: the keys whose installed file already is the release's, and for
// others the patch whose base the installed file is.
struct InstalledState
{
    QSet<QString> upToDate;
    // file key -> the listed patch to fetch instead of the file.
    QHash<QString, patch::ListedPatch> patches;
};

// For each file of `files` (key -> descriptor) not in `upToDate`, the usable
// patch of `listed` whose base has exactly the size and MD5 of the installed
// file, <appDir>/<install name>. None for a file whose install name other
// entries share (which of them lands is decided elsewhere), and none whose
// name would meet another file of the release in the work directory.
// Reads installed files: call it off the event loop's thread.
QHash<QString, patch::ListedPatch> choosePatches(const QString &appDir, const QMap<QString, QString> &files,
                                                 const QVector<patch::ListedPatch> &listed,
                                                 const QSet<QString> &upToDate);

} // namespace vt3

#endif // PATCHCHOICE_H
