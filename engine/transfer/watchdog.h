#ifndef WATCHDOG_H
#define WATCHDOG_H

#include <QElapsedTimer>
#include <QObject>
#include <QPair>
#include <QTimer>
#include <QVector>

#include <functional>

namespace vt3 {

// Watches one release-file transfer: it stalls when no byte arrives for the
// stall limit, and crawls when it averaged less than the slowest pace a run
// accepts over the pace window. A mirror that drips a file is never silent
// for the stall limit, and would hold the run for hours while another
// mirror has the file at full speed.
class TransferWatchdog : public QObject
{
    Q_OBJECT

public:
    // `written` tells the bytes the transfer has written so far.
    TransferWatchdog(std::function<qint64()> written, QObject *parent = nullptr);

    void start(int stallMs, int paceWindowMs);
    void stop();
    // A byte came: the stall limit starts over.
    void arrived();
    int paceWindow() const { return windowMs; }

    // Takes a look at the pace with `bytes` written so far; false once the
    // transfer has averaged less than the slowest pace over the last
    // `window`.
    bool keepsPace(qint64 bytes, int window);

signals:
    void stalled();
    void crawls();

private:
    std::function<qint64()> written;
    QTimer stallTimer;
    QTimer paceTimer;
    QElapsedTimer started;
    int stallMs = 0;
    int windowMs = 0;
    QVector<QPair<qint64, qint64>> samples;
};

} // namespace vt3

#endif // WATCHDOG_H
