#include "installer.h"

#include "appdir.h"
#include "pathsafety.h"
#include "releaseformat.h"
#include "releasestate.h"
#include "run/runcontext.h"
#include "run/runprogress.h"
#include "run/texts.h"
#include "run/transcript.h"
#include "verify/keptrelease.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

// Checking and unpacking, in the key order of the release's files. Most
// files were checked and unpacked while they were downloaded; this walk
// then only confirms that nothing changed them since. The others (files of
// an earlier run, files sharing a name) are checked and unpacked from disk
// by the worker, one at a time, while the window waits for its answer.

namespace {

// The walk over files checked already is quick per file, but a release of
// thousands of files would hold the window for a second; it hands control
// back to the event loop after this long.
constexpr qint64 WalkSliceMs = 20;

QString nativeAbsolute(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toHtmlEscaped();
}

} // namespace

void vt3::Installer::startNextGzip()
{
    auto entry = plan.files.constBegin();
    if (!lastExtracted.isEmpty()) {
        while (entry != plan.files.constEnd() && entry.value() != lastExtracted)
            ++entry;
        if (entry != plan.files.constEnd())
            ++entry;
    }
    unpackedBytes = 0;
    extractFrom(entry);
}

void vt3::Installer::extractFrom(QMap<QString, QString>::const_iterator entry)
{
    // The walk holds its own cursor (the key in hand) so that entries with
    // equal descriptors are each visited once; lastExtracted follows it for
    // the record.
    QElapsedTimer slice;
    slice.start();
    for (; entry != plan.files.constEnd(); ++entry) {
        if (slice.elapsed() > WalkSliceMs) {
            const QString key = entry.key();
            QMetaObject::invokeMethod(
                this, [this, key] { extractFrom(plan.files.constFind(key)); }, Qt::QueuedConnection);
            return;
        }
        if (plan.isUpToDate(entry.key()))
            continue;
        if (patched.contains(entry.key())) {
            // Made from its patch, and checked then: already unpacked.
            vt3::format::Descriptor fields;
            vt3::format::Descriptor::split(entry.value(), fields);
            say(vt3::Texts::tr("extracting %1...").arg(fields.installName.toHtmlEscaped()));
            lastExtracted = entry.value();
            unpackedBytes += vt3::format::sizeBytes(fields.size);
            showUnpackProgress(0);
            continue;
        }
        const QString downloaded = run.workDir + QLatin1Char('/') + entry.key();
        const vt3::CheckedFile checked = checkedFiles.value(entry.key());
        const bool unchanged = checked.identity.isValid() && vt3::identityOf(downloaded) == checked.identity;
        if (unchanged && !reportVerification(entry.key(), checked.verification)) {
            stop(RunStop::Failed);
            return;
        }

        vt3::format::Descriptor fields;
        const bool complete = vt3::format::Descriptor::split(entry.value(), fields);
        const QString installName = vt3::format::normalPath(fields.installName);
        const bool safe = complete && vt3::isSafeRelativePath(installName);
        if (unchanged && checked.unpackTried && safe) {
            say(vt3::Texts::tr("extracting %1...").arg(fields.installName.toHtmlEscaped()));
            if (!reportExtraction(entry.key(), checked.unpackStatus)) {
                stop(RunStop::Failed);
                return;
            }
            lastExtracted = entry.value();
            unpackedBytes += vt3::format::sizeBytes(fields.size);
            showUnpackProgress(0);
            continue;
        }

        vt3::ExtractJob job;
        job.key = entry.key();
        job.download = downloaded;
        job.unpacked = run.workDir + QLatin1Char('/') + installName;
        job.expected = plan.expected(entry.key());
        job.verified = unchanged;
        // The manifest check refuses such names already; the unpacked file
        // must never land outside the work directory all the same.
        if (!safe) {
            if (unchanged || reportVerification(entry.key(), vt3::verifyFile(downloaded, job.expected))) {
                say(vt3::Texts::tr("extracting %1...").arg(fields.installName.toHtmlEscaped()));
                say(vt3::Texts::tr("<font color=red>%1 file extract error.</font>").arg(nativeAbsolute(downloaded)));
            }
            stop(RunStop::Failed);
            return;
        }
        extractingKey = entry.key();
        run.toWorker([job](vt3::ReleaseWorker *w) { w->extractFile(job); });
        return;
    }
    extractingKey.clear();
    copyFiles();
}

bool vt3::Installer::reportVerification(const QString &key, vt3::Verification verification)
{
    const QString downloaded = run.workPath(key);
    // Bytes that came whole yet are not the manifest's were the mirror's
    // doing: the next run tries the others first.
    if (verification == vt3::Verification::WrongSize || verification == vt3::Verification::WrongDigest)
        run.mirrorFailed(run.servedBy.value(key), QStringLiteral("wrong digest"));
    switch (verification) {
    case vt3::Verification::Ok:
        return true;
    case vt3::Verification::Unreadable:
        say(vt3::Texts::tr("<font color=red>%1 file read error.</font>").arg(nativeAbsolute(downloaded)));
        break;
    case vt3::Verification::WrongSize:
        say(vt3::Texts::tr("<font color=red>%1 file size not correct</font>").arg(nativeAbsolute(downloaded)));
        break;
    case vt3::Verification::WrongDigest:
        say(vt3::Texts::tr("<font color=red>%1 file MD5 not correct</font>").arg(nativeAbsolute(downloaded)));
        break;
    }
    return false;
}

void vt3::Installer::fileVerified(const QString &key, vt3::Verification verification)
{
    if (key != extractingKey)
        return;
    if (!reportVerification(key, verification)) {
        extractingKey.clear();
        stop(RunStop::Failed);
        return;
    }
    vt3::format::Descriptor fields;
    vt3::format::Descriptor::split(plan.files.value(key), fields);
    say(vt3::Texts::tr("extracting %1...").arg(fields.installName.toHtmlEscaped()));
}

void vt3::Installer::fileExtracted(const QString &key, vt3::ExtractStatus status)
{
    if (key != extractingKey)
        return;
    extractingKey.clear();
    const auto entry = plan.files.constFind(key);
    if (entry == plan.files.constEnd())
        return;
    if (!reportExtraction(key, status)) {
        stop(RunStop::Failed);
        return;
    }
    vt3::format::Descriptor fields;
    vt3::format::Descriptor::split(entry.value(), fields);
    lastExtracted = entry.value();
    unpackedBytes += vt3::format::sizeBytes(fields.size);
    showUnpackProgress(0);
    extractFrom(std::next(entry));
}

bool vt3::Installer::reportExtraction(const QString &key, vt3::ExtractStatus status)
{
    vt3::format::Descriptor fields;
    vt3::format::Descriptor::split(plan.files.value(key), fields);
    const QString downloaded = run.workDir + QLatin1Char('/') + key;
    const QString unpacked = run.workDir + QLatin1Char('/') + vt3::format::normalPath(fields.installName);
    switch (status) {
    case vt3::ExtractStatus::Ok:
        return true;
    case vt3::ExtractStatus::ReadError:
        say(vt3::Texts::tr("<font color=red>%1 file read error.</font>").arg(nativeAbsolute(downloaded)));
        break;
    case vt3::ExtractStatus::WriteError:
        say(vt3::Texts::tr("<font color=red>%1 file write error.</font>").arg(nativeAbsolute(unpacked)));
        break;
    case vt3::ExtractStatus::ExtractError:
        say(vt3::Texts::tr("<font color=red>%1 file extract error.</font>").arg(nativeAbsolute(downloaded)));
        break;
    case vt3::ExtractStatus::Cancelled:
        break;
    }
    return false;
}

void vt3::Installer::showUnpackProgress(qint64 bytesOfFile)
{
    const qint64 totalBytes = run.progress.total();
    if (totalBytes <= 0)
        return;
    const qint64 done = qMin(totalBytes, unpackedBytes + bytesOfFile);
    run.transcript.face()->unpackProgress(static_cast<int>(done * 100 / totalBytes));
}

void vt3::Installer::gzipError(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart)
        say(vt3::Texts::tr("<font color=red>Failed to run Gzip.exe</font>"));
}

void vt3::Installer::copyFiles()
{
    vt3::InstallJob job;
    job.appDir = vt3::applicationDir();
    job.workDir = run.workDir;
    // Entries may share an install name; the file unpacked for them is
    // moved into place once, by the first.
    QSet<QString> placed;
    for (auto entry = plan.files.constBegin(); entry != plan.files.constEnd(); ++entry) {
        vt3::format::Descriptor fields;
        vt3::format::Descriptor::split(entry.value(), fields);
        const QString installName = vt3::format::normalPath(fields.installName);
        if (placed.contains(installName))
            continue;
        placed.insert(installName);
        job.installNames << installName;
        if (plan.isUpToDate(entry.key()))
            job.upToDate << installName;
        else if (plan.knownChanged.contains(entry.key()))
            job.knownChanged << installName;
    }
    run.toWorker([job](vt3::ReleaseWorker *w) { w->installFiles(job); });
}

void vt3::Installer::filesInstalled(const vt3::InstallReport &report)
{
    for (const QString &destination : report.failed) {
        const QString shown = QDir::toNativeSeparators(QFileInfo(destination).absoluteFilePath()).toHtmlEscaped();
        if (report.busy.contains(destination))
            say(vt3::Texts::tr("%1 is locked by another program.").arg(shown));
        say(vt3::Texts::tr("<font color=red>%1 file install error.</font>").arg(shown));
    }
    // A half-installed release must not look finished: the work directory
    // stays, and the next start resumes in it and tries again.
    if (report.allInstalled)
        allFinished();
    else
        stop(RunStop::Failed);
}

void vt3::Installer::allFinished()
{
    run.transcript.face()->unpackProgress(100);

    QStringList deletions;
    for (auto entry = removals.constBegin(); entry != removals.constEnd(); ++entry) {
        if (entry.value() == 0)
            continue;
        QString path = entry.key();
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        // The manifest check refuses such names already; a deletion is the
        // last place where one could still reach outside the installation.
        if (!vt3::isSafeRelativePath(path))
            continue;
        deletions << path;
    }
    const QString workDir = QDir(run.workDir).absolutePath();
    const QString appDir = vt3::applicationDir();
    // Before the clear-up takes the work directory, manifest and all.
    keepRelease(appDir);
    // Heard only during the clear-up, so connected for it alone.
    disconnect(run.worker, &vt3::ReleaseWorker::leftInUse, this, nullptr);
    connect(run.worker, &vt3::ReleaseWorker::leftInUse, this, [this](const QString &path, bool atRestart) {
        const QString shown = QDir::toNativeSeparators(path).toHtmlEscaped();
        say(atRestart ? vt3::Texts::tr("%1 is still in use; it will be removed at the next restart.").arg(shown)
                      : vt3::Texts::tr("%1 is still in use; it will be removed at the next start.").arg(shown));
    });
    run.toWorker([workDir, appDir, deletions](vt3::ReleaseWorker *w) { w->clearUp(workDir, appDir, deletions); });
}

void vt3::Installer::keepRelease(const QString &appDir)
{
    const QString manifestName = vt3::format::manifestName(vt3::format::Platform);
    QFile manifest(run.workPath(manifestName));
    QFile signature(run.workPath(vt3::format::signatureName(vt3::format::Platform)));
    QStringList names;
    for (auto it = plan.files.cbegin(); it != plan.files.cend(); ++it)
        names << plan.installName(it.key());
    const bool kept = manifest.open(QIODevice::ReadOnly) &&
                      vt3::keepRelease(appDir, manifest.readAll(),
                                       signature.open(QIODevice::ReadOnly) ? signature.readAll() : QByteArray(),
                                       vt3::statInstalled(appDir, names));
    if (!kept)
        say(vt3::Texts::tr("<font color=red>write file %1 error</font>")
                .arg(QDir::toNativeSeparators(vt3::keptManifestPath(appDir)).toHtmlEscaped()));
}

void vt3::Installer::runCleared()
{
    const QString appDir = vt3::applicationDir();
    // The release that was installed before is the one this run brought
    // back: what it fetched were files that had gone missing or changed.
    if (run.releaseNumber() != 0 && vt3::installedRelease(appDir) == run.releaseNumber()) {
        QSet<QString> fetched;
        for (const ReleasePlan::Entry &entry : plan.queue) {
            if (!plan.isUpToDate(entry.key))
                fetched.insert(vt3::format::foldedPath(plan.installName(entry.key)));
        }
        say(vt3::Texts::tr("%n file(s) repaired.", nullptr, fetched.size()));
    }
    // Recorded only now: a run that stops anywhere before has installed
    // nothing that a later, older release must not replace.
    if (run.releaseNumber() != 0 && !vt3::recordInstalledRelease(appDir, run.releaseNumber()))
        say(vt3::Texts::tr("<font color=red>write file %1 error</font>")
                .arg(QDir::toNativeSeparators(vt3::releaseStatePath(appDir)).toHtmlEscaped()));

    // The launch button is there by the time the line that names it is.
    emit installed();
    run.progress.flush();
    run.transcript.finished();
    say(vt3::Texts::tr("<font color=red>Update finished.Press \"Start Voxtera3\" run Voxtera3.</font>"));
}

vt3::Installer::Installer(RunContext &context, const ReleasePlan &releasePlan,
                          const QHash<QString, CheckedFile> &checked, const QSet<QString> &patchedFiles,
                          const QMap<QString, int> &toRemove, QObject *parent)
    : QObject(parent)
    , run(context)
    , plan(releasePlan)
    , checkedFiles(checked)
    , patched(patchedFiles)
    , removals(toRemove)
{
    qRegisterMetaType<RunStop>();
    ReleaseWorker *worker = run.worker;
    connect(worker, &ReleaseWorker::fileVerified, this, &Installer::fileVerified);
    connect(worker, &ReleaseWorker::fileExtracted, this, &Installer::fileExtracted);
    connect(worker, &ReleaseWorker::unpackProgress, this, &Installer::showUnpackProgress);
    connect(worker, &ReleaseWorker::filesInstalled, this, &Installer::filesInstalled);
    connect(worker, &ReleaseWorker::clearedUp, this, &Installer::runCleared);
}

void vt3::Installer::say(const QString &html)
{
    run.transcript.line(html);
}

void vt3::Installer::stop(RunStop why)
{
    QMetaObject::invokeMethod(
        this, [this, why] { emit stopped(why); }, Qt::QueuedConnection);
}
