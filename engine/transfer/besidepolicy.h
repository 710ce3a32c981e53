#ifndef BESIDEPOLICY_H
#define BESIDEPOLICY_H

#include <QString>

namespace vt3 {

struct ReleasePlan;

// Which files may be fetched beside the head of the queue. A far mirror
// costs every file a round trip, whatever its size; small files further
// down the queue are fetched while the head is busy. Everything that needs
// a decision of the head stays with the head.
class BesidePolicy
{
public:
    // Larger files go through the head of the queue, which continues them
    // across runs: for them the bytes, not the round trip, are the cost.
    static constexpr qint64 MaxBytes = 4 * 1024 * 1024;
    // The network framework keeps at most six HTTP/1.1 connections to one
    // server and queues further requests; a queued request can be handed a
    // connection the server is closing, and fail without ever having been
    // sent. Transfers beyond six would only wait in that queue anyway.
    static constexpr int ConnectionsPerServer = 6;
    // One HTTP/2 connection carries many transfers as streams; servers
    // commonly grant 100 or 128 at once, and the framework keeps to what
    // the server announced, queueing the rest.
    static constexpr int StreamsPerConnection = 100;

    BesidePolicy(const ReleasePlan &plan, const QString &workDir)
        : plan(plan)
        , workDir(workDir)
    {
    }

    // How many transfers may run at once, the head's included; one at a
    // time stays one at a time on any connection.
    static int room(int parallel, bool multiplexed)
    {
        if (parallel <= 1)
            return 1;
        return multiplexed ? StreamsPerConnection : qMin(parallel, ConnectionsPerServer);
    }
    bool allows(const QString &key) const;

private:
    const ReleasePlan &plan;
    QString workDir;
};

} // namespace vt3

#endif // BESIDEPOLICY_H
