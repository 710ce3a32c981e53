#include "filejob.h"

#include "appdir.h"
#include "install/releaseworker.h"
#include "run/runcontext.h"
#include "run/runprogress.h"
#include "run/texts.h"
#include "run/transcript.h"

#include "releaseformat.h"

#include <QDeadlineTimer>
#include <QFileInfo>

namespace {

// A file whose requests the server keeps dropping unstarted is not just
// meeting the end of a connection: after this many the next such end counts
// as a failed attempt, with its red line. A request waits behind at most
// the transfers in flight, so a server that ends its connections after a
// few dozen requests strands one request about three times.
constexpr int MaxResends = 3;
// How long a request turned away from an ending connection waits before it
// is sent again: long enough not to spin while the last answers on that
// connection finish, short against a round trip to a far mirror.
constexpr int TurnedAwayPauseMs = 50;

} // namespace

namespace vt3 {

FileJob::FileJob(RunContext &context, int position, QObject *parent)
    : QObject(parent)
    , run(context)
    , at(position)
    , entry(context.plan->queue.at(position))
    , fetched(entry.key)
    , group(entry.group)
{
    resendTimer.setSingleShot(true);
    resendTimer.setInterval(TurnedAwayPauseMs);
}

FileTransfer::Target FileJob::targetOf(int onAttempt, bool beside) const
{
    FileTransfer::Target target;
    target.key = fetched;
    target.group = group;
    target.releaseUrl = run.fileMirror(onAttempt);
    target.expected = run.plan->expected(fetched);
    target.unpackTarget = run.plan->streamTargets.value(fetched);
    target.position = at;
    target.beside = beside;
    target.resendable = resent < MaxResends;
    return target;
}

bool FileJob::startBeside()
{
    if (!sendBeside())
        return false;
    run.transcript.line(Texts::tr("Downloading %1...").arg(entry.key.toHtmlEscaped()), at);
    return true;
}

bool FileJob::sendBeside()
{
    transfer = std::make_unique<FileTransfer>(run, targetOf(0, true));
    connect(transfer.get(), &FileTransfer::ended, this, &FileJob::transferEnded);
    if (!transfer->start()) {
        transfer.reset();
        return false;
    }
    step = Step::Fetching;
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
    resendTimer.stop();
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
    transfer = std::make_unique<FileTransfer>(run, targetOf(attempt, false));
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
    if (!complete && ended->wasUnsent() && resend(ended))
        return;
    const bool beside = ended->target().beside;
    const QString mirror = run.mirrorOf(ended->target().releaseUrl);
    if (complete) {
        ++run.transfersServed;
        run.servedBy.insert(fetched, mirror);
        run.mirrorServed(mirror, ended->bytesPerSecond());
    } else if (!ended->failureKind().isEmpty()) {
        run.mirrorFailed(mirror, ended->failureKind());
    }
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

bool FileJob::resend(FileTransfer *ended)
{
    const bool beside = ended->target().beside;
    const qint64 now = QDeadlineTimer::current().deadline();
    // A server that ends its connections every few dozen requests leaves
    // some requests unstarted each time; while others are answered in
    // between, that is the luck of the queue, not a mirror refusing the file.
    if (run.transfersServed != servedAtResend) {
        servedAtResend = run.transfersServed;
        resent = 0;
    }
    if (!ended->wasTurnedAway()) {
        turnedAwaySinceMs = 0;
        ++resent;
    } else if (turnedAwaySinceMs == 0) {
        turnedAwaySinceMs = now;
    } else if (now - turnedAwaySinceMs > run.limits.stallTimeoutMs) {
        // A connection that never finishes ending is a stall like any other.
        ++resent;
    }
    // Only the first of a row of turns-away is worth a line: they come
    // every pause for as long as the ending connection lasts.
    if (!ended->wasTurnedAway() || turnedAwaySinceMs == now)
        run.transcript.detail(Texts::tr("%1 was not started by the server (%2); it is asked for again.")
                                  .arg(fetched, ended->unsentReason())
                                  .toHtmlEscaped(),
                              at);
    transfer.release()->deleteLater();
    // The same attempt once more. A request turned away waits a moment:
    // until the ending connection's last answers are through, the
    // framework hands every new request to it.
    if (!ended->wasTurnedAway()) {
        sendAgain(beside);
        return true;
    }
    resendTimer.disconnect();
    connect(&resendTimer, &QTimer::timeout, this, [this, beside] { sendAgain(beside); });
    resendTimer.start();
    return true;
}

void FileJob::sendAgain(bool beside)
{
    if (step == Step::Done)
        return;
    if (!beside) {
        startAttempt();
        return;
    }
    if (sendBeside())
        return;
    // The file could not be made again: left to the head, as a failed
    // transfer beside it.
    step = Step::FailedBeside;
    bytes = 0;
    if (head)
        takeUpBeside();
    else
        emit besideEnded();
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
            run.mirrorFailed(run.servedBy.value(fetched), QStringLiteral("wrong digest"));
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
    // Each attempt has its own allowance: a server that ends connections
    // often enough to count against one attempt still serves the next.
    resent = 0;
    turnedAwaySinceMs = 0;
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
