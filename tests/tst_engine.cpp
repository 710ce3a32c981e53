// The update engine alone, with no window: a face that records what it is
// told stands where the window would. This program links the whole engine
// and nothing of the window, so its link fails when the engine needs one.
#include "appdir.h"
#include "engineprobe.h"
#include "httpfixture.h"
#include "releasebuilder.h"
#include "releasestate.h"
#include "testsupport.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int RunTimeoutMs = 20000;
const QString ReleaseId = QStringLiteral("1733650000");

struct RecordingFace : vt3::UpdateFace
{
    // Everything said, in order: the log's lines as the window shows them
    // ("red:" before an error line) and the other calls by name.
    QStringList said;
    QStringList lines;
    qint64 lastDone = -1;
    qint64 lastTotal = -1;
    int lastPercent = -1;
    int ends = 0;
    bool allowAbort = false;
    int asked = 0;

    void versionKnown(const QString &id, const QString &version, const QDateTime &released) override
    {
        said << QStringLiteral("version %1 %2 %3").arg(id, version).arg(released.toSecsSinceEpoch());
    }
    void versionUnknown() override { said << QStringLiteral("no version"); }
    void runStarting() override { said << QStringLiteral("starting"); }
    void runStarted() override { said << QStringLiteral("started"); }
    void logLine(const QString &html) override
    {
        const QString text = vt3::RunLog::plainText(html);
        lines << (html.contains(QLatin1String("color=red")) ? QLatin1String("red:") + text : text);
    }
    void transferProgress(qint64 done, qint64 total, double) override
    {
        lastDone = done;
        lastTotal = total;
    }
    void unpackProgress(int percent) override { lastPercent = percent; }
    void runFinished() override
    {
        said << QStringLiteral("finished");
        ++ends;
    }
    void runStopped(vt3::RunStop why) override
    {
        said << QStringLiteral("stopped %1").arg(int(why));
        ++ends;
    }
    bool confirmAbort() override
    {
        ++asked;
        return allowAbort;
    }
};

// An application directory with mirrors.ini naming one mirror on a local
// server that serves one release of two files.
struct Scene
{
    QTemporaryDir app;
    QTemporaryDir tmp;
    QTemporaryDir scratch;
    vt3test::TempDirScope useTmp{tmp.path()};
    HttpFixture http;
    vt3test::ReleaseBuilder release{QLatin1Char('/') + ReleaseId + QLatin1Char('/')};
    const QByteArray readme = QByteArray("read me\n").repeated(300);
    const QByteArray library = QByteArray("library").repeated(5000);

    Scene()
    {
        vt3::setApplicationDirForTesting(app.path());
        http.listen();
        QSettings mirrors(app.filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
        mirrors.setValue(QStringLiteral("mirrors/size"), 2);
        mirrors.setValue(QStringLiteral("mirrors/1/mirror"), QStringLiteral("m"));
        mirrors.setValue(QStringLiteral("m/url"), http.baseUrl());
        mirrors.setValue(QStringLiteral("m/retries"), 1);
        release.add(vt3test::CommonGroup, QStringLiteral("readme.txt.z"), readme, QStringLiteral("readme.txt"));
        release.add(vt3test::BinGroup, QStringLiteral("core.dll.z"), library, QStringLiteral("core.dll"));
    }
    ~Scene() { vt3::setApplicationDirForTesting(QString()); }

    void publish(const QByteArray &extra = QByteArray())
    {
        release.publish(http, release.manifest(scratch.path()) + extra);
    }
    QString workDir() const { return QDir(tmp.path()).filePath(QStringLiteral("voxtera_temp_0")); }
};

void runToEnd(vt3::UpdateEngine &engine, RecordingFace &face)
{
    engine.queryVersion();
    vt3test::announceVersion(engine, ReleaseId + QStringLiteral("#3.6.1"));
    engine.update();
    QTRY_VERIFY_WITH_TIMEOUT(face.ends > 0, RunTimeoutMs);
    // Nothing more is said once a run has ended.
    QTest::qWait(50);
    QCOMPARE(face.ends, 1);
}

enum class Trouble { None, NoMirrorList, ClientRunning, OlderRelease, Unsigned, NoManifest, NoFile };

} // namespace

Q_DECLARE_METATYPE(Trouble)

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void wholeRunReported();
    void runEndsSayWhy_data();
    void runEndsSayWhy();
    void closingAsksDuringARun();
};

void TestEngine::wholeRunReported()
{
    Scene scene;
    scene.publish();
    RecordingFace face;
    vt3::UpdateEngine engine(&face);
    runToEnd(engine, face);

    QCOMPARE(face.said, (QStringList{QStringLiteral("version 1733650000 3.6.1 1733650000"), QStringLiteral("starting"),
                                     QStringLiteral("started"), QStringLiteral("finished")}));
    // The lines and their colours are the window's, in its order.
    QCOMPARE(
        face.lines,
        (QStringList{QStringLiteral("Downloading client_win32.ini..."),
                     QStringLiteral("Release 1733650000 is not verified: this installation trusts no signing keys."),
                     QStringLiteral("Downloading to ") + scene.workDir(), QStringLiteral("Downloading core.dll.z..."),
                     QStringLiteral("Downloading readme.txt.z..."), QStringLiteral("extracting core.dll..."),
                     QStringLiteral("extracting readme.txt..."),
                     QStringLiteral("red:Update finished.Press \"Start Voxtera3\" run Voxtera3.")}));
    qint64 served = 0;
    for (const auto &file : qAsConst(scene.release.files))
        served += file.served.size();
    // The manifest's bytes count as done too, though not in the total.
    QCOMPARE(face.lastTotal, served);
    QVERIFY(face.lastDone > served);
    QCOMPARE(face.lastPercent, 100);
    QCOMPARE(vt3test::readFile(scene.app.filePath(QStringLiteral("core.dll"))), scene.library);
    QCOMPARE(vt3test::readFile(scene.app.filePath(QStringLiteral("readme.txt"))), scene.readme);
    QCOMPARE(vt3::installedRelease(scene.app.path()), ReleaseId.toULongLong());
    QVERIFY(engine.isFinished());
}

void TestEngine::runEndsSayWhy_data()
{
    QTest::addColumn<Trouble>("trouble");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("lastLine");

    const QString stopped = QStringLiteral("stopped %1");
    QTest::newRow("no mirror list") << Trouble::NoMirrorList << stopped.arg(int(vt3::RunStop::MirrorListMissing))
                                    << "red:mirrors.ini file not found!";
    QTest::newRow("client running") << Trouble::ClientRunning << stopped.arg(int(vt3::RunStop::ClientRunning))
                                    << QString();
    QTest::newRow("older than installed")
        << Trouble::OlderRelease << stopped.arg(int(vt3::RunStop::Refused))
        << "red:Release 1733650000 is older than the installed release 1733650001; it is not installed.";
    QTest::newRow("signature missing") << Trouble::Unsigned << stopped.arg(int(vt3::RunStop::Refused))
                                       << "red:Failed to download client_win32.ini!";
    QTest::newRow("manifest missing") << Trouble::NoManifest << stopped.arg(int(vt3::RunStop::Failed))
                                      << "red:Failed to download client_win32.ini!";
    QTest::newRow("release file missing")
        << Trouble::NoFile << stopped.arg(int(vt3::RunStop::Failed))
        << QStringLiteral("red:") + QDir::toNativeSeparators(QStringLiteral("%1/core.dll.z")) +
               QStringLiteral(" file size not correct");
}

void TestEngine::runEndsSayWhy()
{
    QFETCH(Trouble, trouble);
    QFETCH(QString, end);
    QFETCH(QString, lastLine);

    Scene scene;
    scene.publish();
    const QString root = QLatin1Char('/') + ReleaseId + QLatin1Char('/');
    HttpFixture::Route missing;
    missing.status = 404;
    switch (trouble) {
    case Trouble::None:
        break;
    case Trouble::NoMirrorList:
        QVERIFY(QFile::remove(scene.app.filePath(QStringLiteral("mirrors.ini"))));
        break;
    case Trouble::ClientRunning:
        QVERIFY(vt3test::placeFakeProgram(scene.app.path(), QStringLiteral("tasklist.exe")));
        QVERIFY(vt3test::writeFile(scene.app.filePath(QStringLiteral("answer.txt")),
                                   "\"vt3client_win32.exe\",\"4242\",\"Console\",\"1\",\"10240 K\"\n"));
        break;
    case Trouble::OlderRelease:
        QVERIFY(vt3::recordInstalledRelease(scene.app.path(), ReleaseId.toULongLong() + 1));
        break;
    case Trouble::Unsigned:
        // Any key at all asks for signed releases; this release has none.
        QVERIFY(vt3test::writeFile(scene.app.filePath(QStringLiteral("trusted-keys.txt")),
                                   QByteArray(32, 'k').toBase64() + '\n'));
        break;
    case Trouble::NoManifest:
        scene.http.setRoute(root + QStringLiteral("client_win32.ini"), missing);
        break;
    case Trouble::NoFile:
        scene.http.setRoute(root + QStringLiteral("bin_win32/core.dll.z"), missing);
        break;
    }
    lastLine.replace(QStringLiteral("%1"), QDir::toNativeSeparators(scene.workDir()));

    RecordingFace face;
    vt3::UpdateEngine engine(&face);
    runToEnd(engine, face);
    QCOMPARE(face.said.constLast(), end);
    QCOMPARE(face.lines.value(face.lines.size() - 1), lastLine);
    QVERIFY(!engine.isFinished());
    QVERIFY(!QFileInfo::exists(scene.app.filePath(QStringLiteral("core.dll"))));
}

void TestEngine::closingAsksDuringARun()
{
    Scene scene;
    scene.publish();
    RecordingFace face;
    vt3::UpdateEngine engine(&face);
    QVERIFY(!engine.mayClose());
    QCOMPARE(face.asked, 1);
    face.allowAbort = true;
    QVERIFY(engine.mayClose());
    QCOMPARE(face.asked, 2);

    RecordingFace after;
    vt3::UpdateEngine finished(&after);
    runToEnd(finished, after);
    QVERIFY(finished.mayClose());
    QCOMPARE(after.asked, 0);
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
