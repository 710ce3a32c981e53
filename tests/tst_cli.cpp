// The command line as administrators use it: the real program, started as
// a process from an installation of its own, with no display.
#include "httpfixture.h"
#include "releasebuilder.h"
#include "releasestate.h"
#include "testsupport.h"
#include "udpversionserver.h"
#include "versionkey.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <utility>
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
    // The installation trusts a version key; the answer is signed by it, or not.
    VersionSigned,
    VersionUnsigned,
    // Three files and the user's settings, kept; installed files that
    // match stay as they are.
    Repairable,
    ReadOnly,
    // A folder with nothing but the updater and mirrors.ini, handed out
    // as a web installer; the release brings the client.
    FirstInstall,
};

const QStringList RepairableFiles{QStringLiteral("a.txt"), QStringLiteral("b.txt"), QStringLiteral("data/c.txt")};
const QString Settings = QStringLiteral("settings.cfg");

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
        if (scene == Scene::Repairable) {
            for (const QString &name : RepairableFiles)
                release.add(vt3test::CommonGroup, name + QStringLiteral(".z"), name.toUtf8() + " of the release\n",
                            name);
            release.addDelete(Settings, 0);
            release.vouchesForUnpacked = true;
        }
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
        if (scene == Scene::VersionSigned || scene == Scene::VersionUnsigned) {
            const vt3test::VersionKey key('v');
            if (scene == Scene::VersionSigned)
                version.setReply(key.answer(QString::number(ReleaseId) + QStringLiteral("#3.6.1"),
                                            QDateTime::currentSecsSinceEpoch()));
            return vt3test::writeFile(app.filePath(QStringLiteral("trusted-keys.txt")), key.trustedLine());
        }
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
    void verifyAndRepair();
    void mirrorMemory_data();
    void mirrorMemory();
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
                                 << "vt3update: --quiet goes with --update, --verify or --repair" << false << false;
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
    QTest::newRow("check, signed answer")
        << check << Scene::VersionSigned << 2 << "Announced release: 1733650000, version 3.6.1" << false << false;
    QTest::newRow("check, unsigned answer") << check << Scene::VersionUnsigned << 4
                                            << "The version server's answer could not be verified." << false << false;
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

void TestCli::verifyAndRepair()
{
    Installation installation;
    QVERIFY(installation.prepare(Scene::Repairable));
    const QStringList verify{QStringLiteral("--verify")};
    auto file = [&](const QString &name) { return installation.app.filePath(name); };
    auto requests = [&](const QString &name) {
        return installation.http.requestCount(
            QStringLiteral("/%1/%2/%3.z").arg(ReleaseId).arg(vt3test::CommonGroup, name));
    };
    auto fetched = [&] {
        return QList<int>{requests(QStringLiteral("a.txt")), requests(QStringLiteral("b.txt")),
                          requests(QStringLiteral("data/c.txt"))};
    };
    QCOMPARE(installation.run(verify).exitCode, 1); // nothing kept yet
    QCOMPARE(installation.run({QStringLiteral("--update"), QStringLiteral("--quiet")}).exitCode, 0);
    QCOMPARE(installation.run(verify).exitCode, 0);

    // One file changed, one gone, one the user added, the user's settings
    // changed: only the first two are damage.
    QVERIFY(vt3test::writeFile(file(QStringLiteral("a.txt")), "changed by someone\n"));
    QVERIFY(QFile::remove(file(QStringLiteral("b.txt"))));
    QVERIFY(vt3test::writeFile(file(QStringLiteral("extra.txt")), "the user's own\n"));
    QVERIFY(vt3test::writeFile(file(Settings), "volume=3\n"));
    const vt3test::ToolRun damaged = installation.run(verify);
    QCOMPARE(damaged.exitCode, 2);
    QCOMPARE(QString(damaged.out).remove(QLatin1Char('\r')).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
             QStringList({QStringLiteral("missing: b.txt"), QStringLiteral("modified: a.txt"),
                          QStringLiteral("extra: extra.txt"),
                          QStringLiteral("The installation is damaged: 1 missing, 1 modified.")}));

    const QList<int> before = fetched();
    const vt3test::ToolRun repair = installation.run({QStringLiteral("--repair"), QStringLiteral("--quiet")});
    QVERIFY2(repair.out.contains(QStringLiteral("2 file(s) repaired.")), qPrintable(repair.out));
    QCOMPARE(repair.exitCode, 0);
    QCOMPARE(fetched(), QList<int>({before.at(0) + 1, before.at(1) + 1, before.at(2)}));
    QCOMPARE(vt3test::readFile(file(QStringLiteral("extra.txt"))), QByteArray("the user's own\n"));
    QCOMPARE(vt3test::readFile(file(Settings)), QByteArray("volume=3\n"));
    QCOMPARE(installation.run(verify).exitCode, 0);

    // The same size and time, other bytes: only a full check reads them.
    const QString c = file(QStringLiteral("data/c.txt"));
    const QDateTime stamp = QFileInfo(c).lastModified();
    QByteArray bytes = vt3test::readFile(c);
    bytes[0] = 'X';
    QVERIFY(vt3test::writeFile(c, bytes));
    QFile touched(c);
    QVERIFY(touched.open(QIODevice::ReadWrite) && touched.setFileTime(stamp, QFileDevice::FileModificationTime));
    touched.close();
    QCOMPARE(installation.run(verify).exitCode, 0);
    const vt3test::ToolRun full = installation.run({QStringLiteral("--verify"), QStringLiteral("--full")});
    QCOMPARE(full.exitCode, 2);
    QVERIFY2(full.out.contains(QStringLiteral("modified: ") + QDir::toNativeSeparators(QStringLiteral("data/c.txt"))),
             qPrintable(full.out));

    // Trusted keys and no signature of the kept manifest: nothing to go by.
    QVERIFY(vt3test::writeFile(file(QStringLiteral("trusted-keys.txt")), QByteArray(32, 'k').toBase64() + '\n'));
    const vt3test::ToolRun unverified = installation.run(verify);
    QCOMPARE(unverified.exitCode, 1);
    QVERIFY2(unverified.err.contains(QStringLiteral("signature is not valid")), qPrintable(unverified.err));
}

void TestCli::mirrorMemory_data()
{
    // The first mirror accepts and never answers, or refuses.
    QTest::addColumn<bool>("blackHole");
    QTest::newRow("black hole") << true;
    QTest::newRow("refused") << false;
}

void TestCli::mirrorMemory()
{
    QFETCH(bool, blackHole);
    Installation installation;
    QVERIFY(installation.prepare(Scene::Plain));
    // Mirrors are tried in the order of their URLs: the bad one sorts
    // first, so the hole takes a port whose URL does.
    HttpFixture *good = &installation.http;
    std::unique_ptr<HttpFixture> holder;
    for (int tries = 0; tries < 64 && (!holder || holder->baseUrl() > good->baseUrl()); ++tries) {
        holder = std::make_unique<HttpFixture>();
        QVERIFY(holder->listen());
    }
    HttpFixture &hole = *holder;
    const QString manifest = QStringLiteral("/%1/client_win32.ini").arg(ReleaseId);
    QString bad = QStringLiteral("http://127.0.0.1:1/");
    if (blackHole) {
        HttpFixture::Route silent;
        silent.firstByteDelayMs = -1;
        hole.setRoute(manifest, silent);
        bad = hole.baseUrl();
        QVERIFY(bad < good->baseUrl());
    }
    {
        QSettings mirrors(installation.app.filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
        mirrors.setValue(QStringLiteral("mirrors/size"), 3);
        mirrors.setValue(QStringLiteral("mirrors/2/mirror"), QStringLiteral("bad"));
        mirrors.setValue(QStringLiteral("bad/url"), bad);
        mirrors.setValue(QStringLiteral("bad/retries"), 1);
    }
    // Beside the program's disk log: below the data folder the test hands
    // it, or on Windows in the user's local application data, which this
    // test shares with it and which outlives the test.
#ifdef Q_OS_WIN
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    const QString dataHome = installation.data.path();
#endif
    const QString memoryFile = dataHome + QStringLiteral("/vt3update/vt3update.mirrors");
    QFile::remove(memoryFile);
    const QStringList update{QStringLiteral("--update"), QStringLiteral("--quiet")};
    // Whether the run asked the bad mirror, by its count of requests or by
    // what the run said.
    int holeSeen = 0;
    auto asked = [&](const vt3test::ToolRun &run) {
        const int before = std::exchange(holeSeen, hole.requestCount(manifest));
        return blackHole ? holeSeen > before : run.out.contains(QStringLiteral("Connection refused"));
    };

    vt3test::ToolRun run = installation.run(update);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(asked(run), qPrintable(run.out));

    // Within the back-off the bad mirror comes last, and is not needed.
    const int goodBefore = good->requestCount(manifest);
    run = installation.run(update);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(!asked(run), qPrintable(run.out));
    QVERIFY2(run.out.contains(QStringLiteral("Mirror %1 is tried last until").arg(bad)), qPrintable(run.out));
    QCOMPARE(good->requestCount(manifest), goodBefore + 1);
    QByteArray memory = vt3test::readFile(memoryFile);
    QVERIFY2(memory.contains(good->baseUrl().toUtf8() + "\t"), memory.constData());

    // Once the back-off is over it is tried again.
    QByteArray over;
    for (const QByteArray &line : memory.split('\n')) {
        QList<QByteArray> fields = line.split('\t');
        if (fields.size() == 7 && fields.at(0) == bad.toUtf8())
            fields[5] = "1";
        over += fields.join('\t') + '\n';
    }
    QVERIFY(vt3test::writeFile(memoryFile, over));
    run = installation.run(update);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(asked(run), qPrintable(run.out));
    if (blackHole)
        return;

    // A state file that is not ours is learnt anew, and the run goes as if
    // there were none.
    QVERIFY(vt3test::writeFile(memoryFile, "\x01garbage\n"));
    run = installation.run(update);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QStringLiteral("could not be read; it is learnt anew")), qPrintable(run.out));
    QVERIFY2(asked(run), qPrintable(run.out));
    QVERIFY(vt3test::readFile(memoryFile).startsWith("vt3update mirror memory 1\n"));
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
