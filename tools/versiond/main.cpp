// vt3-versiond: tells updaters which client release is current.
//
//   vt3-versiond --reply-file FILE | --reply TEXT [--sign-key FILE]
//                [--bind ADDRESS] [--port N] [--rate N] [--burst N] [--quiet]

#include "versionserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_WIN
// Ctrl+C, Ctrl+Break and the console closing come on a thread of the
// system's; the event loop is asked to end from there.
BOOL WINAPI onConsoleStop(DWORD)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    return TRUE;
}

bool installStopSignals(QCoreApplication &)
{
    return ::SetConsoleCtrlHandler(onConsoleStop, TRUE) != 0;
}
#else
// Written by the signal handler, read by the event loop: the only way to
// leave a handler safely is a write to a descriptor.
int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

bool installStopSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0)
        return false;
    auto *stopNotifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(stopNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    return true;
}
#endif

int fail(const QString &text)
{
    std::fprintf(stderr, "vt3-versiond: %s\n", text.toLocal8Bit().constData());
    return 1;
}

bool parseNumber(const QString &text, double minimum, double maximum, double *value)
{
    bool ok = false;
    const double number = text.toDouble(&ok);
    if (!ok || number < minimum || number > maximum)
        return false;
    *value = number;
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vt3-versiond"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Answers the updater's version query over UDP."));
    parser.addHelpOption();
    const QCommandLineOption replyFile(QStringLiteral("reply-file"),
                                       QStringLiteral("File with the reply text (re-read when it changes)."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption replyText(QStringLiteral("reply"), QStringLiteral("Reply text, <release id>#<version>."),
                                       QStringLiteral("TEXT"));
    const QCommandLineOption signKey(
        QStringLiteral("sign-key"),
        QStringLiteral("Version key (vt3-publish keygen --role version) to sign every answer with, "
                       "with the time it is sent (re-read when it changes)."),
        QStringLiteral("FILE"));
    const QCommandLineOption bind(QStringLiteral("bind"), QStringLiteral("Address to listen on."),
                                  QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("UDP port."), QStringLiteral("N"),
                                  QStringLiteral("17384"));
    const QCommandLineOption rate(QStringLiteral("rate"),
                                  QStringLiteral("Replies per second per source address, 0 for no limit."),
                                  QStringLiteral("N"), QStringLiteral("20"));
    const QCommandLineOption burst(QStringLiteral("burst"), QStringLiteral("Replies a source may get at once."),
                                   QStringLiteral("N"), QStringLiteral("40"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("No log line per request."));
    parser.addOptions({replyFile, replyText, signKey, bind, port, rate, burst, quiet});
    parser.process(app);

    ServerOptions options;
    if (parser.isSet(replyFile) == parser.isSet(replyText))
        return fail(QStringLiteral("give exactly one of --reply-file and --reply"));
    options.replyFile = parser.value(replyFile);
    options.replyText = parser.value(replyText).toUtf8();
    options.signKeyFile = parser.value(signKey);
    if (!options.bindAddress.setAddress(parser.value(bind)))
        return fail(QStringLiteral("not an address: %1").arg(parser.value(bind)));
    double number = 0;
    if (!parseNumber(parser.value(port), 0, 65535, &number))
        return fail(QStringLiteral("not a port: %1").arg(parser.value(port)));
    options.port = static_cast<quint16>(number);
    if (!parseNumber(parser.value(rate), 0, 1e9, &options.ratePerSecond))
        return fail(QStringLiteral("not a rate: %1").arg(parser.value(rate)));
    // A bucket smaller than one token would never let a reply through.
    if (!parseNumber(parser.value(burst), 1, 1e9, &options.burst))
        return fail(QStringLiteral("not a burst size (at least 1): %1").arg(parser.value(burst)));
    options.quiet = parser.isSet(quiet);

    if (!installStopSignals(app))
        return fail(QStringLiteral("cannot install signal handlers"));

    VersionServer server(options);
    QString error;
    if (!server.start(&error))
        return fail(error);

    const int code = app.exec();
    server.logSummary();
    return code;
}
