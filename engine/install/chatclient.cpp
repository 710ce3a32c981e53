#include "updateengine.h"

#include "appdir.h"
#include "releaseformat.h"

#include <QProcess>

namespace vt3 {

void startChatClient()
{
    const QString program = resolveProgram(QStringLiteral("vt3client_%1.exe").arg(format::Platform));
#ifdef Q_OS_WIN
    // Left running on purpose: the client outlives the updater.
    auto *client = new QProcess;
    client->start(program, QStringList(), QIODevice::ReadWrite);
#else
    // A child whose output pipe closes when the updater exits would die of
    // SIGPIPE the first time it writes; a detached client has no such tie.
    QProcess::startDetached(program, QStringList());
#endif
}

} // namespace vt3
