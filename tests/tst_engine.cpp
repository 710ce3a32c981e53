// The update engine alone, with no window: a face that records what it is
// told stands where the window would, and nothing of the window is linked.
#include "appdir.h"
#include "binarypatch.h"
#include "httpfixture.h"
#include "patchformat.h"
#include "recordingface.h"
#include "releasebuilder.h"
#include "releasestate.h"
#include "runlog.h"
#include "runprogress.h"
#include "testsupport.h"
#include "transcript.h"
#include "updateengine.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

namespace {

constexpr int RunTimeoutMs = 20000;
const QString ReleaseId = QStringLiteral("1733650000");

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
    // Of no pattern, so that a patch has to draw on its base.
    const QByteArray library = vt3test::noise(40000);

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

void runToEnd(vt3::UpdateEngine &engine, vt3test::RecordingFace &face)
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
enum class PatchCase { Used, NotTheBase, Missing, WrongDigest, WrongResult, BaseChanged, Resumed };

// The installed core.dll of the release before, and a patch from it to the
// scene's core.dll, listed in the manifest.
struct PatchScene : Scene
{
    const QByteArray before = vt3test::edited(library, 4000);
    QByteArray patch;
    QString key;

    bool prepare(PatchCase which)
    {
        const QString base = scratch.filePath(QStringLiteral("before"));
        const QString next = scratch.filePath(QStringLiteral("next"));
        const QByteArray made = which == PatchCase::WrongResult ? vt3test::edited(library, 3000) : library;
        if (!vt3test::writeFile(base, before) || !vt3test::writeFile(next, made))
            return false;
        patch = vt3::patch::makePatch(base, next).bytes;
        if (patch.isEmpty())
            return false;
        const vt3::patch::Entry entry{
            vt3test::md5Hex(patch),  QString::number(patch.size()), QString::number(before.size()),
            vt3test::md5Hex(before), QStringLiteral("core.dll.z"),  sha256(patch),
            sha256(before)};
        key = vt3::patch::patchKey(entry.fileKey, entry.baseMd5);
        const QByteArray manifest = release.manifest(scratch.path()) + "\n[format]\nunpacked=md5\n[patches]\n" +
                                    key.toUtf8() + '=' + entry.join().toUtf8() + '\n';
        release.publish(http, manifest);
        HttpFixture::Route route;
        route.body = patch;
        if (which == PatchCase::Missing)
            route.status = 404;
        if (which == PatchCase::WrongDigest)
            route.body[route.body.size() / 2] = char(route.body.at(route.body.size() / 2) ^ 0x20);
        if (which == PatchCase::BaseChanged)
            route.firstByteDelayMs = 300;
        if (which == PatchCase::Resumed) {
            route.range = HttpFixture::Route::HonourRange;
            if (!QDir().mkpath(workDir()) ||
                !vt3test::writeFile(QDir(workDir()).filePath(QStringLiteral("client_win32.ini")), manifest) ||
                !vt3test::writeFile(QDir(workDir()).filePath(key), patch.left(patch.size() / 2)))
                return false;
            QFile::setPermissions(workDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
        http.setRoute(patchPath(), route);
        const QByteArray installed = which == PatchCase::NotTheBase ? vt3test::edited(before, 5000) : before;
        return vt3test::writeFile(app.filePath(QStringLiteral("core.dll")), installed);
    }
    QString patchPath() const { return QStringLiteral("/%1/%2/%3").arg(ReleaseId, vt3test::BinGroup, key); }
    QString fullPath() const { return QStringLiteral("/%1/%2/core.dll.z").arg(ReleaseId, vt3test::BinGroup); }
    static QString sha256(const QByteArray &data)
    {
        return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
    }
};

} // namespace

Q_DECLARE_METATYPE(Trouble)
Q_DECLARE_METATYPE(PatchCase)

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void wholeRunReported();
    void runEndsSayWhy_data();
    void runEndsSayWhy();
    void closingAsksDuringARun();
    void patchOrTheWholeFile_data();
    void patchOrTheWholeFile();
    void transcriptReadsInQueueOrder_data();
    void transcriptReadsInQueueOrder();
    void diskLogStampsCarryTheOffset_data();
    void diskLogStampsCarryTheOffset();
    void progressIsShownAtAReadablePace();
};

void TestEngine::wholeRunReported()
{
    Scene scene;
    scene.publish();
    vt3test::RecordingFace face;
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
    QCOMPARE(face.percents.constLast(), 100);
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

    vt3test::RecordingFace face;
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
    vt3test::RecordingFace face;
    vt3::UpdateEngine engine(&face);
    QVERIFY(!engine.mayClose());
    QCOMPARE(face.asked, 1);
    face.allowAbort = true;
    QVERIFY(engine.mayClose());
    QCOMPARE(face.asked, 2);

    vt3test::RecordingFace after;
    vt3::UpdateEngine finished(&after);
    runToEnd(finished, after);
    QVERIFY(finished.mayClose());
    QCOMPARE(after.asked, 0);
}

void TestEngine::patchOrTheWholeFile_data()
{
    QTest::addColumn<PatchCase>("which");
    QTest::addColumn<bool>("patchAsked");
    QTest::addColumn<bool>("wholeFetched");

    QTest::newRow("patch used") << PatchCase::Used << true << false;
    QTest::newRow("installed file not the base") << PatchCase::NotTheBase << false << true;
    QTest::newRow("patch on no mirror") << PatchCase::Missing << true << true;
    QTest::newRow("patch with a wrong digest") << PatchCase::WrongDigest << true << true;
    QTest::newRow("patch gives another file") << PatchCase::WrongResult << true << true;
    QTest::newRow("installed file changed meanwhile") << PatchCase::BaseChanged << true << true;
    QTest::newRow("broken patch download resumed") << PatchCase::Resumed << true << false;
}

void TestEngine::patchOrTheWholeFile()
{
    QFETCH(PatchCase, which);
    QFETCH(bool, patchAsked);
    QFETCH(bool, wholeFetched);

    PatchScene scene;
    QVERIFY(scene.prepare(which));
    vt3test::RecordingFace face;
    vt3::UpdateEngine engine(&face);
    // While the patch is on its way, something else may write the file.
    QTimer watch;
    connect(&watch, &QTimer::timeout, &watch, [&] {
        if (scene.http.requestCount(scene.patchPath()) == 0)
            return;
        watch.stop();
        vt3test::writeFile(scene.app.filePath(QStringLiteral("core.dll")), vt3test::edited(scene.before, 100));
    });
    if (which == PatchCase::BaseChanged)
        watch.start(5);
    runToEnd(engine, face);

    QCOMPARE(face.said.constLast(), QStringLiteral("finished"));
    QCOMPARE(vt3test::readFile(scene.app.filePath(QStringLiteral("core.dll"))), scene.library);
    QCOMPARE(scene.http.requestCount(scene.patchPath()) > 0, patchAsked);
    QCOMPARE(scene.http.requestCount(scene.fullPath()) > 0, wholeFetched);
    const QString fallBack =
        QStringLiteral("red:The patch for core.dll cannot be used; the whole file is fetched instead.");
    QCOMPARE(face.lines.contains(fallBack), patchAsked && wholeFetched);
    QCOMPARE(face.lines.contains(QStringLiteral("Downloading %1...").arg(scene.key)), patchAsked);
    if (which == PatchCase::Used)
        QCOMPARE(face.lastTotal, qint64(scene.release.files.first().served.size() + scene.patch.size()));
    if (which == PatchCase::Resumed) {
        const QVector<HttpFixture::Request> requests = scene.http.requests();
        const auto asked = std::find_if(requests.cbegin(), requests.cend(),
                                        [&](const HttpFixture::Request &r) { return r.path == scene.patchPath(); });
        QVERIFY(asked != requests.cend());
        QCOMPARE(asked->headers.value("range"), "bytes=" + QByteArray::number(scene.patch.size() / 2) + '-');
    }
}

void TestEngine::transcriptReadsInQueueOrder_data()
{
    // Each step: "<position> <text>" writes a line there, "reach <n>" moves
    // the head, "stop" ends the run.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("run lines go straight") << QStringList{QStringLiteral("-1 a"), QStringLiteral("-1 b")}
                                           << QStringList{QStringLiteral("a"), QStringLiteral("b")};
    QTest::newRow("later positions wait for the head")
        << QStringList{QStringLiteral("2 c"), QStringLiteral("1 b"),     QStringLiteral("reach 0"),
                       QStringLiteral("0 a"), QStringLiteral("reach 1"), QStringLiteral("reach 2")}
        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
    QTest::newRow("a jump releases what it passes, in order")
        << QStringList{QStringLiteral("3 d"), QStringLiteral("1 b"), QStringLiteral("2 c"), QStringLiteral("reach 3")}
        << QStringList{QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")};
    QTest::newRow("a stopped run never says what was held")
        << QStringList{QStringLiteral("reach 0"), QStringLiteral("0 a"), QStringLiteral("1 b"), QStringLiteral("stop"),
                       QStringLiteral("reach 1")}
        << QStringList{QStringLiteral("a"), QStringLiteral("stopped 3")};
}

void TestEngine::transcriptReadsInQueueOrder()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, shown);
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    vt3test::RecordingFace face;
    vt3::Transcript transcript(&face);
    transcript.beginRun();
    for (const QString &step : qAsConst(steps)) {
        const QStringList parts = step.split(QLatin1Char(' '));
        if (parts.first() == QLatin1String("reach"))
            transcript.reach(parts.at(1).toInt());
        else if (parts.first() == QLatin1String("stop"))
            transcript.stopped(vt3::RunStop::Failed);
        else
            transcript.line(parts.at(1), parts.first().toInt());
    }
    QCOMPARE(face.lines + face.said, shown);
}

void TestEngine::diskLogStampsCarryTheOffset_data()
{
    // POSIX zone strings: no zone database needed, no daylight saving.
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("offset");
    QTest::newRow("UTC") << QByteArray("UTC0") << QStringLiteral("Z");
    QTest::newRow("an hour east") << QByteArray("CET-1") << QStringLiteral("+01:00");
    QTest::newRow("three and a half west") << QByteArray("NST3:30") << QStringLiteral("-03:30");
    QTest::newRow("five and a half east") << QByteArray("IST-5:30") << QStringLiteral("+05:30");
}

void TestEngine::diskLogStampsCarryTheOffset()
{
#ifdef Q_OS_WIN
    QSKIP("local time there is the system's zone, not the environment's");
#endif
    QFETCH(QByteArray, zone);
    QFETCH(QString, offset);
    const QByteArray before = qgetenv("TZ");
    qputenv("TZ", zone);
    tzset();
    // The log asks for the offset again once a second has passed.
    QTest::qWait(1100);
    const QString line = QString::fromUtf8(vt3::RunLog::line(QStringLiteral("x")));
    if (before.isEmpty())
        qunsetenv("TZ");
    else
        qputenv("TZ", before);
    tzset();
    const QString stamp = line.section(QLatin1Char(' '), 0, 0);
    QVERIFY2(stamp.endsWith(offset), qPrintable(line));
    const QDateTime read = QDateTime::fromString(stamp, Qt::ISODateWithMs);
    QVERIFY2(read.isValid() && qAbs(read.secsTo(QDateTime::currentDateTimeUtc())) <= 2, qPrintable(line));
}

QTEST_GUILESS_MAIN(TestEngine)
void TestEngine::progressIsShownAtAReadablePace()
{
    // Thousands of small files report far more often than a window can
    // redraw; the face hears the first report, then a few a second, and
    // always the end.
    vt3test::RecordingFace face;
    vt3::Transcript transcript(&face);
    vt3::RunProgress progress(transcript);
    progress.start();
    progress.setTotal(1000);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 999; ++i)
        progress.besideWrote(1);
    const qint64 spentMs = clock.elapsed();
    QVERIFY2(face.progressReports >= 1 && face.progressReports <= 2 + spentMs / 50,
             qPrintable(QStringLiteral("%1 reports in %2 ms").arg(face.progressReports).arg(spentMs)));
    progress.besideWrote(1);
    QCOMPARE(face.lastDone, qint64(1000));

    // A report held back is not lost: it is shown once the pause is over.
    const int before = face.progressReports;
    progress.setTotal(2000);
    progress.besideWrote(1);
    QCOMPARE(face.lastDone, qint64(1000));
    QTRY_COMPARE_WITH_TIMEOUT(face.lastDone, qint64(1001), 1000);
    QCOMPARE(face.progressReports, before + 1);
}

#include "tst_engine.moc"
