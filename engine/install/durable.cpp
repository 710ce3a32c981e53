#include "durable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

#include <atomic>
#include <vector>

#ifdef Q_OS_WIN
#include <QElapsedTimer>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vt3 {

namespace {

#ifdef Q_OS_WIN
// A scanner that looks at a file just written holds it for tens to a few
// hundred milliseconds; two seconds lets a slow one on a busy machine
// finish, and still gives up soon on a file that is really kept open.
constexpr int HeldWaitMs = 2000;
constexpr int HeldStepMs = 50;

// A scanner opens a file without delete sharing (a rename then fails with
// a sharing violation) or, with some products, has opening it refused as
// access denied while it looks.
bool mayBeHeldByOther(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Runs `attempt` (a Win32 call that sets the last error when it fails)
// again while another program may hold the file, for HeldWaitMs at most.
template <typename Attempt> bool waitWhileHeld(Attempt attempt, bool *busy)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (attempt())
            return true;
        const DWORD error = ::GetLastError();
        if (!mayBeHeldByOther(error))
            return false;
        if (waited.elapsed() >= HeldWaitMs) {
            // Access denied for that long is as likely a lack of rights;
            // only a sharing conflict surely names another program.
            if (busy)
                *busy = error != ERROR_ACCESS_DENIED;
            return false;
        }
        ::Sleep(HeldStepMs);
    }
}
#else
bool syncDescriptorOf(const QString &path, int flags)
{
    int fd = -1;
    do
        fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}
#endif

// How many flushes run at once. A flush waits for the device, not the
// processor, and the file system commits its journal once for all the
// flushes waiting together: flushing 5000 small files on ext4 took 9 s one
// after the other, 1.0 s four at a time and 0.85 s eight at a time.
constexpr int FlushesAtOnce = 8;

enum class Outcome : unsigned char { Failed, Done, Busy };

// Runs `step(i)` for every i below `count` on up to FlushesAtOnce threads,
// the calling one included; returns the index of the first that failed, or
// -1.
template <typename Step> int runAtOnce(int count, bool *busy, Step step)
{
    std::vector<Outcome> outcomes(size_t(qMax(count, 0)), Outcome::Failed);
    std::atomic<int> next{0};
    const auto drain = [&] {
        for (int i = next++; i < count; i = next++) {
            bool held = false;
            outcomes[size_t(i)] = step(i, &held) ? Outcome::Done : held ? Outcome::Busy : Outcome::Failed;
        }
    };
    QThreadPool helpers;
    const int extra = qMin(FlushesAtOnce, count) - 1;
    helpers.setMaxThreadCount(qMax(extra, 1));
    for (int t = 0; t < extra; ++t)
        helpers.start(drain);
    drain();
    helpers.waitForDone();
    for (int i = 0; i < count; ++i) {
        if (outcomes[size_t(i)] == Outcome::Done)
            continue;
        if (busy)
            *busy = outcomes[size_t(i)] == Outcome::Busy;
        return i;
    }
    return -1;
}

} // namespace

#ifdef Q_OS_WIN
std::wstring longPath(const QString &path)
{
    QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (native.startsWith(QLatin1String("\\\\")))
        native = QLatin1String("\\\\?\\UNC\\") + native.mid(2);
    else
        native = QLatin1String("\\\\?\\") + native;
    return native.toStdWString();
}
#endif

bool flushFile(const QString &path, bool *busy)
{
#ifdef Q_OS_WIN
    const std::wstring name = longPath(path);
    HANDLE file = INVALID_HANDLE_VALUE;
    const bool opened = waitWhileHeld(
        [&] {
            // Writing access is what FlushFileBuffers asks for; nothing is
            // written.
            file = ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            return file != INVALID_HANDLE_VALUE;
        },
        busy);
    if (!opened)
        return false;
    const bool flushed = ::FlushFileBuffers(file) != 0;
    ::CloseHandle(file);
    return flushed;
#else
    Q_UNUSED(busy);
    return syncDescriptorOf(path, O_RDONLY | O_NOFOLLOW);
#endif
}

bool syncDirectory(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return true;
#else
    return syncDescriptorOf(path, O_RDONLY | O_DIRECTORY);
#endif
}

int flushFiles(const QStringList &paths, bool *busy)
{
    return runAtOnce(paths.size(), busy, [&paths](int i, bool *held) { return flushFile(paths.at(i), held); });
}

int syncDirectories(const QStringList &paths)
{
    return runAtOnce(paths.size(), nullptr, [&paths](int i, bool *) { return syncDirectory(paths.at(i)); });
}

bool renameFile(const QString &from, const QString &to, bool replace, bool *busy)
{
#ifdef Q_OS_WIN
    const std::wstring source = longPath(from);
    const std::wstring target = longPath(to);
    // Written through: the call returns once the rename is on the device.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return waitWhileHeld([&] { return ::MoveFileExW(source.c_str(), target.c_str(), flags) != 0; }, busy);
#else
    Q_UNUSED(busy);
    const QByteArray target = QFile::encodeName(to);
    struct stat present;
    // rename() overwrites whatever has the name, a dangling link included.
    if (!replace && ::lstat(target.constData(), &present) == 0)
        return false;
    return ::rename(QFile::encodeName(from).constData(), target.constData()) == 0;
#endif
}

bool writeFileDurably(const QString &path, const QByteArray &contents)
{
    const QFileInfo info(path);
    // Beside the file: the rename that replaces it stays within its volume.
    const QString fresh = info.path() + QLatin1String("/.") + info.fileName() + QLatin1String(".vt3-new");
    QFile out(fresh);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = out.write(contents) == contents.size() && out.flush();
    out.close();
    if (!written || out.error() != QFileDevice::NoError || !flushFile(fresh) || !renameFile(fresh, path, true)) {
        QFile::remove(fresh);
        return false;
    }
    return syncDirectory(info.path());
}

} // namespace vt3
