#ifndef RUNCONTEXT_H
#define RUNCONTEXT_H

#include "install/releaseworker.h"

#include <QHash>
#include <QMetaObject>
#include <QSet>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;

namespace vt3 {

class MirrorMemory;

class PiecePool;
class RunProgress;
class Transcript;
struct ReleasePlan;

// How patient a run is. Tests shorten them; users get these.
struct RunLimits
{
    // How long a manifest request may go without a single byte.
    int manifestTimeoutMs = 10000;
    // How long a release-file transfer may go without a byte before it is
    // abandoned; long enough for a slow line, short enough that a dead
    // mirror does not hold the run for ever.
    int stallTimeoutMs = 30000;
    // A mirror that drips a file is never silent for the stall limit; a
    // transfer that averaged less than the slowest pace over this window
    // gives way like a stalled one. A minute keeps a short hiccup of a good
    // line from counting.
    int paceWindowMs = 60000;
};

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
    RunLimits limits;
    quint64 lastStream = 0;
    // What runs learn of each mirror, for the runs after them; none in
    // tests that drive a single job.
    MirrorMemory *mirrorMemory = nullptr;
    // Whether HTTPS requests may speak HTTP/2 ([transfers] http2), and
    // whether the manifest's mirror did: then one connection carries many
    // transfers at once.
    bool http2 = true;
    bool multiplexed = false;
    // When (monotonic ms) a request last came back unstarted: the server
    // ended a connection under it.
    qint64 strandedAtMs = 0;
    // Transfers of the run that came in whole so far, and the mirror each
    // file came from: bytes found wrong later are held against it.
    quint64 transfersServed = 0;
    QHash<QString, QString> servedBy = {};
    // Directories below the work directory checked so far (KnownDirs).
    QSet<QString> knownDirs = {};

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
    // The release id as a number; 0 unless a plain decimal one.
    quint64 releaseNumber() const;
    // The mirror whose release folder `releaseFolder` is.
    QString mirrorOf(const QString &releaseFolder) const;
    // Tells the mirror memory how a request to `mirror` went.
    void mirrorFailed(const QString &mirror, const QString &kind) const;
    void mirrorServed(const QString &mirror, double bytesPerSecond = -1) const;
};

} // namespace vt3

#endif // RUNCONTEXT_H
