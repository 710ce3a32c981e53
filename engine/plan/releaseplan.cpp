#include "releaseplan.h"

#include "pathsafety.h"
#include "releaseformat.h"

namespace {

namespace format = vt3::format;

// A file is unpacked as it arrives only when nothing else of the release
// shares its unpacked name or has it as a download: such files are
// unpacked in key order, from disk, as they always were.
QHash<QString, QString> streamTargetsOf(const QMap<QString, QString> &files, const QString &workDir)
{
    QHash<QString, int> uses;
    QHash<QString, QString> names;
    for (auto entry = files.constBegin(); entry != files.constEnd(); ++entry) {
        format::Descriptor fields;
        if (!format::Descriptor::split(entry.value(), fields))
            continue;
        const QString installName = format::normalPath(fields.installName);
        if (!vt3::isSafeRelativePath(installName))
            continue;
        names.insert(entry.key(), installName);
        ++uses[format::foldedPath(installName)];
    }
    for (auto entry = files.constBegin(); entry != files.constEnd(); ++entry)
        ++uses[format::foldedPath(entry.key())];
    QHash<QString, QString> targets;
    for (auto name = names.constBegin(); name != names.constEnd(); ++name) {
        if (uses.value(format::foldedPath(name.value())) == 1)
            targets.insert(name.key(), workDir + QLatin1Char('/') + name.value());
    }
    return targets;
}

// Two keys that are one file where names ignore case, or a key that is the
// manifest's name, would be written at once if fetched side by side.
QSet<QString> sharedNamesOf(const QMap<QString, QString> &files, const QString &manifestName)
{
    QSet<QString> shared;
    QSet<QString> seen;
    for (auto entry = files.constBegin(); entry != files.constEnd(); ++entry) {
        const QString folded = format::foldedPath(entry.key());
        if (seen.contains(folded))
            shared.insert(folded);
        seen.insert(folded);
    }
    shared.insert(format::foldedPath(manifestName));
    return shared;
}

} // namespace

namespace vt3 {

ReleasePlan ReleasePlan::make(const QMap<QString, QVector<QString>> &groups, const QMap<QString, QString> &files,
                              const QMap<QString, QString> &sha256, const QString &workDir, const QString &manifestName)
{
    ReleasePlan plan;
    for (auto group = groups.constBegin(); group != groups.constEnd(); ++group)
        for (const QString &key : group.value())
            plan.queue.append(Entry{group.key(), key});
    plan.files = files;
    plan.sha256 = sha256;
    plan.streamTargets = streamTargetsOf(files, workDir);
    plan.sharedNames = sharedNamesOf(files, manifestName);
    return plan;
}

void ReleasePlan::takeInstalled(const QSet<QString> &current, const QHash<QString, patch::ListedPatch> &patches)
{
    // Every file looked at and not found in place is known to differ from
    // its installed copy.
    const QList<QString> keys = files.keys();
    knownChanged = QSet<QString>(keys.cbegin(), keys.cend());
    knownChanged.subtract(current);
    upToDate = current;
    patchFor = patches;
    for (auto it = patchFor.cbegin(); it != patchFor.cend(); ++it)
        patchOwner.insert(it.value().key, it.key());
}

ExpectedFile ReleasePlan::expected(const QString &key) const
{
    // The SHA-256, when the manifest lists one, is checked with the size and
    // MD5 wherever they are; the signature covers all three.
    const auto owner = patchOwner.constFind(key);
    if (owner != patchOwner.constEnd()) {
        const patch::ListedPatch listed = patchFor.value(owner.value());
        return ExpectedFile{listed.patchBytes, listed.entry.patchMd5, listed.entry.patchSha256};
    }
    ExpectedFile expected = expectedOf(files.value(key));
    expected.sha256 = sha256.value(key);
    return expected;
}

QString ReleasePlan::installName(const QString &key) const
{
    format::Descriptor fields;
    format::Descriptor::split(files.value(key), fields);
    return fields.installName;
}

} // namespace vt3
