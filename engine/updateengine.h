#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include "install/releaseworker.h"
#include "run/runcontext.h"
#include "run/transcript.h"
#include "run/updaterun.h"
#include "updateface.h"
#include "version/versionquery.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QThread>

#include <memory>

namespace vt3 {

// The updater's core, with no window: it asks which release is current and
// runs updates, each an UpdateRun of its own, and reports through the face
// it is given (see UpdateFace). The window and the command line drive it.
//
// It needs Qt Core and Network only, so that a run can go with nobody at
// the screen.
class UpdateEngine : public QObject
{
public:
    explicit UpdateEngine(UpdateFace *face, QObject *parent = nullptr);
    ~UpdateEngine() override;

    void setFace(UpdateFace *face);

    // Asks the version server which release is current; the face hears of
    // it, or that no usable answer came in time.
    void queryVersion();
    // The whole road of a run, for the release the version server named.
    void update();
    // The same road for the release installed now, whatever is announced:
    // with a manifest that vouches for its files, only those that went
    // missing or changed are fetched. False, with no run, when no release
    // is recorded.
    bool repair();
    // Whether the run allows its face to go away now: after the end of a
    // run at once, otherwise when the user agrees, and then the run gives
    // up what it holds.
    bool mayClose();
    bool isFinished() const { return finished; }
    // The announced release id as a number; 0 unless a plain decimal one.
    quint64 releaseId() const { return version.releaseId(); }

    // How patient the next runs are.
    void setLimits(const RunLimits &runLimits) { limits = runLimits; }
    // For those who look closer (tests): the version query, the run in
    // progress or the last one, the worker, the way to the face and log.
    VersionQuery &versionQuery() { return version; }
    Transcript &runTranscript() { return transcript; }
    UpdateRun *currentRun() const { return run.get(); }
    ReleaseWorker *releaseWorker() const { return worker; }

private:
    void startRun(const QString &releaseId);
    void stopped(RunStop why);

    Transcript transcript;
    QNetworkAccessManager network;
    RunLimits limits;
    // The file work of every run, in a thread of its own (see ReleaseWorker).
    QThread workerThread;
    ReleaseWorker *worker;
    VersionQuery version;
    std::unique_ptr<UpdateRun> run;
    bool finished = false;
};

// Starts the chat client of the application directory, left to run on
// after the updater ends.
void startChatClient();

} // namespace vt3

#endif // UPDATEENGINE_H
