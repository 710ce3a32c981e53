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

} // namespace vt3

#endif // RELEASESTATE_H
