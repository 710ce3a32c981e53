#include "patchchoice.h"

#include "filehash.h"
#include "releaseformat.h"

#include <QFileInfo>

namespace vt3 {

QHash<QString, patch::ListedPatch> choosePatches(const QString &appDir, const QMap<QString, QString> &files,
                                                 const QVector<patch::ListedPatch> &listed,
                                                 const QSet<QString> &upToDate)
{
    // Every name the work directory holds for the release, as Windows
    // compares them: a patch may take none of them.
    QHash<QString, int> names;
    QHash<QString, QString> installNames;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        format::Descriptor fields;
        format::Descriptor::split(it.value(), fields);
        const QString installName = format::normalPath(fields.installName);
        installNames.insert(it.key(), installName);
        ++names[format::foldedPath(installName)];
        ++names[format::foldedPath(it.key())];
    }

    QHash<QString, patch::ListedPatch> chosen;
    // Installed MD5s by install name, each file read at most once.
    QHash<QString, QString> installedMd5;
    for (const patch::ListedPatch &candidate : listed) {
        const QString &key = candidate.entry.fileKey;
        if (candidate.verdict != patch::Verdict::Ok || upToDate.contains(key) || chosen.contains(key) ||
            !files.contains(key) || names.contains(format::foldedPath(candidate.key)))
            continue;
        const QString installName = installNames.value(key);
        if (names.value(format::foldedPath(installName)) != 1)
            continue;
        const QString installed = appDir + QLatin1Char('/') + installName;
        const QFileInfo info(installed);
        // The size alone rules out most bases without reading the file.
        if (info.isSymLink() || !info.isFile() || info.size() != candidate.baseBytes)
            continue;
        if (!installedMd5.contains(installName))
            installedMd5.insert(installName, md5OfFile(installed));
        if (installedMd5.value(installName).compare(candidate.entry.baseMd5, Qt::CaseInsensitive) == 0)
            chosen.insert(key, candidate);
    }
    return chosen;
}

} // namespace vt3
