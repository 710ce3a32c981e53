#ifndef REPLYTIME_H
#define REPLYTIME_H

#include <QString>

namespace vt3 {

// The newest time of a signed version answer this installation accepted,
// kept beside vt3update.state: an answer older than it is a replay, the way
// an attacker would bring back the announcement of an older release.
QString replyTimePath(const QString &appDir);

struct AcceptedTime
{
    qint64 newest = 0; // 0: none accepted yet
    // The file is there but holds no usable time; it is rebuilt by the
    // next accepted answer.
    bool corrupt = false;
};

AcceptedTime readAcceptedTime(const QString &appDir);

// Replaces the record in one durable rename; false when it cannot write.
bool recordAcceptedTime(const QString &appDir, qint64 time);

} // namespace vt3

#endif // REPLYTIME_H
