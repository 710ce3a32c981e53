// The command line as administrators use it: the real program, started as
// a process from an installation of its own, with no display.
#include "httpfixture.h"
#include "releasebuilder.h"
#include "releasestate.h"
#include "testsupport.h"
#include "udpversionserver.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

constexpr quint64 ReleaseId = 1733650000;
// The version server's 10 s, then the run; far below a hang.
constexpr int ProgramTimeoutMs = 60000;
const QByteArray Content("the client's file\n");
const QByteArray Notes("release notes\n");
const QString ClientName = QStringLiteral("vt3client_win32.exe");
const QByteArray ClientListed("\"vt3client_win32.exe\",\"4242\",\"Console\",\"1\",\"10240 K\"\n");

enum class Scene {
    Plain,
    Installed,
    InstalledOlder,
    Silent,
    Malformed,
    ClientRunning,
    KeysButUnsigned,
    NoMirrors,
    ReadOnly,
    // A folder with nothing but the updater and mirrors.ini, handed out
    // as a web installer; the release brings the client.
    FirstInstall
};

#ifndef Q_OS_WIN
// Who runs the updater where the test runs as root, which writes every
// folder: nobody, with no rights of its own.
constexpr int Unprivileged = 65534;
#endif

// Whether this process can still make a file in `dir`.
bool canCreateIn(const QString &dir)
{
    QFile probe(dir + QStringLiteral("/probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.close();
    return probe.remove();
}

// An installation with the updater in it, a mirror with release
// ReleaseId, and the version server announcing it.
struct Installation
{
    QTemporaryDir app;
    QTemporaryDir tmp;
    QTemporaryDir data;
    QTemporaryDir scratch;
    HttpFixture http;
    // The program runs as another user, who needs a path to it.
    bool dropped = false;
    UdpVersionServer version;
    QString program;

    bool prepare(Scene scene)
    {
        program = app.filePath(QFileInfo(QStringLiteral(VT3_APP_BINARY)).fileName());
        if (!QFile::copy(QStringLiteral(VT3_APP_BINARY), program) || !http.listen() ||
            !version.listenWhenFree(ProgramTimeoutMs))
            return false;
        if (scene == Scene::Silent)
            version.setSilent();
        else
            version.setReply(scene == Scene::Malformed ? QByteArray("no release here")
                                                       : QByteArray::number(ReleaseId) + "#3.6.1");
        vt3test::ReleaseBuilder release(QStringLiteral("/%1/").arg(ReleaseId));
        release.add(vt3test::CommonGroup, QStringLiteral("readme.txt.z"), Content, QStringLiteral("readme.txt"));
        if (scene == Scene::FirstInstall) {
            release.add(vt3test::CommonGroup, QStringLiteral("data/notes.txt.z"), Notes,
                        QStringLiteral("data/notes.txt"));
            release.add(vt3test::BinGroup, ClientName + QLatin1String(".z"),
                        vt3test::readFile(QStringLiteral(VT3_FAKEPROGRAM)), ClientName);
        }
        release.publish(http, release.manifest(scratch.path()));
        if (scene != Scene::NoMirrors) {
            QSettings mirrors(app.filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
            mirrors.setValue(QStringLiteral("mirrors/size"), 2);
            mirrors.setValue(QStringLiteral("mirrors/1/mirror"), QStringLiteral("m"));
            mirrors.setValue(QStringLiteral("m/url"), http.baseUrl());
            mirrors.setValue(QStringLiteral("m/retries"), 1);
        }
        if (scene == Scene::Installed && !vt3::recordInstalledRelease(app.path(), ReleaseId))
            return false;
        if (scene == Scene::InstalledOlder && !vt3::recordInstalledRelease(app.path(), ReleaseId - 1))
            return false;
        if (scene == Scene::ClientRunning)
            return placeTaskList(ClientListed, false);
        if (scene == Scene::ReadOnly)
            return makeReadOnly();
        if (scene == Scene::KeysButUnsigned)
            return vt3test::writeFile(app.filePath(QStringLiteral("trusted-keys.txt")),
                                      QByteArray(32, 'k').toBase64() + '\n');
        return true;
    }

    // The installation as a standard user meets one under Program Files:
    // the folder and its files are there to read, not to write.
    bool makeReadOnly()
    {
        const auto everyone = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                              QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
        const auto shared = everyone | QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
#ifndef Q_OS_WIN
        dropped = ::geteuid() == 0;
#endif
        return QFile::setPermissions(app.path(), everyone) && QFile::setPermissions(tmp.path(), shared) &&
               QFile::setPermissions(data.path(), shared);
    }

    // A root that cannot hand the run to another user still writes the
    // folder, and so does Windows' user, where a folder's read-only bit is
    // no access list: then there is nothing to test here.
    QString whyUntestable() const
    {
#ifndef Q_OS_WIN
        if (dropped)
            return QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()
                       ? QStringLiteral("root cannot drop its rights here: setpriv is missing")
                       : QString();
#endif
        return canCreateIn(app.path())
                   ? QStringLiteral("this user still writes the folder (on Windows the read-only bit does not "
                                    "stop that); e2e_wine runs the case as a user who may not")
                   : QString();
    }

    ~Installation()
    {
        QFile::setPermissions(app.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    bool placeTaskList(const QByteArray &answer, bool hang)
    {
        return vt3test::placeFakeProgram(app.path(), QStringLiteral("tasklist.exe")) &&
               vt3test::writeFile(app.filePath(QStringLiteral("answer.txt")), answer) &&
               (!hang || vt3test::writeFile(app.filePath(QStringLiteral("hang")), QByteArray()));
    }

    // No display of any kind: what a scheduled task has.
    QProcess *start(const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        vt3test::putTempDir(env, tmp.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), data.path());
        auto *process = new QProcess;
#ifndef Q_OS_WIN
        if (dropped) {
            env.insert(QStringLiteral("HOME"), data.path());
            process->setProcessEnvironment(env);
            process->start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=%1").arg(Unprivileged),
                                                                  QStringLiteral("--regid=%1").arg(Unprivileged),
                                                                  QStringLiteral("--clear-groups"), program} +
                                                          arguments);
            return process;
        }
#endif
        process->setProcessEnvironment(env);
        process->start(program, arguments);
        return process;
    }

    // Runs to the end while this process's servers keep answering.
    vt3test::ToolRun run(const QStringList &arguments)
    {
        std::unique_ptr<QProcess> process(start(arguments));
        return vt3test::awaitTool(*process, ProgramTimeoutMs);
    }
};

} // namespace

Q_DECLARE_METATYPE(Scene)

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void exitCodes_data();
    void exitCodes();
    void secondUpdateWhileOneRuns();
    void firstInstallFromNothing();
};

void TestCli::exitCodes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Scene>("scene");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::addColumn<bool>("installs");
    QTest::addColumn<bool>("fetches");

    const QStringList check{QStringLiteral("--check")};
    const QStringList quiet{QStringLiteral("--update"), QStringLiteral("--quiet")};
    QTest::newRow("help") << QStringList{QStringLiteral("--help")} << Scene::Plain << 0
                          << "Usage: vt3update [--check | --update [--quiet] [--start-client]]" << false << false;
    QTest::newRow("version") << QStringList{QStringLiteral("--version")} << Scene::Plain << 0
                             << "vt3update " VT3_UPDATER_VERSION << false << false;
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate")} << Scene::Plain << 64
                                    << "vt3update: unknown option '--frobnicate'" << false << false;
    QTest::newRow("quiet alone") << QStringList{QStringLiteral("--quiet")} << Scene::Plain << 64
                                 << "vt3update: --quiet and --start-client go with --update only" << false << false;
    QTest::newRow("check, current") << check << Scene::Installed << 0 << "The installation is current." << false
                                    << false;
    QTest::newRow("check, newer announced")
        << check << Scene::InstalledOlder << 2 << "Installed release: 1733649999" << false << false;
    QTest::newRow("check, nothing recorded")
        << check << Scene::Plain << 2 << "A newer release is available." << false << false;
    QTest::newRow("check, silent server")
        << check << Scene::Silent << 1 << "The version server gave no usable answer." << false << false;
    QTest::newRow("check, malformed answer")
        << check << Scene::Malformed << 1 << "The version server gave no usable answer." << false << false;
    QTest::newRow("quiet update") << quiet << Scene::Plain << 0
                                  << "Update finished.Press \"Start Voxtera3\" run Voxtera3." << true << true;
    QTest::newRow("quiet update, client running")
        << quiet << Scene::ClientRunning << 3 << "The Voxtera 3 Client should be closed before starting the update."
        << false << false;
    QTest::newRow("quiet update, unsigned release")
        << quiet << Scene::KeysButUnsigned << 4 << "Error:The signature of release 1733650000 is missing." << false
        << true;
    QTest::newRow("quiet update, no mirror list")
        << quiet << Scene::NoMirrors << 1 << "mirrors.ini file not found!" << false << false;
    QTest::newRow("quiet update, read-only installation")
        << quiet << Scene::ReadOnly << 6 << "No write access to %1:" << false << false;
}

void TestCli::exitCodes()
{
    QFETCH(QStringList, arguments);
    QFETCH(Scene, scene);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QFETCH(bool, installs);
    QFETCH(bool, fetches);

    Installation installation;
    QVERIFY(installation.prepare(scene));
    if (scene == Scene::ReadOnly) {
        const QString why = installation.whyUntestable();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        said = said.arg(QDir::toNativeSeparators(installation.app.path()));
    }
    const vt3test::ToolRun run = installation.run(arguments);
    const QString both = run.out + run.err;
    QVERIFY2(both.contains(said), qPrintable(both));
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(installation.http.requestLog().isEmpty() != fetches,
             qPrintable(installation.http.requestLog().join(QLatin1Char(' '))));
    QCOMPARE(vt3test::readFile(installation.app.filePath(QStringLiteral("readme.txt"))),
             installs ? Content : QByteArray());
    // Log lines go out as the disk log has them: a time, then plain text.
    if (arguments.contains(QStringLiteral("--quiet")) && exitCode != 64)
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT[^ ]+ vt3update .* starts an update"),
                                    QRegularExpression::MultilineOption)
                     .match(run.out)
                     .hasMatch(),
                 qPrintable(run.out));
}

void TestCli::secondUpdateWhileOneRuns()
{
    Installation installation;
    QVERIFY(installation.prepare(Scene::Plain));
    // The first run waits on a process list that does not answer.
    QVERIFY(installation.placeTaskList(QByteArray(), true));
    std::unique_ptr<QProcess> first(installation.start({QStringLiteral("--update"), QStringLiteral("--quiet")}));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(installation.app.filePath(QStringLiteral("args.txt"))), ProgramTimeoutMs);

    const vt3test::ToolRun second = installation.run({QStringLiteral("--update"), QStringLiteral("--quiet")});
    QCOMPARE(second.exitCode, 5);
    QVERIFY2(second.err.contains(QStringLiteral("Another vt3update is running.")), qPrintable(second.err));
    QCOMPARE(first->state(), QProcess::Running);
    first->kill();
    first->waitForFinished();
}

void TestCli::firstInstallFromNothing()
{
    Installation installation;
    QVERIFY(installation.prepare(Scene::FirstInstall));
    const QStringList before = QDir(installation.app.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(before.size(), 2);

    const vt3test::ToolRun run =
        installation.run({QStringLiteral("--update"), QStringLiteral("--quiet"), QStringLiteral("--start-client")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    QCOMPARE(vt3test::readFile(installation.app.filePath(QStringLiteral("readme.txt"))), Content);
    QCOMPARE(vt3test::readFile(installation.app.filePath(QStringLiteral("data/notes.txt"))), Notes);
    QCOMPARE(vt3test::readFile(installation.app.filePath(ClientName)),
             vt3test::readFile(QStringLiteral(VT3_FAKEPROGRAM)));
    QCOMPARE(vt3::installedRelease(installation.app.path()), ReleaseId);
#ifdef Q_OS_WIN
    // Elsewhere a file the release brings is not executable: the stand-in
    // client can only be started where the system does not ask.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(installation.app.filePath(QStringLiteral("started"))), ProgramTimeoutMs);
#endif
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
