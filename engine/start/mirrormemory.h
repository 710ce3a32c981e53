#ifndef MIRRORMEMORY_H
#define MIRRORMEMORY_H

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

namespace vt3 {

// What earlier runs learnt of each mirror, kept in the user's application
// data beside the disk log. A mirror that was dead, black-holed or wrong is
// otherwise tried first again on every run, each time costing its
// time-out, because the fixed order of the mirror list is all a run knows.
// mirrors.ini itself is never rewritten.
class MirrorMemory
{
public:
    // One hour after the first failure, doubling with each further one up
    // to a day: a mirror down for maintenance is back within the hour, a
    // mirror gone for good costs one attempt a day.
    static constexpr qint64 FirstBackOffSeconds = 3600;
    static constexpr qint64 MaxBackOffSeconds = 24 * 3600;
    // A healthy mirror goes behind the next one only when that one has
    // shown itself this much faster: throughput varies from run to run.
    static constexpr double MuchFaster = 4.0;

    struct Record
    {
        qint64 lastSuccess = 0; // seconds since 1970, 0 for never
        qint64 lastFailure = 0;
        QString failureKind; // refused, time-out, HTTP <status>, wrong digest, ...
        int consecutiveFailures = 0;
        qint64 backOffUntil = 0;
        double bytesPerSecond = 0; // smoothed; 0 while unknown
    };

    static QString path();

    // False when there was a file but it could not be read as one of
    // ours: it is then ignored, and the next save writes it anew.
    bool load();
    bool save() const;

    // The mirrors in the order a run tries them: healthy ones in their
    // listed order (a much slower one behind the next), those backing off
    // after them, soonest back first. Nobody is dropped: a mirror backing
    // off is still the last hope. `why` gets a line for each mirror moved.
    QStringList order(const QStringList &listed, qint64 now, QStringList *why) const;

    // A failure counts once a run for its mirror, however many requests
    // of the run failed there.
    void failed(const QString &mirror, const QString &kind, qint64 now);
    // `bytesPerSecond` below 0 when the transfer was too small to tell.
    void succeeded(const QString &mirror, qint64 now, double bytesPerSecond = -1);

    const QMap<QString, Record> &records() const { return known; }

private:
    QMap<QString, Record> known;
    QSet<QString> failedThisRun;
};

} // namespace vt3

#endif // MIRRORMEMORY_H
