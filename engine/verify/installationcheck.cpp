#include "installationcheck.h"

#include "install/uptodate.h"
#include "keptrelease.h"
#include "manifest/manifestparse.h"
#include "releaseformat.h"
#include "releasestate.h"
#include "run/texts.h"
#include "signature.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace vt3 {

namespace {
const QLatin1String TrustedKeysName("trusted-keys.txt");
// Files of the updater itself, which no release lists: its program, its
// records (all named vt3update...), its configuration, catalogues and the
// process-list stand-in.
const QLatin1String OwnPrefix("vt3update");
const QStringList OwnFiles{QStringLiteral("mirrors.ini"), TrustedKeysName, QStringLiteral("tasklist.exe")};
const QLatin1String OwnFolder("translations/");

bool isUpdatersOwn(const QString &folded)
{
    return (!folded.contains(QLatin1Char('/')) && folded.startsWith(OwnPrefix)) || OwnFiles.contains(folded) ||
           folded.startsWith(OwnFolder);
}

// Empty when the kept manifest may be trusted, else why not.
QString signatureProblem(const QString &appDir, const QByteArray &manifest)
{
    const QString invalid = Texts::tr("The kept manifest's signature is not valid.");
    QFile keys(appDir + QLatin1Char('/') + TrustedKeysName);
    if (!keys.exists())
        return QString();
    // A key file that is there but cannot be read still asks for a signed
    // release, as it does of a run.
    if (!keys.open(QIODevice::ReadOnly))
        return invalid;
    const signature::TrustedKeys trusted = signature::parseTrustedKeys(keys.readAll());
    if (!trusted.required())
        return QString();
    QFile signatureFile(keptSignaturePath(appDir));
    const bool verified = signatureFile.open(QIODevice::ReadOnly) &&
                          signature::verifyRelease(signature::parseSignatureFile(signatureFile.readAll()),
                                                   installedRelease(appDir), manifest, trusted.keys);
    return verified ? QString() : invalid;
}

QStringList filesBelow(const QString &appDir)
{
    QStringList names;
    const QDir root(appDir);
    QDirIterator it(appDir, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        names << root.relativeFilePath(it.next());
    return names;
}
} // namespace

InstallationReport checkInstallation(const QString &appDir, VerifyDepth depth)
{
    InstallationReport report;
    QFile kept(keptManifestPath(appDir));
    if (!kept.open(QIODevice::ReadOnly)) {
        report.problem = Texts::tr("No release is kept to verify against: this installation has not completed an "
                                   "update with this updater yet.");
        return report;
    }
    report.problem = signatureProblem(appDir, kept.readAll());
    if (!report.problem.isEmpty())
        return report;
    const ManifestLists lists = parseManifest(keptManifestPath(appDir), format::Platform);
    if (!lists.filesUsable) {
        report.problem = Texts::tr("The kept manifest cannot be read.");
        return report;
    }

    // The user's own files, which a release lists as kept, are not judged.
    QSet<QString> userFiles;
    for (auto it = lists.removals.cbegin(); it != lists.removals.cend(); ++it) {
        if (it.value() == 0)
            userFiles.insert(format::foldedPath(format::normalPath(it.key())));
    }
    const InstalledStats recorded = readInstalledStats(appDir);
    QSet<QString> listed;
    QMap<QString, QString> toRead; // key -> descriptor, of files whose bytes decide
    QMap<QString, QString> nameOf; // key -> install name
    for (auto it = lists.files.cbegin(); it != lists.files.cend(); ++it) {
        format::Descriptor fields;
        format::Descriptor::split(it.value(), fields);
        const QString name = format::normalPath(fields.installName);
        const QString folded = format::foldedPath(name);
        listed.insert(folded);
        if (userFiles.contains(folded))
            continue;
        const QFileInfo info(appDir + QLatin1Char('/') + name);
        if (!info.isFile()) {
            if (!report.missing.contains(name))
                report.missing << name;
            continue;
        }
        const InstalledStat now{info.size(), info.lastModified().toMSecsSinceEpoch()};
        const auto was = recorded.constFind(name);
        const bool asInstalled = was != recorded.cend() && *was == now;
        if (depth == VerifyDepth::Fast && asInstalled)
            continue;
        if (lists.unpackedKnown) {
            toRead.insert(it.key(), it.value());
            nameOf.insert(it.key(), name);
        } else if (was != recorded.cend() && !asInstalled && !report.modified.contains(name)) {
            // Without the unpacked digests only the record can tell.
            report.modified << name;
        }
    }
    const QSet<QString> current = upToDateKeys(appDir, toRead);
    for (auto it = nameOf.cbegin(); it != nameOf.cend(); ++it) {
        if (!current.contains(it.key()) && !report.modified.contains(it.value()))
            report.modified << it.value();
    }
    for (const QString &name : filesBelow(appDir)) {
        const QString folded = format::foldedPath(name);
        if (!listed.contains(folded) && !userFiles.contains(folded) && !isUpdatersOwn(folded))
            report.extra << name;
    }
    report.missing.sort();
    report.modified.sort();
    report.extra.sort();
    report.verdict = report.missing.isEmpty() && report.modified.isEmpty() ? InstallationReport::Verdict::Intact
                                                                           : InstallationReport::Verdict::Damaged;
    return report;
}

} // namespace vt3
