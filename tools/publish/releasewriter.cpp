#include "releasewriter.h"

#include "packfile.h"
#include "pathsafety.h"
#include "releaseformat.h"
#include "releasesigner.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <memory>

namespace vt3publish {

namespace {

namespace format = vt3::format;

// The updater is built for one platform tag; these are the names it reads.
const QString PlatformGroup = format::platformGroup(format::Platform);
const QString CommonGroup = format::CommonGroup;
const QString DeleteGroup = format::DeleteGroup;
const QString Sha256Group = format::Sha256Group;
const QString ManifestName = format::manifestName(format::Platform);
const QString VersionFileName = QStringLiteral("version.txt");

// The block header holds the unpacked length in 32 bits.
constexpr qint64 FormatMaxBytes = 0xFFFFFFFFLL;
// The updater refuses to unpack a block that announces more than this.
constexpr qint64 UpdaterMaxBytes = format::MaxUnpackedLength;

QString fold(const QString &path)
{
    // The installations live on Windows, whose file names ignore case.
    return path.toCaseFolded();
}

QStringList parentFolders(const QString &path)
{
    QStringList parents;
    int slash = path.indexOf(QLatin1Char('/'));
    while (slash > 0) {
        parents << path.left(slash);
        slash = path.indexOf(QLatin1Char('/'), slash + 1);
    }
    return parents;
}

QString percent(qint64 part, qint64 whole)
{
    if (whole == 0)
        return QStringLiteral("-");
    return QString::number(100.0 * double(part) / double(whole), 'f', 1) + QLatin1Char('%');
}

} // namespace

ReleaseWriter::ReleaseWriter(const ReleaseOptions &options, QTextStream &out, QTextStream &err)
    : options(options)
    , out(out)
    , err(err)
{
}

QString ReleaseWriter::pathProblem(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("the path is empty");
    if (path.startsWith(QLatin1Char('/')) ||
        (path.size() >= 2 && path.at(1) == QLatin1Char(':') && path.at(0).isLetter()))
        return QStringLiteral("is an absolute path; release paths are relative to the installation");
    const QStringList segments = path.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    if (segments.contains(QStringLiteral("..")))
        return QStringLiteral("has a \"..\" segment, which would lead out of the installation");
    if (path.contains(format::FieldSeparator))
        return QStringLiteral("contains \"::\", which separates the fields of a manifest entry");
    if (path.contains(QLatin1Char(',')))
        return QStringLiteral("contains \",\", which the manifest would read as a list");
    if (path.contains(QLatin1Char('\\')))
        return QStringLiteral("contains a backslash, which the manifest reads as a folder separator");
    if (path.contains(QLatin1Char(':')))
        return QStringLiteral("contains \":\", which names a drive or a stream on Windows");
    for (const QChar ch : path) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f)
            return QStringLiteral("contains a control character");
    }
    if (segments.contains(QString()))
        return QStringLiteral("has an empty segment");
    if (segments.contains(QStringLiteral(".")))
        return QStringLiteral("has a \".\" segment");
    for (const QString &segment : segments) {
        if (format::isReservedName(segment))
            return QStringLiteral("has \"%1\", a device name on Windows").arg(segment);
    }
    if (!vt3::isSafeRelativePath(path))
        return QStringLiteral("is refused by the updater's path check");
    return QString();
}

Outcome ReleaseWriter::refuse(const QString &why)
{
    err << "vt3-publish: refused: " << why << Qt::endl;
    return Outcome::Refused;
}

Outcome ReleaseWriter::run()
{
    if (!checkOptions() || !collectFiles() || !checkNames() || !checkDeleteList())
        return refuse(refusal);
    // Every key is read before anything is written: a key that is refused
    // must not leave an unsigned release behind.
    QString keyError;
    const KeyStatus keys = readSigningKeys(options.signKeyPaths, signingKeys, keyError);
    if (keys == KeyStatus::Refused)
        return refuse(keyError);
    if (keys == KeyStatus::Failed) {
        err << "vt3-publish: " << keyError << Qt::endl;
        return Outcome::Failed;
    }

    const QString releaseDir = QDir(options.mirrorRoot).absoluteFilePath(options.releaseId);
    if (!QDir().mkpath(options.mirrorRoot)) {
        err << "vt3-publish: cannot create " << options.mirrorRoot << Qt::endl;
        return Outcome::Failed;
    }
    // Built beside its final place and renamed at the end, so a mirror
    // never serves a release that is only partly there.
    QTemporaryDir building(releaseDir + QStringLiteral(".partial-XXXXXX"));
    if (!building.isValid()) {
        err << "vt3-publish: cannot create a folder beside " << releaseDir << ": " << building.errorString()
            << Qt::endl;
        return Outcome::Failed;
    }
    // Earlier files are unpacked here one at a time, beside the release
    // rather than in a temp folder that may live in memory.
    std::unique_ptr<QTemporaryDir> scratch;
    if (!options.previousDirs.isEmpty()) {
        scratch.reset(new QTemporaryDir(releaseDir + QStringLiteral(".bases-XXXXXX")));
        if (!scratch->isValid()) {
            err << "vt3-publish: cannot create a folder beside " << releaseDir << ": " << scratch->errorString()
                << Qt::endl;
            return Outcome::Failed;
        }
    }
    PatchMaker patchMaker(options.previousDirs, scratch ? scratch->path() : QString());
    QString patchError;
    if (!patchMaker.load(patchError))
        return refuse(patchError);
    // Signing comes last: the signature covers the manifest as written,
    // [patches] included.
    if (!writeTree(building.path(), options.previousDirs.isEmpty() ? nullptr : &patchMaker))
        return refusal.isEmpty() ? Outcome::Failed : refuse(refusal);
    if (!writeVersion(building.path()) || !writeSignatures(building.path()))
        return Outcome::Failed;
    if (QFileInfo::exists(releaseDir))
        return refuse(QStringLiteral("%1 appeared while the release was being written").arg(releaseDir));
    if (!QDir().rename(building.path(), releaseDir)) {
        err << "vt3-publish: cannot rename " << building.path() << " to " << releaseDir << Qt::endl;
        return Outcome::Failed;
    }
    building.setAutoRemove(false);
    printSummary(releaseDir, patchMaker.notSmaller());
    return Outcome::Written;
}

bool ReleaseWriter::checkOptions()
{
    static const QRegularExpression releaseIdPattern(QStringLiteral("^[1-9][0-9]{0,17}$"));
    if (!releaseIdPattern.match(options.releaseId).hasMatch()) {
        refusal = QStringLiteral("release id \"%1\" is not a number of seconds since 1970").arg(options.releaseId);
        return false;
    }
    if (options.version.isEmpty()) {
        refusal = QStringLiteral("the version text is empty");
        return false;
    }
    // The version reply is "<id>#<version>"; the updater cuts it at the
    // first "," and splits it at "#".
    for (const QChar ch : options.version) {
        if (ch == QLatin1Char('#') || ch == QLatin1Char(',') || ch.unicode() < 0x20) {
            refusal = QStringLiteral("the version text \"%1\" contains \"#\", \",\" or a control character, which "
                                     "the version reply cannot carry")
                          .arg(options.version);
            return false;
        }
    }
    const QFileInfo source(options.sourceDir);
    if (!source.isDir()) {
        refusal = QStringLiteral("source %1 is not a folder").arg(options.sourceDir);
        return false;
    }
    if (options.mirrorRoot.isEmpty()) {
        refusal = QStringLiteral("no mirror root given (--out)");
        return false;
    }
    const QString releaseDir = QDir(options.mirrorRoot).absoluteFilePath(options.releaseId);
    if (QFileInfo::exists(releaseDir)) {
        refusal =
            QStringLiteral("release folder %1 already exists; a published release is never rewritten").arg(releaseDir);
        return false;
    }
    return true;
}

bool ReleaseWriter::collectFiles()
{
    QVector<QRegularExpression> globs;
    for (const QString &glob : options.platformGlobs) {
        const QString trimmed = glob.trimmed();
        if (!trimmed.isEmpty())
            globs << QRegularExpression(QRegularExpression::wildcardToRegularExpression(trimmed),
                                        QRegularExpression::CaseInsensitiveOption);
    }
    // Absolute, so the install names come out relative to the source itself
    // and not to the current folder.
    const QDir root(QFileInfo(options.sourceDir).absoluteFilePath());
    QDirIterator it(root.path(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        ReleaseFile file;
        file.sourcePath = path;
        file.installName = root.relativeFilePath(path);
        const QString name = it.fileName();
        const bool platformFile = std::any_of(globs.cbegin(), globs.cend(),
                                              [&](const QRegularExpression &re) { return re.match(name).hasMatch(); });
        file.group = platformFile ? PlatformGroup : CommonGroup;
        const qint64 size = it.fileInfo().size();
        if (size > FormatMaxBytes) {
            refusal = QStringLiteral("%1 has %2 bytes; the release format holds at most %3 bytes per file")
                          .arg(file.installName)
                          .arg(size)
                          .arg(FormatMaxBytes);
            return false;
        }
        if (size > UpdaterMaxBytes) {
            refusal =
                QStringLiteral("%1 has %2 bytes; the updater refuses to unpack files larger than 1 GiB (%3 bytes)")
                    .arg(file.installName)
                    .arg(size)
                    .arg(UpdaterMaxBytes);
            return false;
        }
        files << file;
    }
    if (files.isEmpty()) {
        refusal = QStringLiteral("source %1 holds no files; an empty release would be rejected by the updater")
                      .arg(options.sourceDir);
        return false;
    }
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile &a, const ReleaseFile &b) { return a.installName < b.installName; });
    return true;
}

bool ReleaseWriter::checkNames()
{
    for (const ReleaseFile &file : qAsConst(files)) {
        const QString problem = pathProblem(file.installName);
        if (!problem.isEmpty()) {
            refusal = QStringLiteral("%1 %2").arg(file.installName, problem);
            return false;
        }
    }
    // In the updater's work folder the downloaded files (keys), the unpacked
    // files (install names) and the manifest share one tree: no two of them
    // may take the same name, and no file may stand where a folder must.
    QHash<QString, QString> fileOwners;
    QHash<QString, QString> folderOwners;
    fileOwners.insert(fold(ManifestName), QStringLiteral("the manifest"));
    auto claimFile = [&](const QString &path, const QString &owner) {
        const QString folded = fold(path);
        const QString other = fileOwners.value(folded, folderOwners.value(folded));
        if (!other.isEmpty()) {
            refusal =
                QStringLiteral("%1 would take the same name as %2 in the updater's work folder").arg(owner, other);
            return false;
        }
        fileOwners.insert(folded, owner);
        return true;
    };
    auto claimFolders = [&](const QString &path, const QString &owner) {
        for (const QString &folder : parentFolders(path)) {
            const QString folded = fold(folder);
            const QString other = fileOwners.value(folded);
            if (!other.isEmpty()) {
                refusal = QStringLiteral("%1 needs a folder %2 where %3 is a file").arg(owner, folder, other);
                return false;
            }
            folderOwners.insert(folded, owner);
        }
        return true;
    };
    for (const ReleaseFile &file : qAsConst(files)) {
        if (!claimFolders(file.installName, file.installName))
            return false;
    }
    for (const ReleaseFile &file : qAsConst(files)) {
        if (!claimFile(file.installName, file.installName) || !claimFile(file.key(), file.key()))
            return false;
    }
    return true;
}

bool ReleaseWriter::checkDeleteList()
{
    QHash<QString, QString> installed;
    for (const ReleaseFile &file : qAsConst(files))
        installed.insert(fold(file.installName), file.installName);
    const QStringList all = options.deletePaths + options.keepPaths;
    for (const QString &path : all) {
        const QString problem = pathProblem(path);
        if (!problem.isEmpty()) {
            refusal = QStringLiteral("delete entry %1 %2").arg(path, problem);
            return false;
        }
    }
    for (const QString &path : options.deletePaths) {
        // The updater deletes after it installs, so this would remove the
        // file the release has just brought.
        if (installed.contains(fold(path))) {
            refusal = QStringLiteral("%1 is both part of the release and marked for deletion").arg(path);
            return false;
        }
        if (options.keepPaths.contains(path)) {
            refusal = QStringLiteral("%1 is given both with --delete and with --keep").arg(path);
            return false;
        }
    }
    return true;
}

bool ReleaseWriter::writeTree(const QString &dir, PatchMaker *patchMaker)
{
    QStringList descriptors;
    QStringList digests;
    for (const ReleaseFile &file : qAsConst(files)) {
        const QString target = dir + QLatin1Char('/') + file.group + QLatin1Char('/') + file.key();
        if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
            err << "vt3-publish: cannot create the folder of " << target << Qt::endl;
            return false;
        }
        PackedFile packed;
        QString error;
        if (!packFile(file.sourcePath, target, packed, error)) {
            err << "vt3-publish: " << error << Qt::endl;
            return false;
        }
        format::Descriptor descriptor;
        descriptor.md5 = QString::fromLatin1(packed.md5);
        descriptor.size = QString::number(packed.size);
        descriptor.unpackedSize = QString::number(packed.unpackedSize);
        descriptor.unpackedMd5 = QString::fromLatin1(packed.unpackedMd5);
        descriptor.installName = file.installName;
        descriptors << descriptor.join();
        digests << QString::fromLatin1(packed.sha256);
        if (patchMaker) {
            bool refused = false;
            if (!patchMaker->patchFile(file.installName, file.sourcePath, file.key(), packed,
                                       dir + QLatin1Char('/') + file.group, patches, refused, error)) {
                if (refused)
                    refusal = error;
                else
                    err << "vt3-publish: " << error << Qt::endl;
                return false;
            }
        }
        GroupTotals &totals = file.group == PlatformGroup ? platform : common;
        ++totals.files;
        totals.unpacked += packed.unpackedSize;
        totals.packed += packed.size;
    }
    return writeManifest(dir, descriptors, digests);
}

bool ReleaseWriter::writeManifest(const QString &dir, const QStringList &descriptors, const QStringList &digests)
{
    const QString path = dir + QLatin1Char('/') + ManifestName;
    {
        // QSettings writes it, so keys and values carry exactly the escaping
        // that the updater's QSettings reads back.
        QSettings manifest(path, QSettings::IniFormat);
        for (int i = 0; i < files.size(); ++i)
            manifest.setValue(files.at(i).group + QLatin1Char('/') + files.at(i).key(), descriptors.at(i));
        // Older updaters never read this group; newer ones check each served
        // file against it, and the signature covers it with the rest.
        for (int i = 0; i < files.size(); ++i)
            manifest.setValue(Sha256Group + QLatin1Char('/') + files.at(i).key(), digests.at(i));
        // Says that fields 2 and 3 are the unpacked size and MD5, so that
        // newer updaters leave installed files that match them in place.
        manifest.setValue(format::FormatGroup + QLatin1Char('/') + format::UnpackedKey, format::UnpackedMd5Value);
        // Older updaters read only the groups they know and fetch full
        // files as before.
        for (const WrittenPatch &patch : qAsConst(patches))
            manifest.setValue(vt3::patch::PatchesGroup + QLatin1Char('/') + patch.key, patch.entry.join());
        for (const QString &p : options.deletePaths)
            manifest.setValue(DeleteGroup + QLatin1Char('/') + p, 1);
        for (const QString &p : options.keepPaths)
            manifest.setValue(DeleteGroup + QLatin1Char('/') + p, 0);
        manifest.sync();
        if (manifest.status() != QSettings::NoError) {
            err << "vt3-publish: cannot write " << path << Qt::endl;
            return false;
        }
    }
    return true;
}

bool ReleaseWriter::writeVersion(const QString &dir)
{
    QFile file(dir + QLatin1Char('/') + VersionFileName);
    const QByteArray reply = (options.releaseId + QLatin1Char('#') + options.version).toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(reply) != reply.size() || !file.flush()) {
        err << "vt3-publish: cannot write " << file.fileName() << ": " << file.errorString() << Qt::endl;
        return false;
    }
    return true;
}

bool ReleaseWriter::writeSignatures(const QString &dir)
{
    if (signingKeys.isEmpty())
        return true;
    int count = 0;
    QString error;
    if (signRelease(dir, options.releaseId.toULongLong(), signingKeys, count, error) != KeyStatus::Ok) {
        err << "vt3-publish: " << error << Qt::endl;
        return false;
    }
    return true;
}

void ReleaseWriter::printSummary(const QString &releaseDir, int patchesNotSmaller)
{
    auto line = [&](const QString &name, const GroupTotals &t) {
        out << "  " << qSetFieldWidth(14) << Qt::left << name << qSetFieldWidth(0) << t.files << " files, "
            << t.unpacked << " bytes -> " << t.packed << " bytes (" << percent(t.packed, t.unpacked) << ")" << Qt::endl;
    };
    out << "Release " << options.releaseId << " (" << options.version << ") written to " << releaseDir << Qt::endl;
    line(PlatformGroup, platform);
    line(CommonGroup, common);
    GroupTotals all;
    all.files = platform.files + common.files;
    all.unpacked = platform.unpacked + common.unpacked;
    all.packed = platform.packed + common.packed;
    line(QStringLiteral("total"), all);
    out << "  " << qSetFieldWidth(14) << Qt::left << DeleteGroup << qSetFieldWidth(0) << options.deletePaths.size()
        << " to delete, " << options.keepPaths.size() << " to keep" << Qt::endl;
    if (!options.previousDirs.isEmpty()) {
        qint64 full = 0;
        qint64 patched = 0;
        for (const WrittenPatch &patch : qAsConst(patches)) {
            full += patch.fullBytes;
            patched += format::sizeBytes(patch.entry.patchSize);
        }
        const auto megabytes = [](qint64 bytes) { return QString::number(double(bytes) / 1e6, 'f', 2); };
        // The bytes as well: a small release's saving disappears in the
        // rounding of megabytes.
        out << "  patches: " << patches.size() << " written, " << megabytes(full) << " MB of full files as "
            << megabytes(patched) << " MB (" << full << " bytes as " << patched << ", " << percent(patched, full)
            << ")";
        if (patchesNotSmaller > 0)
            out << " (" << patchesNotSmaller << " not kept: no smaller than the full file)";
        out << Qt::endl;
    }
    for (const SigningKey &key : qAsConst(signingKeys))
        out << "  signed by key " << key.keyId() << Qt::endl;
    out << "Version reply (for vt3-versiond --reply-file " << releaseDir << "/" << VersionFileName
        << "): " << options.releaseId << "#" << options.version << Qt::endl;
}

} // namespace vt3publish
