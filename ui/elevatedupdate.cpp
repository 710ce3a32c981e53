#include "elevatedupdate.h"

#include <QDir>

#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#include <windows.h>
// windows.h first: the shell's header builds on it.
#include <shellapi.h>
#endif

namespace {

#ifdef Q_OS_WIN
// The verb that makes the shell ask for an administrator's consent.
const wchar_t ElevateVerb[] = L"runas";
// What GetExitCodeProcess says of a program that has not ended.
constexpr DWORD NotEnded = STILL_ACTIVE;

// Windows' rules for one argument on a command line: quoted when it holds
// a blank or a quote, quotes and the backslashes before them doubled.
QString quotedArgument(const QString &argument)
{
    if (!argument.isEmpty() && !argument.contains(QLatin1Char(' ')) && !argument.contains(QLatin1Char('\t')) &&
        !argument.contains(QLatin1Char('"')))
        return argument;
    QString quoted(QLatin1Char('"'));
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        if (c == QLatin1Char('"'))
            backslashes = backslashes * 2 + 1;
        quoted += QString(backslashes, QLatin1Char('\\')) + c;
        backslashes = 0;
    }
    return quoted + QString(backslashes * 2, QLatin1Char('\\')) + QLatin1Char('"');
}
#endif

} // namespace

namespace vt3 {

ElevatedUpdate::ElevatedUpdate(QObject *parent)
    : QObject(parent)
{
}

ElevatedUpdate::~ElevatedUpdate()
{
#ifdef Q_OS_WIN
    if (process)
        ::CloseHandle(process);
#endif
}

bool ElevatedUpdate::available()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}

#ifdef Q_OS_WIN
bool ElevatedUpdate::start(const QString &program, const QStringList &arguments)
{
    if (process)
        return false;
    QStringList quoted;
    for (const QString &argument : arguments)
        quoted << quotedArgument(argument);
    const std::wstring file = QDir::toNativeSeparators(program).toStdWString();
    const std::wstring parameters = quoted.join(QLatin1Char(' ')).toStdWString();

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    // The process handle is what the window waits on; the call returns
    // only once the program has started or the user has declined.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = ElevateVerb;
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!::ShellExecuteExW(&info) || !info.hProcess)
        return false;
    process = info.hProcess;
    notifier = new QWinEventNotifier(process, this);
    connect(notifier, &QWinEventNotifier::activated, this, &ElevatedUpdate::ended);
    return true;
}

void ElevatedUpdate::ended()
{
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
    DWORD code = NotEnded;
    const bool known = ::GetExitCodeProcess(process, &code) && code != NotEnded;
    ::CloseHandle(process);
    process = nullptr;
    emit finished(known ? int(code) : -1);
}
#else
bool ElevatedUpdate::start(const QString &program, const QStringList &arguments)
{
    // Elsewhere an administrator runs the updater as one; the window only
    // says what the installation needs.
    Q_UNUSED(program);
    Q_UNUSED(arguments);
    return false;
}
#endif

} // namespace vt3
