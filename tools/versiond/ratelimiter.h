#ifndef RATELIMITER_H
#define RATELIMITER_H

#include <QHash>
#include <QHostAddress>

// Replies per source address, as token buckets. UDP senders can be forged,
// so without this the server would reflect a flood at whoever is named as
// the source.
class RateLimiter
{
public:
    // ratePerSecond 0 turns the limit off.
    RateLimiter(double ratePerSecond, double burst, int maxSources);

    // True when a reply to this source fits its bucket now; takes one token.
    bool allow(const QHostAddress &source, qint64 nowMs);

    int trackedSources() const { return buckets.size(); }

private:
    struct Bucket
    {
        double tokens;
        qint64 lastMs;
    };

    void refill(Bucket &bucket, qint64 nowMs) const;
    void forgetIdle(qint64 nowMs);

    double rate;
    double burst;
    int maxSources;
    QHash<QHostAddress, Bucket> buckets;
};

#endif // RATELIMITER_H
