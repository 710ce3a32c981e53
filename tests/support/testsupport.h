#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class UpdateClient;
namespace vt3 {
class UpdateEngine;
}

// Symbolic links need a privilege that Windows users rarely have, and a
// shortcut is a plain file; mode bits mean nothing where access lists guard
// files. Cases about them are POSIX-only by nature.
#ifdef Q_OS_WIN
#define VT3_SKIP_WITHOUT_SYMLINKS() QSKIP("Windows users cannot make symbolic links; a shortcut is a plain file")
#define VT3_SKIP_WITHOUT_MODES() QSKIP("Windows guards files by access lists, not by mode bits")
#else
#define VT3_SKIP_WITHOUT_SYMLINKS()
#define VT3_SKIP_WITHOUT_MODES()
#endif

// Tests stand other hosts on loopback addresses besides 127.0.0.1. Where
// the system does not keep such an address as a socket's own (the emulator
// the Windows tests run under sends from 127.0.0.1 whatever was bound),
// those cases cannot tell one host from another.
#define VT3_SKIP_WITHOUT_LOOPBACK_ALIASES()                                                                            \
    do {                                                                                                               \
        if (!vt3test::loopbackAliasesWork())                                                                           \
            QSKIP("this system does not keep 127.0.0.x as a socket's own address, so no other host can be stood in");  \
    } while (false)

namespace vt3test {

// Whether a datagram sent from a socket bound to 127.0.0.9 arrives from
// 127.0.0.9 (looked at once).
bool loopbackAliasesWork();

// Path of a build product in the application folder of the build
// (vt3update, tasklist.exe, vt3-versiond, ...).
QString buildFile(const QString &name);

// A program of the build by its name without suffix (vt3-versiond,
// vt3-publish): Windows gives programs the ".exe" the others do without.
QString toolFile(const QString &name);

// Copies the tests' scriptable program (tests/fakeprogram) into dir under
// name; true when it is there and may be run.
bool placeFakeProgram(const QString &dir, const QString &name);

// Points the system temp directory of this process at path: TMPDIR for
// POSIX systems, TMP and TEMP for Windows.
void setTempDir(const QString &path);
// setTempDir for as long as it lives, then back to what it was: a scene's
// temp directory is removed with the scene, and the next scene's temporary
// folders must not be asked for there. Declared after the folder it names.
class TempDirScope
{
public:
    explicit TempDirScope(const QString &path);
    ~TempDirScope();
    TempDirScope(const TempDirScope &) = delete;
    TempDirScope &operator=(const TempDirScope &) = delete;

private:
    const QString previous;
};

// The same for a child process's environment.
void putTempDir(QProcessEnvironment &env, const QString &path);

// Hands the window a version reply as the version client would, so tests
// that are not about the version query need no UDP server.
void announceVersion(UpdateClient &client, const QString &reply);
void announceVersion(vt3::UpdateEngine &engine, const QString &reply);

// The message log's paragraphs as plain text, one entry per message.
QStringList logLines(UpdateClient &client);
// The same paragraphs, each prefixed with "red:" when it is drawn in red
// (the window's error lines), so one list asserts text, order and colour.
QStringList logLinesMarked(UpdateClient &client);

// Bytes of no pattern, the same on every call: a patch made against them
// has to draw on its base.
QByteArray noise(int size);
// `bytes` with every `step`th byte changed.
QByteArray edited(QByteArray bytes, int step);

// Writes a whole file, creating its directories; true when every byte
// was written.
bool writeFile(const QString &path, const QByteArray &data);
// A whole file's bytes, or `missing` when it cannot be read.
QByteArray readFile(const QString &path, const QByteArray &missing = QByteArray());

// What a finished run of one of the build's programs left behind.
struct ToolRun
{
    // -1 when the program crashed or did not end in time.
    int exitCode = -1;
    QString out;
    QString err;
};

// The build's own programs end within seconds; this only bounds a hang.
constexpr int ToolTimeoutMs = 30000;

// Runs a build product (see buildFile) to its end, or kills it after
// timeoutMs.
ToolRun runTool(const QString &program, const QStringList &args, int timeoutMs = ToolTimeoutMs);
// Waits for a started process to end, or kills it after timeoutMs. The
// event loop runs meanwhile, so servers of the test process keep answering.
ToolRun awaitTool(QProcess &process, int timeoutMs = ToolTimeoutMs);

} // namespace vt3test

#endif // TESTSUPPORT_H
