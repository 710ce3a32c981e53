#ifndef APPDIR_H
#define APPDIR_H

#include <QString>
#include <QStringList>

namespace vt3 {

// The directory that holds the updater, the chat client and mirrors.ini.
// Everything that needs it asks here, so tests can point it at a scratch
// directory instead of the test binary's own.
QString applicationDir();
void setApplicationDirForTesting(const QString &path);

// Windows looks a bare program name up in the application directory first;
// other systems would only search PATH. This gives both the same rule.
QString resolveProgram(const QString &program);

} // namespace vt3

#endif // APPDIR_H
