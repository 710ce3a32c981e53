#include "commandline.h"

#include "appdir.h"
#include "leftovers.h"
#include "releasestate.h"
#include "singleinstance.h"
#include "unattendedrun.h"
#include "updateengine.h"
#include "updateface.h"
#include "verify/installationcheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFutureWatcher>
#include <QtConcurrent>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace vt3 {

namespace {

// The command line's texts are the window's: one catalogue context.
struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(UpdateClient)
};

void print(FILE *stream, const QString &text)
{
    QByteArray bytes = text.toLocal8Bit();
    if (!bytes.endsWith('\n'))
        bytes += '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    // Lines of a run appear as they happen, also in a file or a pipe.
    std::fflush(stream);
}

// --check: the version server's answer against the installed release.
class ReleaseCheck : public UpdateFace
{
    Q_DECLARE_TR_FUNCTIONS(UpdateClient)

public:
    explicit ReleaseCheck(UpdateEngine &engine)
        : engine(engine)
    {
    }
    int exitCode() const { return code; }

    void versionKnown(const QString &releaseId, const QString &version, const QDateTime &released) override
    {
        const quint64 announced = engine.releaseId();
        const quint64 installed = installedRelease(applicationDir());
        printOut(tr("Announced release: %1, version %2 of %3")
                     .arg(releaseId, version, released.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
        printOut(installed != 0 ? tr("Installed release: %1").arg(installed) : tr("Installed release: none recorded"));
        if (announced == 0) {
            printError(tr("The version server's answer names no release."));
            finish(ExitFailed);
            return;
        }
        const bool current = installed != 0 && installed >= announced;
        printOut(current ? tr("The installation is current.") : tr("A newer release is available."));
        finish(current ? ExitDone : ExitNewerRelease);
    }
    void versionUnknown() override
    {
        printError(tr("The version server gave no usable answer."));
        finish(ExitFailed);
    }
    void versionRefused(const QString &why) override
    {
        printError(why);
        finish(ExitRefused);
    }
    // A check runs nothing of an update.
    void runStarting() override {}
    void runStarted() override {}
    void logLine(const QString &) override {}
    void transferProgress(qint64, qint64, double) override {}
    void unpackProgress(int) override {}
    void runFinished() override {}
    void runStopped(RunStop) override {}
    bool confirmAbort() override { return true; }

private:
    void finish(int exitCode)
    {
        if (answered)
            return;
        answered = true;
        code = exitCode;
        QCoreApplication::exit(exitCode);
    }

    UpdateEngine &engine;
    bool answered = false;
    int code = ExitFailed;
};

} // namespace

void attachParentConsole()
{
#ifdef Q_OS_WIN
    // A program of the window subsystem starts without a console. Started
    // from one, it writes there; output that was redirected to a file or a
    // pipe stays where it was sent.
    const bool outLoose = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_UNKNOWN;
    const bool errLoose = GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_UNKNOWN;
    if ((outLoose || errLoose) && AttachConsole(ATTACH_PARENT_PROCESS)) {
        if (outLoose)
            std::freopen("CONOUT$", "w", stdout);
        if (errLoose)
            std::freopen("CONOUT$", "w", stderr);
    }
#endif
}

void printOut(const QString &text)
{
    print(stdout, text);
}

void printError(const QString &text)
{
    print(stderr, text);
}

int showInformation(const Options &options)
{
    switch (options.mode) {
    case Options::Mode::Version:
        printOut(QStringLiteral("vt3update %1").arg(QStringLiteral(VT3_UPDATER_VERSION)));
        return ExitDone;
    case Options::Mode::Usage: {
        QString problem = Texts::tr(options.problem);
        if (problem.contains(QLatin1String("%1")))
            problem = problem.arg(options.problemArgument);
        printError(QStringLiteral("vt3update: ") + problem);
        printError(Texts::tr("Try 'vt3update --help'."));
        return ExitUsage;
    }
    default:
        break;
    }
    printOut(Texts::tr("Usage: vt3update [--check | --update [--quiet] [--start-client]]\n"
                       "       vt3update --verify [--quiet] [--full] | --repair [--quiet] [--start-client]\n"
                       "\n"
                       "Without options the update window opens.\n"
                       "\n"
                       "  --check         Ask the version server which release is current.\n"
                       "  --update        Update without a click; the window shows the run\n"
                       "                  and closes at the end.\n"
                       "  --verify        Compare the installation with its release: print the files\n"
                       "                  missing, modified or extra (2: damaged, 1: cannot verify).\n"
                       "  --full          With --verify: read every file, not only changed ones.\n"
                       "  --repair        Fetch and install again what is missing or modified.\n"
                       "  --quiet         With --update or --repair: no window; the log goes to\n"
                       "                  standard output. With --verify: print nothing.\n"
                       "  --start-client  With --update or --repair: start Voxtera3 afterwards.\n"
                       "  --help          Show this text.\n"
                       "  --version       Show the updater's version.\n"
                       "\n"
                       "Exit codes: 0 updated or current, 1 failed, 2 a newer release is announced\n"
                       "(--check), 3 the Voxtera 3 client is running, 4 refused (release signature,\n"
                       "downgrade or an unverified version answer), 5 another vt3update is running,\n"
                       "6 no write access to the installation (nothing fetched), 64 wrong usage."));
    return ExitDone;
}

int checkRelease()
{
    UpdateEngine engine(nullptr);
    ReleaseCheck check(engine);
    engine.setFace(&check);
    engine.queryVersion();
    QCoreApplication::exec();
    return check.exitCode();
}

namespace {
int runQuietly(UnattendedRun::Job job, bool startClient)
{
    SingleInstance instance;
    if (instance.isRunning()) {
        printError(Texts::tr("Another vt3update is running."));
        return ExitAnotherInstance;
    }
    removeLeftovers();
    UpdateEngine engine(nullptr);
    UnattendedRun run(engine, nullptr, startClient, job);
    engine.setFace(&run);
    if (job == UnattendedRun::Job::Update)
        engine.queryVersion();
    else
        run.startRepair();
    QCoreApplication::exec();
    return run.exitCode();
}

void printReport(const InstallationReport &report)
{
    for (const QString &name : report.missing)
        printOut(Texts::tr("missing: %1").arg(QDir::toNativeSeparators(name)));
    for (const QString &name : report.modified)
        printOut(Texts::tr("modified: %1").arg(QDir::toNativeSeparators(name)));
    for (const QString &name : report.extra)
        printOut(Texts::tr("extra: %1").arg(QDir::toNativeSeparators(name)));
    switch (report.verdict) {
    case InstallationReport::Verdict::Intact:
        printOut(Texts::tr("The installation is intact."));
        break;
    case InstallationReport::Verdict::Damaged:
        printOut(Texts::tr("The installation is damaged: %1 missing, %2 modified.")
                     .arg(report.missing.size())
                     .arg(report.modified.size()));
        break;
    case InstallationReport::Verdict::CannotVerify:
        printError(report.problem);
        break;
    }
}
} // namespace

int updateQuietly(bool startClient)
{
    return runQuietly(UnattendedRun::Job::Update, startClient);
}

int repairQuietly(bool startClient)
{
    return runQuietly(UnattendedRun::Job::Repair, startClient);
}

int verifyInstallation(bool quiet, bool full)
{
    // Off the event loop's thread, as in the window: an installation of
    // thousands of files takes a while to read.
    QFutureWatcher<InstallationReport> watcher;
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &watcher, [] { QCoreApplication::exit(0); });
    const QString appDir = applicationDir();
    watcher.setFuture(QtConcurrent::run(
        [appDir, full] { return checkInstallation(appDir, full ? VerifyDepth::Full : VerifyDepth::Fast); }));
    QCoreApplication::exec();
    const InstallationReport report = watcher.result();
    if (!quiet)
        printReport(report);
    switch (report.verdict) {
    case InstallationReport::Verdict::Intact:
        return ExitDone;
    case InstallationReport::Verdict::Damaged:
        return ExitDamaged;
    case InstallationReport::Verdict::CannotVerify:
        break;
    }
    return ExitFailed;
}

} // namespace vt3
