// Stand-in chat client: says that it started, then stays up for a while so
// that a process check can see it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <direct.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Long enough for a test to find the process, short enough that a
// forgotten one goes away by itself.
constexpr int DefaultLifeSeconds = 5;

std::string logPath()
{
    if (const char *path = std::getenv("VT3_FAKECLIENT_LOG"))
        return path;
#ifdef _WIN32
    const char *tmp = std::getenv("TEMP");
    return std::string(tmp && *tmp ? tmp : ".") + "\\vt3client_win32.log";
#else
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/vt3client_win32.log";
#endif
}

// The real file, so a test can tell which copy of the client was run.
std::string executablePath()
{
    char exe[4096] = "?";
#ifdef _WIN32
    const DWORD n = ::GetModuleFileNameA(nullptr, exe, sizeof exe);
    exe[n > 0 && n < sizeof exe ? n : 1] = '\0';
#else
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 1] = '\0';
#endif
    return exe;
}

std::string workingDirectory()
{
    char cwd[4096] = "?";
#ifdef _WIN32
    if (!_getcwd(cwd, sizeof cwd))
#else
    if (!getcwd(cwd, sizeof cwd))
#endif
        cwd[0] = '\0';
    return cwd;
}

long processId()
{
#ifdef _WIN32
    return _getpid();
#else
    return long(getpid());
#endif
}

int lifeSeconds()
{
    const char *text = std::getenv("VT3_FAKECLIENT_SECONDS");
    const int seconds = text ? std::atoi(text) : DefaultLifeSeconds;
    return seconds > 0 ? seconds : DefaultLifeSeconds;
}

} // namespace

int main(int argc, char *argv[])
{
    std::ofstream log(logPath(), std::ios::app);
    log << "vt3client_win32.exe started pid=" << processId() << " args=" << (argc - 1) << " cwd=" << workingDirectory()
        << " exe=" << executablePath() << " argv0=" << argv[0] << std::endl;
    if (!log)
        std::fprintf(stderr, "vt3client_win32.exe: cannot write %s\n", logPath().c_str());
    std::this_thread::sleep_for(std::chrono::seconds(lifeSeconds()));
    return 0;
}
