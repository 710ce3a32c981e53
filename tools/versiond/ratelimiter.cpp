#include "ratelimiter.h"

#include <QMutableHashIterator>

RateLimiter::RateLimiter(double ratePerSecond, double burst, int maxSources)
    : rate(ratePerSecond)
    , burst(burst)
    , maxSources(maxSources)
{
}

void RateLimiter::refill(Bucket &bucket, qint64 nowMs) const
{
    const qint64 elapsed = nowMs - bucket.lastMs;
    if (elapsed <= 0)
        return;
    bucket.tokens = qMin(burst, bucket.tokens + rate * static_cast<double>(elapsed) / 1000.0);
    bucket.lastMs = nowMs;
}

void RateLimiter::forgetIdle(qint64 nowMs)
{
    // A full bucket behaves exactly like one never seen, so it can go.
    QMutableHashIterator<QHostAddress, Bucket> it(buckets);
    while (it.hasNext()) {
        it.next();
        refill(it.value(), nowMs);
        if (it.value().tokens >= burst)
            it.remove();
    }
}

bool RateLimiter::allow(const QHostAddress &source, qint64 nowMs)
{
    if (rate <= 0)
        return true;

    auto it = buckets.find(source);
    if (it == buckets.end()) {
        // Forged sources are free to invent; the table must not grow with
        // them. When it is full and nothing can be forgotten, newcomers wait.
        if (buckets.size() >= maxSources) {
            forgetIdle(nowMs);
            if (buckets.size() >= maxSources)
                return false;
        }
        it = buckets.insert(source, Bucket{burst, nowMs});
    }
    Bucket &bucket = it.value();
    refill(bucket, nowMs);
    if (bucket.tokens < 1.0)
        return false;
    bucket.tokens -= 1.0;
    return true;
}
