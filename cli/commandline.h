#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include "options.h"

#include <QByteArray>
#include <QString>

namespace vt3 {

// What the command line prints goes to the console it was started from;
// a program built for the window system has none of its own.
void attachParentConsole();
void printOut(const QString &text);
void printError(const QString &text);

// --help, --version and a usage error: what is printed, and the exit code.
int showInformation(const Options &options);

// --check: asks the version server and compares its answer with the
// installed release. Needs a core application object and nothing more.
int checkRelease();

// --update --quiet: the whole road with no window; the log lines go to
// standard output as the disk log has them. Needs a core application
// object; the caller has made sure no other instance runs.
int updateQuietly(bool startClient);

// --verify [--quiet] [--full]: compares the installation with the release
// it was updated to; prints what is missing, modified or extra unless
// quiet. 0 intact, 2 damaged, 1 cannot verify.
int verifyInstallation(bool quiet, bool full);

// --repair --quiet: the road of --update --quiet for the installed release.
int repairQuietly(bool startClient);

} // namespace vt3

#endif // COMMANDLINE_H
