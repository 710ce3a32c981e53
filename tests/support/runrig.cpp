#include "runrig.h"

#include "releaseformat.h"

namespace vt3test {

RunRig::RunRig(vt3::UpdateFace *face, vt3::ReleaseWorker *lent)
    : worker(lent ? lent : new vt3::ReleaseWorker)
    , transcript(face)
    , progress(transcript)
    , run{network,   worker,    transcript,    progress,         &plan, &pieces, QString(), QString(),
          QString(), QString(), QStringList(), vt3::RunLimits(), 0}
    , ownWorker(!lent)
{
    if (ownWorker) {
        worker->moveToThread(&thread);
        thread.start();
    }
}

RunRig::~RunRig()
{
    if (!ownWorker)
        return;
    worker->cancel();
    thread.quit();
    thread.wait();
    delete worker;
}

void RunRig::planFrom(const QMap<QString, QString> &files, const QMap<QString, QVector<QString>> &queue)
{
    QMap<QString, QVector<QString>> groups = queue;
    if (groups.isEmpty())
        groups.insert(vt3::format::CommonGroup, files.keys().toVector());
    plan = vt3::ReleasePlan::make(groups, files, QMap<QString, QString>(), run.workDir,
                                  vt3::format::manifestName(vt3::format::Platform));
}

} // namespace vt3test
