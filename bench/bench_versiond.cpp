// Measures how many version requests vt3-versiond answers per second on
// loopback. It starts the real server with the rate limit off (a single
// source would otherwise get 20 replies a second) and keeps a window of
// requests in flight from one client socket.
//
//   bench_versiond [seconds] [--log]     --log keeps the per-request log on

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Enough requests in flight to keep the server busy between two wake-ups,
// few enough that loopback buffers never overflow.
constexpr int Window = 64;
// A lost datagram is noticed after this long and the window refilled.
constexpr int LossTimeoutMs = 200;
constexpr int DefaultSeconds = 5;

quint16 freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// The server is up once it answers.
bool waitForServer(int fd, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    char buffer[256];
    while (timer.elapsed() < timeoutMs) {
        ::send(fd, "3", 1, 0);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0 && ::recv(fd, buffer, sizeof buffer, 0) > 0)
            return true;
    }
    return false;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int seconds = DefaultSeconds;
    bool logging = false;
    for (const QString &arg : args.mid(1)) {
        if (arg == QLatin1String("--log"))
            logging = true;
        else if (arg.toInt() > 0)
            seconds = arg.toInt();
    }

    const quint16 port = freeUdpPort();
    QStringList serverArgs{QStringLiteral("--reply"), QStringLiteral("1733650000#3.6.1"), QStringLiteral("--port"),
                           QString::number(port),     QStringLiteral("--rate"),           QStringLiteral("0")};
    if (!logging)
        serverArgs << QStringLiteral("--quiet");
    QProcess server;
    // The log is part of the cost being measured, but nobody reads it here.
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(QStringLiteral(VT3_VERSIOND_BINARY), serverArgs);
    if (!server.waitForStarted()) {
        std::fprintf(stderr, "cannot start %s\n", VT3_VERSIOND_BINARY);
        return 1;
    }

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    if (!waitForServer(fd, 5000)) {
        std::fprintf(stderr, "server did not answer\n");
        server.kill();
        server.waitForFinished();
        return 1;
    }

    qint64 answered = 0;
    qint64 timeouts = 0;
    QElapsedTimer timer;
    timer.start();
    const qint64 durationMs = qint64(seconds) * 1000;
    for (int i = 0; i < Window; ++i)
        ::send(fd, "3", 1, 0);
    char buffer[256];
    while (timer.elapsed() < durationMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, LossTimeoutMs) <= 0) {
            ++timeouts;
            for (int i = 0; i < Window; ++i)
                ::send(fd, "3", 1, 0);
            continue;
        }
        while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
            ++answered;
            ::send(fd, "3", 1, 0);
        }
    }
    const double elapsed = static_cast<double>(timer.elapsed()) / 1000.0;
    ::close(fd);

    server.terminate();
    server.waitForFinished(5000);

    std::printf("vt3-versiond (%s): %lld replies in %.2f s = %.0f requests/s (%lld loss time-outs)\n",
                logging ? "logging each request" : "--quiet", static_cast<long long>(answered), elapsed,
                static_cast<double>(answered) / elapsed, static_cast<long long>(timeouts));
    return 0;
}
