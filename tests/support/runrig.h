#ifndef RUNRIG_H
#define RUNRIG_H

#include "install/releaseworker.h"
#include "plan/releaseplan.h"
#include "run/runcontext.h"
#include "run/runprogress.h"
#include "run/transcript.h"
#include "transfer/piecepool.h"

#include <QMap>
#include <QNetworkAccessManager>
#include <QThread>
#include <QVector>

namespace vt3test {

// What the jobs of a run share, without an engine, so that a test can
// drive one job alone: the network, a worker in a thread of its own (or
// one lent by an engine), a transcript to `face`, progress and a plan.
class RunRig
{
public:
    explicit RunRig(vt3::UpdateFace *face, vt3::ReleaseWorker *lent = nullptr);
    ~RunRig();
    RunRig(const RunRig &) = delete;
    RunRig &operator=(const RunRig &) = delete;

    // The plan of `files` (key -> descriptor), queued group by group as
    // `queue` says, or every file in one group.
    void planFrom(const QMap<QString, QString> &files,
                  const QMap<QString, QVector<QString>> &queue = QMap<QString, QVector<QString>>());

    QNetworkAccessManager network;
    QThread thread;
    vt3::ReleaseWorker *worker;
    vt3::Transcript transcript;
    vt3::RunProgress progress;
    vt3::PiecePool pieces;
    vt3::ReleasePlan plan;
    vt3::RunContext run;

private:
    bool ownWorker;
};

} // namespace vt3test

#endif // RUNRIG_H
