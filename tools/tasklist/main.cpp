// The process list of a Windows system, reduced to the one query the
// updater makes: tasklist.exe /fi "IMAGENAME eq NAME" /FO CSV /NH
// On Linux it reads /proc; on Windows (where the emulator used for tests
// ships a tool that prints nothing) it takes a process snapshot, so the
// updater's check runs its real code path against real processes.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
// windows.h first: the snapshot and memory headers build on it.
#include <psapi.h>
#include <tlhelp32.h>
#else
#include <unistd.h>
#endif

namespace {

const char *const NoMatch = "INFO: No tasks are running which match the specified criteria.";

struct Process
{
    QString pid;
    QString imageName;
    qint64 residentKB = 0;
};

bool sameSwitch(const QString &given, const char *expected)
{
    return given.compare(QLatin1String(expected), Qt::CaseInsensitive) == 0;
}

// "IMAGENAME eq NAME" -> NAME; empty when the filter has another shape.
QString imageNameFilter(const QString &filter)
{
    const QString trimmed = filter.trimmed();
    const int first = trimmed.indexOf(QLatin1Char(' '));
    if (first < 0 || !sameSwitch(trimmed.left(first), "IMAGENAME"))
        return QString();
    const QString rest = trimmed.mid(first + 1).trimmed();
    const int second = rest.indexOf(QLatin1Char(' '));
    if (second < 0 || !sameSwitch(rest.left(second), "eq"))
        return QString();
    return rest.mid(second + 1).trimmed();
}

QString parseArguments(const QStringList &args)
{
    if (args.size() != 5 || !sameSwitch(args.at(0), "/fi") || !sameSwitch(args.at(2), "/FO") ||
        !sameSwitch(args.at(3), "CSV") || !sameSwitch(args.at(4), "/NH"))
        return QString();
    return imageNameFilter(args.at(1));
}

#ifdef Q_OS_WIN
// The resident set of a process we may look at; 0 for one we may not,
// which Windows' own tool shows the same way.
qint64 residentKBOf(DWORD pid)
{
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return 0;
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    const bool known = ::GetProcessMemoryInfo(process, &counters, sizeof counters);
    ::CloseHandle(process);
    return known ? qint64(counters.WorkingSetSize / 1024) : 0;
}

QList<Process> matchingProcesses(const QString &wanted)
{
    QList<Process> found;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (bool more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        const QString name = QString::fromWCharArray(entry.szExeFile);
        if (name.compare(wanted, Qt::CaseInsensitive) != 0)
            continue;
        found.append(Process{QString::number(entry.th32ProcessID), name, residentKBOf(entry.th32ProcessID)});
    }
    ::CloseHandle(snapshot);
    return found;
}

// Windows' tool groups the thousands of the memory column.
QString memoryText(qint64 kb)
{
    QString digits = QString::number(kb);
    for (int at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return digits;
}
#else
QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// The executable's file name as the file system has it; a process whose
// executable cannot be read (another user's, or a kernel thread) is known
// by the first word of its command line.
QString imageNameOf(const QString &procDir)
{
    QString target = QFile::symLinkTarget(procDir + QLatin1String("/exe"));
    if (!target.isEmpty()) {
        target.remove(QLatin1String(" (deleted)"));
        return QFileInfo(target).fileName();
    }
    const QByteArray cmdline = readProcFile(procDir + QLatin1String("/cmdline"));
    const int end = cmdline.indexOf('\0');
    const QByteArray argv0 = end < 0 ? cmdline : cmdline.left(end);
    if (argv0.isEmpty())
        return QString();
    return QFileInfo(QFile::decodeName(argv0)).fileName();
}

qint64 residentKBOf(const QString &procDir)
{
    const QList<QByteArray> fields = readProcFile(procDir + QLatin1String("/statm")).split(' ');
    if (fields.size() < 2)
        return 0;
    const qint64 pageKB = ::sysconf(_SC_PAGESIZE) / 1024;
    return fields.at(1).toLongLong() * pageKB;
}

QList<Process> matchingProcesses(const QString &wanted)
{
    QList<Process> found;
    QDir proc(QStringLiteral("/proc"));
    const QStringList entries = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString procDir = proc.filePath(entry);
        const QString name = imageNameOf(procDir);
        if (name.isEmpty() || name.compare(wanted, Qt::CaseInsensitive) != 0)
            continue;
        found.append(Process{entry, name, residentKBOf(procDir)});
    }
    return found;
}

QString memoryText(qint64 kb)
{
    return QString::number(kb);
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    const QString wanted = parseArguments(args);
    if (wanted.isEmpty()) {
        std::fprintf(stderr, "usage: tasklist.exe /fi \"IMAGENAME eq NAME\" /FO CSV /NH\n");
        return 1;
    }

    const QList<Process> processes = matchingProcesses(wanted);
    if (processes.isEmpty()) {
        std::printf("%s\n", NoMatch);
        return 0;
    }
    for (const Process &p : processes) {
        const QByteArray line = QStringLiteral("\"%1\",\"%2\",\"Console\",\"1\",\"%3 K\"")
                                    .arg(p.imageName, p.pid, memoryText(p.residentKB))
                                    .toLocal8Bit();
        std::printf("%s\n", line.constData());
    }
    return 0;
}
