// The check that the chat client is not running before a run starts: the
// window's reading of the process list tool, and update()'s reaction.

#include "appdir.h"
#include "clientcheck.h"
#include "releaseformat.h"
#include "run/updaterun.h"
#include "testsupport.h"
#include "updateclientprobe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// The tool's limit, then some slack.
constexpr int ClientCheckAnswerMs = 40000;

// Starts a check of the process list as a run does, and waits for its answer.
bool isClientRunning()
{
    auto *check = new vt3::ClientCheck(vt3::format::Platform, nullptr);
    QSignalSpy answered(check, &vt3::ClientCheck::finished);
    check->start();
    if (!answered.wait(ClientCheckAnswerMs))
        return false;
    return answered.constFirst().constFirst().toBool();
}

const char ClientImage[] = "vt3client_win32.exe";
const char NoTasks[] = "INFO: No tasks are running which match the specified criteria.\n";
// The window gives the tool 30 s; a hanging fake sleeps well past that.
constexpr int ToolTimeoutMs = 30000;

// A process list tool that answers with the bytes of answer.txt beside it
// and records its arguments, one a line, in args.txt.
void writeFakeTool(const QString &dir, const QByteArray &answer, bool hang = false)
{
    QVERIFY(vt3test::writeFile(dir + QStringLiteral("/answer.txt"), answer));
    if (hang)
        QVERIFY(vt3test::writeFile(dir + QStringLiteral("/hang"), QByteArray()));
    QVERIFY(vt3test::placeFakeProgram(dir, QStringLiteral("tasklist.exe")));
}

// Records and accepts the next modal box.
struct BoxWatcher
{
    QString title;
    QString text;
    int seen = 0;
    QTimer timer;

    BoxWatcher()
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            ++seen;
            title = box->windowTitle();
            text = box->text();
            box->accept();
        });
        timer.start();
    }
};

} // namespace

class TestClientCheck : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answer_data();
    void answer();
    void commandLine();
    void missingTool();
    void realStandIn();
    void updateRefusesWhileRunning();
    void updateStartsWhenNotRunning();
    void missingMirrorListComesFirst();
    void hangingTool();

private:
    void writeMirrorList();
    void startRun(UpdateClient &client);

    std::unique_ptr<QTemporaryDir> appDir;
};

void TestClientCheck::init()
{
    appDir.reset(new QTemporaryDir);
    QVERIFY(appDir->isValid());
    vt3::setApplicationDirForTesting(appDir->path());
}

void TestClientCheck::cleanup()
{
    vt3::setApplicationDirForTesting(QString());
    appDir.reset();
}

void TestClientCheck::writeMirrorList()
{
    // A mirror nobody listens on: a started run fails fast on loopback.
    QFile ini(appDir->path() + QStringLiteral("/mirrors.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[mirrors]\nsize=2\n1\\mirror=m\n[m]\nurl=http://127.0.0.1:1/\nretries=1\n");
}

void TestClientCheck::startRun(UpdateClient &client)
{
    vt3test::announceVersion(client, QStringLiteral("1733650000#3.6.1"));
    QPushButton *start = UpdateClientProbe::ui(client)->btnStart;
    QVERIFY(start->isEnabled());
    start->click();
}

void TestClientCheck::answer_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("running");

    QTest::newRow("client running") << QByteArray("\"vt3client_win32.exe\",\"4242\",\"Console\",\"1\",\"10240 K\"\n")
                                    << true;
    QTest::newRow("not running") << QByteArray(NoTasks) << false;
    QTest::newRow("two processes") << QByteArray("\"vt3client_win32.exe\",\"4242\",\"Console\",\"1\",\"10240 K\"\r\n"
                                                 "\"vt3client_win32.exe\",\"4343\",\"Console\",\"1\",\"9000 K\"\r\n")
                                   << true;
    QTest::newRow("file name differs in case")
        << QByteArray("\"VT3Client_Win32.exe\",\"4242\",\"Console\",\"1\",\"10240 K\"\n") << false;
    QTest::newRow("empty output") << QByteArray() << false;
    QTest::newRow("blanks around the name") << QByteArray("  \"vt3client_win32.exe\" ,\"1\"\n") << true;
    QTest::newRow("bare name, no comma") << QByteArray("vt3client_win32.exe\r\n") << true;
    QTest::newRow("another program first")
        << QByteArray("\"other.exe\",\"1\",\"Console\",\"1\",\"1 K\"\n\"vt3client_win32.exe\",\"2\"\n") << false;
    QTest::newRow("longer name") << QByteArray("\"vt3client_win32.exe.bak\",\"1\"\n") << false;
    QTest::newRow("name inside a later field") << QByteArray("\"x\",\"vt3client_win32.exe\"\n") << false;
}

void TestClientCheck::answer()
{
    QFETCH(QByteArray, output);
    QFETCH(bool, running);
    writeFakeTool(appDir->path(), output);
    UpdateClient client;
    QCOMPARE(isClientRunning(), running);
}

void TestClientCheck::commandLine()
{
    writeFakeTool(appDir->path(), NoTasks);
    UpdateClient client;
    isClientRunning();
    QFile args(appDir->path() + QStringLiteral("/args.txt"));
    QVERIFY(args.open(QIODevice::ReadOnly));
    // The quoted filter reaches the tool as one argument.
    QCOMPARE(QString::fromUtf8(args.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
             QStringList({QStringLiteral("/fi"), QStringLiteral("IMAGENAME eq vt3client_win32.exe"),
                          QStringLiteral("/FO"), QStringLiteral("CSV"), QStringLiteral("/NH")}));
}

void TestClientCheck::missingTool()
{
    // Nothing beside the updater and nothing on PATH: counts as not running.
    QTemporaryDir emptyPath;
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", emptyPath.path().toLocal8Bit());
    UpdateClient client;
    const bool running = isClientRunning();
    qputenv("PATH", oldPath);
    QVERIFY(!running);
}

void TestClientCheck::realStandIn()
{
    const QString standIn = vt3test::buildFile(QStringLiteral("tasklist.exe"));
    QVERIFY(QFile::exists(standIn));
    QVERIFY(QFile::copy(standIn, appDir->path() + QStringLiteral("/tasklist.exe")));

    QTemporaryDir clientDir;
    const QString clientPath = clientDir.path() + QLatin1Char('/') + QLatin1String(ClientImage);
    QVERIFY(QFile::copy(QStringLiteral(VT3_FAKECLIENT), clientPath));
    QFile::setPermissions(clientPath, QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    UpdateClient client;
    QVERIFY(!isClientRunning());

    QProcess chat;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VT3_FAKECLIENT_SECONDS"), QStringLiteral("30"));
    env.insert(QStringLiteral("VT3_FAKECLIENT_LOG"), clientDir.filePath(QStringLiteral("client.log")));
    chat.setProcessEnvironment(env);
    chat.start(clientPath, QStringList());
    QVERIFY(chat.waitForStarted());
    const bool whileRunning = isClientRunning();
    chat.kill();
    chat.waitForFinished();
    QVERIFY(whileRunning);
    QVERIFY(!isClientRunning());
}

void TestClientCheck::updateRefusesWhileRunning()
{
    writeMirrorList();
    writeFakeTool(appDir->path(), "\"vt3client_win32.exe\",\"4242\",\"Console\",\"1\",\"10240 K\"\n");
    UpdateClient client;
    BoxWatcher watcher;
    startRun(client);

    QTRY_COMPARE(watcher.seen, 1);
    QCOMPARE(watcher.title, QStringLiteral("Warning"));
    QCOMPARE(watcher.text, QStringLiteral("The Voxtera 3 Client should be\n closed before starting the update."));
    // Nothing of the run was touched: the user closes the client and tries again.
    QVERIFY(UpdateClientProbe::ui(client)->btnStart->isEnabled());
    QTest::qWait(100);
    QCOMPARE(vt3test::logLines(client), QStringList());
}

void TestClientCheck::updateStartsWhenNotRunning()
{
    writeMirrorList();
    writeFakeTool(appDir->path(), NoTasks);
    UpdateClient client;
    BoxWatcher watcher;
    startRun(client);
    QTRY_COMPARE(vt3test::logLines(client).value(0), QStringLiteral("Downloading client_win32.ini..."));
    QCOMPARE(watcher.seen, 0);
    QVERIFY(!UpdateClientProbe::ui(client)->btnStart->isEnabled());
}

void TestClientCheck::missingMirrorListComesFirst()
{
    writeFakeTool(appDir->path(), "\"vt3client_win32.exe\",\"4242\",\"Console\",\"1\",\"10240 K\"\n");
    UpdateClient client;
    BoxWatcher watcher;
    startRun(client);
    QTest::qWait(100);
    QCOMPARE(watcher.seen, 0);
    QCOMPARE(vt3test::logLinesMarked(client), QStringList{QStringLiteral("red:mirrors.ini file not found!")});
    // The tool was never asked.
    QVERIFY(!QFile::exists(appDir->path() + QStringLiteral("/args.txt")));
    QVERIFY(UpdateClientProbe::ui(client)->btnStart->isEnabled());
    QVERIFY(UpdateClientProbe::ui(client)->btnDetails->isChecked());
}

void TestClientCheck::hangingTool()
{
    writeMirrorList();
    writeFakeTool(appDir->path(), QByteArray(), true);
    UpdateClient client;
    QElapsedTimer waited;
    waited.start();
    startRun(client);
    auto *check = UpdateClientProbe::run(client)->findChild<vt3::ClientCheck *>();
    QVERIFY(check);
    QSignalSpy answered(check, &vt3::ClientCheck::finished);
    // The press returns while the tool still hangs, and the window goes on
    // handling events.
    QVERIFY(answered.isEmpty());
    QTest::qWait(200);
    QVERIFY(answered.isEmpty());
    QVERIFY(answered.wait(ClientCheckAnswerMs));
    QVERIFY(!answered.constFirst().constFirst().toBool());
    QVERIFY(waited.elapsed() >= ToolTimeoutMs - 100);
    // Counted as not running: the run goes on.
    QTRY_COMPARE(vt3test::logLines(client).value(0), QStringLiteral("Downloading client_win32.ini..."));
}

QTEST_MAIN(TestClientCheck)
#include "tst_clientcheck.moc"
