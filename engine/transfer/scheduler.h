#ifndef SCHEDULER_H
#define SCHEDULER_H

#include "besidepolicy.h"
#include "install/releaseworker.h"
#include "piecepool.h"

#include <QHash>
#include <QObject>
#include <QSet>

#include <map>

namespace vt3 {

class FileJob;
struct RunContext;

// Fetches the files of the plan's queue: one cursor, the head, walks the
// queue in order, and while it is busy the files the policy allows are
// fetched beside it, as many at once as the run allows. Every position is
// a FileJob; the head takes up what came of a position when it reaches
// it. It ends once every file is fetched (or given up) and the worker has
// answered for each.
class TransferScheduler : public QObject
{
    Q_OBJECT

public:
    TransferScheduler(RunContext &run, int parallel, QObject *parent = nullptr);
    ~TransferScheduler() override;

    void start();
    // Gives every transfer up without a word.
    void kill();

    // What the worker found of each fetched file, by key, and the files
    // made from their patches: for the installation.
    const QHash<QString, CheckedFile> &checkedFiles() const { return checked; }
    const QSet<QString> &patchedFiles() const { return patched; }

signals:
    void finished();
    // The run cannot go on; the transcript has said why.
    void stopped();

private:
    void advance();
    void fill();
    int transferring() const;
    bool inFlight(const QString &key) const;
    FileJob *jobAt(int position);
    void headDone(FileJob *job, bool madeFromPatch);
    void fileChecked(const CheckedFile &file);
    void patchApplied(const QString &key, const QString &error);

    RunContext &run;
    BesidePolicy policy;
    PiecePool pieces;
    int room;
    int head = 0;
    int besideCursor = 0;
    std::map<int, FileJob *> jobs;
    QHash<QString, CheckedFile> checked;
    QSet<QString> patched;
    bool ended = false;
};

} // namespace vt3

#endif // SCHEDULER_H
