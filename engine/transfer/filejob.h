#ifndef FILEJOB_H
#define FILEJOB_H

#include "filetransfer.h"
#include "plan/releaseplan.h"

#include <QObject>
#include <QTimer>

#include <memory>

namespace vt3 {

struct CheckedFile;
struct RunContext;

// One position of the download queue, from its first request to the moment
// the head of the queue may move on. Beside the head it makes one attempt
// on the release's mirror and waits. Once the head reaches it, it is the
// head: it checks a file already on disk, continues or starts over, tries
// the other mirrors, fetches a patch and applies it, or the whole file when
// the patch fails.
class FileJob : public QObject
{
    Q_OBJECT

public:
    FileJob(RunContext &run, int position, QObject *parent = nullptr);

    int position() const { return at; }
    const QString &key() const { return entry.key; }
    bool isTransferring() const { return (transfer && transfer->isRunning()) || resendTimer.isActive(); }

    // Beside the head: one attempt; false, with nothing said, when it
    // could not start.
    bool startBeside();
    // The head of the queue reached this position.
    void takeUp();
    void kill();
    // The worker's answers, while this is the head.
    void fileChecked(const CheckedFile &checked);
    void patchApplied(const QString &key, const QString &error);

signals:
    // A transfer beside the head ended, so another may start.
    void besideEnded();
    // The head may move on; `patched` when the file was made from its patch.
    void done(vt3::FileJob *job, bool patched);
    // The run cannot go on; the transcript has said why.
    void stopped();

private:
    enum class Step {
        Idle,
        Fetching,
        // A transfer beside the head ended, and waits for the head.
        FetchedBeside,
        FailedBeside,
        CheckingPresent,
        CheckingResumed,
        CheckingPatch,
        ApplyingPatch,
        Done
    };

    void begin();
    FileTransfer::Target targetOf(int onAttempt, bool beside) const;
    bool sendBeside();
    void startAttempt();
    bool resend(FileTransfer *ended);
    void sendAgain(bool beside);
    void transferEnded(FileTransfer *ended, bool complete);
    void takeUpBeside();
    void retry();
    void applyPatch();
    void fallBack(const QString &why);
    void judge(const CheckedFile &checked);
    void finish(bool patched);
    bool isPatch() const { return fetched != entry.key; }

    RunContext &run;
    const int at;
    const ReleasePlan::Entry entry;
    // The key being fetched (the file's or its patch's) and its group.
    QString fetched;
    QString group;
    std::unique_ptr<FileTransfer> transfer;
    Step step = Step::Idle;
    bool head = false;
    int attempt = 0;
    // Requests of this file the server never started, sent again; since
    // when its requests are turned away from a connection that is ending,
    // and the pause before the next one.
    int resent = 0;
    // The run's count of whole transfers when this one was last resent.
    quint64 servedAtResend = 0;
    qint64 turnedAwaySinceMs = 0;
    QTimer resendTimer;
    // A continued file whose digests came out wrong is fetched whole once.
    bool startedOver = false;
    bool patchFailed = false;
    // Where the head's last transfer began; what a transfer beside the
    // head wrote. And the worker's answer awaited.
    qint64 bytes = 0;
    quint64 awaited = 0;
    // The worker may answer for a stream before its transfer's end is
    // heard here; the answer waits for it.
    std::unique_ptr<CheckedFile> early;
};

} // namespace vt3

#endif // FILEJOB_H
