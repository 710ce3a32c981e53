#include "filejob.h"

#include "appdir.h"
#include "install/releaseworker.h"
#include "run/runcontext.h"
#include "run/runprogress.h"
#include "run/texts.h"
#include "run/transcript.h"

#include "releaseformat.h"

#include <QFileInfo>

namespace vt3 {

FileJob::FileJob(RunContext &context, int position, QObject *parent)
    : QObject(parent)
    , run(context)
    , at(position)
    , entry(context.plan->queue.at(position))
    , fetched(entry.key)
    , group(entry.group)
{
}

bool FileJob::startBeside()
{
    const FileTransfer::Target target{entry.key,
                                      entry.group,
                                      run.fileMirror(0),
                                      run.plan->expected(entry.key),
                                      run.plan->streamTargets.value(entry.key),
                                      at,
                                      true};
    transfer = std::make_unique<FileTransfer>(run, target);
    connect(transfer.get(), &FileTransfer::ended, this, &FileJob::transferEnded);
    if (!transfer->start()) {
        transfer.reset();
        return false;
    }
    step = Step::Fetching;
    run.transcript.line(Texts::tr("Downloading %1...").arg(entry.key.toHtmlEscaped()), at);
    return true;
}

void FileJob::takeUp()
{
    head = true;
    switch (step) {
    case Step::Fetching:
        // Started beside the head: taken up once it ends.
        return;
    case Step::FetchedBeside:
    case Step::FailedBeside:
        takeUpBeside();
        return;
    default:
        begin();
        return;
    }
}

void FileJob::kill()
{
    step = Step::Done;
    transfer.reset();
}

void FileJob::begin()
{
    // A file fetched as a patch keeps its place in the queue until the
    // patch has given the file, or has failed and the file is fetched whole.
    const auto chosen = run.plan->patchFor.constFind(entry.key);
    const bool patch = chosen != run.plan->patchFor.constEnd() && !patchFailed;
    fetched = patch ? chosen.value().key : entry.key;
    group = patch ? chosen.value().group : entry.group;
    attempt = 0;
    startedOver = false;
    run.transcript.line(Texts::tr("Downloading %1...").arg(fetched.toHtmlEscaped()), at);

    // Only a file of the announced length can be complete; one of any
    // other length is continued or fetched without being read first.
    const ExpectedFile expected = run.plan->expected(fetched);
    const QString path = run.workPath(fetched);
    const QFileInfo present(path);
    if (present.isFile() && present.size() == expected.size && (run.plan->files.contains(fetched) || patch)) {
        step = Step::CheckingPresent;
        awaited = run.newStream();
        const quint64 id = awaited;
        const QString key = fetched;
        run.toWorker([id, key, path, expected](ReleaseWorker *w) { w->checkPresent(id, key, path, expected); });
        return;
    }
    startAttempt();
}

void FileJob::startAttempt()
{
    const FileTransfer::Target target{
        fetched, group, run.fileMirror(attempt), run.plan->expected(fetched), run.plan->streamTargets.value(fetched),
        at,      false};
    transfer = std::make_unique<FileTransfer>(run, target);
    connect(transfer.get(), &FileTransfer::ended, this, &FileJob::transferEnded);
    step = Step::Fetching;
    if (transfer->start())
        return;
    run.transcript.line(
        Texts::tr("<font color=red>write file %1 error</font>").arg(run.workPath(fetched).toHtmlEscaped()), at);
    transfer.reset();
    step = Step::Done;
    QMetaObject::invokeMethod(this, &FileJob::stopped, Qt::QueuedConnection);
}

void FileJob::transferEnded(FileTransfer *ended, bool complete)
{
    if (ended != transfer.get())
        return;
    const bool beside = ended->target().beside;
    const QString mirror = run.mirrorOf(ended->target().releaseUrl);
    if (complete)
        run.mirrorServed(mirror, ended->bytesPerSecond());
    else if (!ended->failureKind().isEmpty())
        run.mirrorFailed(mirror, ended->failureKind());
    bytes = beside ? ended->written() : ended->resumeOffset();
    awaited = ended->stream();
    // It reported from the event loop; it may go now.
    transfer.release()->deleteLater();
    if (beside) {
        step = complete ? Step::FetchedBeside : Step::FailedBeside;
        if (head)
            takeUpBeside();
        else
            emit besideEnded();
        return;
    }
    if (!complete) {
        retry();
        return;
    }
    // A patch is applied once its digests are known to be right. A
    // continued file is only as good as the part an earlier transfer left;
    // its digests decide whether it is fetched once more from byte 0.
    if (isPatch() || (bytes > 0 && !startedOver)) {
        step = isPatch() ? Step::CheckingPatch : Step::CheckingResumed;
        if (early && early->stream == awaited) {
            const CheckedFile answered = *early;
            early.reset();
            judge(answered);
        }
        return;
    }
    // The transfer's progress counted only the bytes it carried.
    run.progress.complete(bytes);
    finish(false);
}

void FileJob::takeUpBeside()
{
    const bool complete = step == Step::FetchedBeside;
    run.progress.besideTakenUp(bytes, complete);
    if (complete) {
        finish(false);
        return;
    }
    // What is there of it is continued, as after any failed attempt; its
    // lines were said when the head reached it.
    retry();
}

void FileJob::fileChecked(const CheckedFile &checked)
{
    if (step == Step::Fetching && transfer && checked.stream == transfer->stream()) {
        early = std::make_unique<CheckedFile>(checked);
        return;
    }
    if (checked.stream != awaited)
        return;
    judge(checked);
}

void FileJob::judge(const CheckedFile &checked)
{
    const bool ok = checked.verification == Verification::Ok;
    switch (step) {
    case Step::CheckingPresent:
        if (!ok) {
            startAttempt();
            return;
        }
        run.progress.complete(run.plan->expected(fetched).size);
        if (isPatch()) {
            // A patch an earlier run fetched whole is applied as it is.
            bytes = 0;
            applyPatch();
            return;
        }
        finish(false);
        return;
    case Step::CheckingResumed:
        if (ok) {
            run.progress.complete(bytes);
            finish(false);
            return;
        }
        // The part an earlier transfer left is the suspect; the whole file
        // once more, and verification judges what follows.
        startedOver = true;
        QFile::remove(run.workPath(fetched));
        startAttempt();
        return;
    case Step::CheckingPatch:
        if (ok) {
            applyPatch();
        } else if (bytes > 0 && !startedOver) {
            startedOver = true;
            QFile::remove(run.workPath(fetched));
            startAttempt();
        } else {
            fallBack(QStringLiteral("its digests are not the manifest's"));
        }
        return;
    default:
        return;
    }
}

void FileJob::retry()
{
    ++attempt;
    if (!run.fileMirror(attempt).isEmpty()) {
        startAttempt();
        return;
    }
    if (isPatch()) {
        fallBack(QStringLiteral("no mirror served it"));
        return;
    }
    // No mirror had it: the queue goes on, and the check of the release's
    // files says what is missing.
    finish(false);
}

void FileJob::applyPatch()
{
    const patch::ListedPatch listed = run.plan->patchFor.value(entry.key);
    const QString installName = format::normalPath(run.plan->installName(entry.key));
    PatchJob job;
    job.key = entry.key;
    job.base = applicationDir() + QLatin1Char('/') + installName;
    job.patch = run.workPath(listed.key);
    job.output = run.workPath(installName);
    job.baseSize = listed.baseBytes;
    job.patchSize = listed.patchBytes;
    job.resultSize = listed.resultBytes;
    job.resultMd5 = listed.resultMd5;
    step = Step::ApplyingPatch;
    run.toWorker([job](ReleaseWorker *w) { w->applyPatch(job); });
}

void FileJob::patchApplied(const QString &key, const QString &error)
{
    if (step != Step::ApplyingPatch || key != entry.key)
        return;
    if (!error.isEmpty()) {
        fallBack(error);
        return;
    }
    // The transfer's progress counted only the bytes it carried.
    run.progress.complete(bytes);
    finish(true);
}

void FileJob::fallBack(const QString &why)
{
    // A patch is only a shortcut: whatever goes wrong with it, the file is
    // fetched whole in the same run.
    const patch::ListedPatch listed = run.plan->patchFor.value(entry.key);
    patchFailed = true;
    QFile::remove(run.workPath(listed.key));
    format::Descriptor fields;
    format::Descriptor::split(run.plan->files.value(entry.key), fields);
    run.progress.addToTotal(format::sizeBytes(fields.size) - listed.patchBytes);
    run.transcript.line(
        Texts::tr("<font color=red>The patch for %1 cannot be used; the whole file is fetched instead.</font>")
            .arg(fields.installName.toHtmlEscaped()),
        at);
    run.transcript.detail(Texts::tr("Patch %1: %2").arg(listed.key, why).toHtmlEscaped(), at);
    begin();
}

void FileJob::finish(bool patched)
{
    step = Step::Done;
    // Always from the event loop: the scheduler lets go of this job then.
    QMetaObject::invokeMethod(
        this, [this, patched] { emit done(this, patched); }, Qt::QueuedConnection);
}

} // namespace vt3
