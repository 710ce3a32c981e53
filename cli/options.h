#ifndef OPTIONS_H
#define OPTIONS_H

#include <QString>
#include <QStringList>

namespace vt3 {

// Exit codes of the command line. Administrators' scripts and scheduled
// tasks branch on them, so they never change meaning.
enum ExitCode {
    ExitDone = 0,
    ExitFailed = 1,
    ExitNewerRelease = 2,
    ExitClientRunning = 3,
    ExitRefused = 4,
    ExitAnotherInstance = 5,
    ExitNoWriteAccess = 6,
    // --verify: the installation differs from its release.
    ExitDamaged = 2,
    ExitUsage = 64,
};

// What the command line asks for. Without options the program is the
// window, as it has always been.
struct Options
{
    enum class Mode { Window, Check, Update, Verify, Repair, Help, Version, Usage };
    Mode mode = Mode::Window;
    bool quiet = false;
    bool startClient = false;
    // --verify --full: every file read, not only those whose size or time
    // changed since the install.
    bool full = false;
    // Mode::Usage: what was wrong, untranslated ("%1" stands for the
    // argument).
    const char *problem = nullptr;
    QString problemArgument;
};

Options parseOptions(const QStringList &arguments);

} // namespace vt3

#endif // OPTIONS_H
