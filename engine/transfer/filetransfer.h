#ifndef FILETRANSFER_H
#define FILETRANSFER_H

#include "fileverify.h"
#include "piecepool.h"
#include "watchdog.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <QNetworkReply>

namespace vt3 {

struct RunContext;

// One request for one release file (or patch) into the work directory:
// continued with Range from what an earlier attempt left, its status
// judged before a byte is written, cut off past the announced size, its
// bytes passed to a stream of its own in the worker for the digests and
// the unpacking, and given up when it stalls or crawls. Its lines go to its
// queue position in the transcript. It ends once, always from the event
// loop; the next attempt is its owner's to make.
class FileTransfer : public QObject
{
    Q_OBJECT

public:
    struct Target
    {
        // Name in the work directory, group on the mirror, the mirror's
        // release URL.
        QString key;
        QString group;
        QString releaseUrl;
        ExpectedFile expected;
        // Where the worker unpacks it while it arrives; empty: only checked.
        QString unpackTarget;
        int position = -1;
        // Counted as the head of the queue counts a transfer, or as one
        // beside it (see RunProgress).
        bool beside = false;
        // A request the server never started ends without a red line, so
        // that its owner can send it again; see wasUnsent().
        bool resendable = false;
    };

    FileTransfer(RunContext &run, const Target &target, QObject *parent = nullptr);
    ~FileTransfer() override;

    // False, with nothing said, when the target cannot be made.
    bool start();
    // Gives the transfer up without a word; nothing more is reported.
    void kill();

    const Target &target() const { return what; }
    QString path() const;
    // Where the request began, and the bytes the file holds.
    qint64 resumeOffset() const { return offset; }
    qint64 written() const { return writtenBytes; }
    // The worker's stream of this transfer, whose answer says what the
    // bytes were.
    quint64 stream() const { return streamId; }
    bool isRunning() const { return reply != nullptr; }
    // Why the last request failed, as the mirror memory keeps it; and what
    // the transfer carried a second, below 0 when it was too short to tell.
    QString failureKind() const { return failure; }
    double bytesPerSecond() const;
    // It ended because the connection went away before the server began
    // to answer; only for a resendable target.
    bool wasUnsent() const { return unsent; }
    // Unsent because the framework handed it a connection the server had
    // already ended: it has to wait until that connection is gone.
    bool wasTurnedAway() const { return turnedAway; }
    // What the framework said of it, for the disk log.
    const QString &unsentReason() const { return unsentWhy; }

signals:
    // `complete`: the whole file is in the work directory and its stream
    // ended; the worker answers for it.
    void ended(vt3::FileTransfer *transfer, bool complete);

private:
    enum class Written { All, Oversized, WriteFailed };
    void send(const QUrl &url, int redirects);
    void readyRead();
    void replyError();
    void replyFinished();
    bool accept();
    bool writeAvailable();
    Written writePiece(PiecePool::Piece piece);
    void checkStranded();
    void giveUp(const QString &line);
    void dropReply();
    void dropStream();
    void finish(bool complete);

    RunContext &run;
    Target what;
    QFile file;
    QPointer<QNetworkReply> reply;
    qint64 offset = 0;
    qint64 writtenBytes = 0;
    quint64 streamId = 0;
    bool streaming = false;
    bool accepted = false;
    bool done = false;
    bool unsent = false;
    bool turnedAway = false;
    QString unsentWhy;
    // Headers or bytes of an answer came; and when the request was sent.
    bool answered = false;
    qint64 sentAtMs = 0;
    QTimer strandCheck;
    TransferWatchdog watchdog;
    QString failure;
    QElapsedTimer sinceStart;
};

} // namespace vt3

#endif // FILETRANSFER_H
