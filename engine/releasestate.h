#ifndef RELEASESTATE_H
#define RELEASESTATE_H

#include <QString>

namespace vt3 {

// A release id as a number; 0 unless the text is a plain decimal one.
quint64 releaseNumber(const QString &text);

// vt3update.state in the application directory records which release the
// last completed update installed, so that an older one, announced by a
// forged or stale version reply, is not installed over it.
QString releaseStatePath(const QString &appDir);

// The recorded release id; 0 when there is no state file or it holds no
// usable number (an installation that never completed an update under this
// updater refuses nothing).
quint64 installedRelease(const QString &appDir);

// Records `releaseId`, replacing the file in one rename: a crash leaves the
// old record or the new one, and the new one is on the device once this
// returns true. False when it cannot write.
bool recordInstalledRelease(const QString &appDir, quint64 releaseId);

// The newest time of a signed version answer this installation accepted,
// kept in vt3update.version beside the state: an answer older than it is a
// replay, the way an attacker would bring back the announcement of an
// older release.
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

#endif // RELEASESTATE_H
