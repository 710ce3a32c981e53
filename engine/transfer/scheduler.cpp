#include "scheduler.h"

#include "filejob.h"
#include "run/runcontext.h"
#include "run/texts.h"
#include "run/transcript.h"

namespace vt3 {

TransferScheduler::TransferScheduler(RunContext &context, int parallel, QObject *parent)
    : QObject(parent)
    , run(context)
    , policy(*context.plan, context.workDir)
    , room(BesidePolicy::room(parallel, context.multiplexed))
{
    run.pieces = &pieces;
    connect(run.worker, &ReleaseWorker::fileChecked, this, &TransferScheduler::fileChecked);
    connect(run.worker, &ReleaseWorker::patchApplied, this, &TransferScheduler::patchApplied);
}

TransferScheduler::~TransferScheduler()
{
    kill();
}

void TransferScheduler::start()
{
    advance();
    fill();
}

void TransferScheduler::kill()
{
    ended = true;
    for (auto &job : jobs)
        job.second->kill();
}

void TransferScheduler::advance()
{
    const ReleasePlan &plan = *run.plan;
    // Current files are passed over within this one call; only a position
    // that has to fetch or check something hands control back.
    while (head < plan.queue.size()) {
        run.transcript.reach(head);
        const QString &key = plan.queue.at(head).key;
        if (plan.isUpToDate(key)) {
            run.transcript.line(Texts::tr("%1 is up to date.").arg(plan.installName(key).toHtmlEscaped()), head);
            ++head;
            continue;
        }
        jobAt(head)->takeUp();
        return;
    }
    pieces.clear();
    // Every stream has ended by now; the worker answers once it has said
    // what each was.
    connect(run.worker, &ReleaseWorker::settled, this, [this] {
        if (!ended) {
            ended = true;
            emit finished();
        }
    });
    run.toWorker([](ReleaseWorker *w) { w->settle(); });
}

FileJob *TransferScheduler::jobAt(int position)
{
    const auto found = jobs.find(position);
    if (found != jobs.end())
        return found->second;
    auto *job = new FileJob(run, position, this);
    connect(job, &FileJob::besideEnded, this, &TransferScheduler::fill);
    connect(job, &FileJob::done, this, &TransferScheduler::headDone);
    connect(job, &FileJob::stopped, this, [this] {
        if (ended)
            return;
        kill();
        emit stopped();
    });
    jobs[position] = job;
    return job;
}

void TransferScheduler::fill()
{
    if (ended || room <= 1)
        return;
    const ReleasePlan &plan = *run.plan;
    // The cursor never falls behind the head: what the head passed is done.
    besideCursor = qMax(besideCursor, head + 1);
    int running = transferring();
    while (running < room && besideCursor < plan.queue.size()) {
        const int position = besideCursor++;
        const QString &key = plan.queue.at(position).key;
        if (!policy.allows(key) || inFlight(key))
            continue;
        FileJob *job = jobAt(position);
        if (job->startBeside()) {
            ++running;
            continue;
        }
        // A file that cannot be made is left to the head, which says so.
        jobs.erase(position);
        delete job;
    }
}

int TransferScheduler::transferring() const
{
    int running = 0;
    for (const auto &job : jobs)
        running += job.second->isTransferring() ? 1 : 0;
    return running;
}

bool TransferScheduler::inFlight(const QString &key) const
{
    for (const auto &job : jobs)
        if (job.second->key() == key)
            return true;
    return false;
}

void TransferScheduler::headDone(FileJob *job, bool madeFromPatch)
{
    if (ended || job->position() != head)
        return;
    if (madeFromPatch)
        patched.insert(job->key());
    jobs.erase(head);
    job->deleteLater();
    ++head;
    advance();
    fill();
}

void TransferScheduler::fileChecked(const CheckedFile &file)
{
    checked.insert(file.key, file);
    const auto headJob = jobs.find(head);
    if (headJob != jobs.end())
        headJob->second->fileChecked(file);
}

void TransferScheduler::patchApplied(const QString &key, const QString &error)
{
    const auto headJob = jobs.find(head);
    if (headJob != jobs.end())
        headJob->second->patchApplied(key, error);
}

} // namespace vt3
