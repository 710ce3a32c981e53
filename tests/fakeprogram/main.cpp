// A program the tests copy under the name they need (the process list
// tool, the chat client) into a folder of their own. What it does is set
// by files beside it, so that it behaves the same on every system:
//   args.txt     receives its arguments, one a line
//   hang         when present, it sleeps for a minute first
//   answer.txt   when present, its bytes are written to standard output
//   started      written last (through started.tmp), holding its parent's
//                process id
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// windows.h first: the snapshot header builds on it.
#include <tlhelp32.h>
#else
#include <unistd.h>
#endif

namespace {

// Far past the updater's 30 s limit for the process list tool.
constexpr int HangSeconds = 60;

std::string ownDirectory(const char *argv0)
{
    std::string path;
#ifdef _WIN32
    char exe[MAX_PATH * 4] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, exe, sizeof exe);
    path.assign(exe, n < sizeof exe ? n : 0);
    if (path.empty())
        path = argv0;
#else
    char exe[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    path = n > 0 ? std::string(exe, size_t(n)) : std::string(argv0);
#endif
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

long parentId()
{
#ifdef _WIN32
    const DWORD self = ::GetCurrentProcessId();
    long parent = 0;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (bool more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == self)
            parent = long(entry.th32ParentProcessID);
    }
    ::CloseHandle(snapshot);
    return parent;
#else
    return long(::getppid());
#endif
}

bool exists(const std::string &path)
{
    return std::ifstream(path).good();
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string dir = ownDirectory(argv[0]) + "/";
    {
        std::ofstream args(dir + "args.txt", std::ios::binary);
        for (int i = 1; i < argc; ++i)
            args << argv[i] << '\n';
    }
    if (exists(dir + "hang"))
        std::this_thread::sleep_for(std::chrono::seconds(HangSeconds));
    std::ifstream answer(dir + "answer.txt", std::ios::binary);
    if (answer) {
#ifdef _WIN32
        // The answer's bytes as they are; a text stream would add CRs.
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        const std::string bytes((std::istreambuf_iterator<char>(answer)), std::istreambuf_iterator<char>());
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
    }
    {
        std::ofstream started(dir + "started.tmp");
        started << parentId() << '\n';
    }
    std::rename((dir + "started.tmp").c_str(), (dir + "started").c_str());
    return 0;
}
