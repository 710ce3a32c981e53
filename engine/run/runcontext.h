#ifndef RUNCONTEXT_H
#define RUNCONTEXT_H

#include "install/releaseworker.h"

#include <QMetaObject>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;

namespace vt3 {

class PiecePool;
class RunProgress;
class Transcript;
struct ReleasePlan;

// What the jobs of one run share: where they talk, where they write, which
// mirrors there are and how patient a transfer is.
struct RunContext
{
    QNetworkAccessManager &network;
    ReleaseWorker *worker;
    Transcript &transcript;
    RunProgress &progress;
    // What is fetched, once the manifest is in; and the buffers every
    // transfer reads into.
    const ReleasePlan *plan = nullptr;
    PiecePool *pieces = nullptr;
    // The work directory, the release's id, the mirror the manifest came
    // from (its URL and the release's folder there) and every mirror in
    // the order they are tried.
    QString workDir;
    QString releaseId;
    QString mirrorUrl;
    QString releaseUrl;
    QStringList mirrorOrder;
    int stallTimeout = 0;
    int paceWindow = 0;
    quint64 lastStream = 0;

    // Posts work to the worker's thread; it runs there in the order posted.
    template <typename Work> void toWorker(Work work) const
    {
        ReleaseWorker *w = worker;
        QMetaObject::invokeMethod(
            w, [w, work = std::move(work)]() mutable { work(w); }, Qt::QueuedConnection);
    }
    quint64 newStream() { return ++lastStream; }
    // The release's folder on the mirror a file's `attempt` goes to: the
    // manifest's mirror first, then each other one; empty past the last.
    QString fileMirror(int attempt) const;
    QString workPath(const QString &key) const { return workDir + QLatin1Char('/') + key; }
};

} // namespace vt3

#endif // RUNCONTEXT_H
