// A run from the update button to the processed manifest: the mirror list,
// the manifest requests with fail-over and watchdog, the cut-offs for
// hostile transfers, and the manifest's conversion into the work lists.

#include "appdir.h"
#include "httpfixture.h"
#include "manifest/manifestfetch.h"
#include "pathsafety.h"
#include "releasebuilder.h"
#include "run/updaterun.h"
#include "runrig.h"
#include "testsupport.h"
#include "updateclientprobe.h"

#include "filetransfer.h"
#include "run/runcontext.h"
#include "run/runprogress.h"
#include "run/transcript.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <memory>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace {

using vt3test::readFile;
using vt3test::writeFile;

const char ManifestPath[] = "/1733650000/client_win32.ini";
const char Md5[] = "0123456789abcdef0123456789abcdef";
const QString Downloading = QStringLiteral("Downloading client_win32.ini...");
const QString Failed = QStringLiteral("red:Failed to download client_win32.ini!");
const QString NotCorrect = QStringLiteral("red:client_win32.ini not correct.");
// Said of every manifest taken while trusted-keys.txt is absent.
const QString NotVerified =
    QStringLiteral("Release 1733650000 is not verified: this installation trusts no signing keys.");
constexpr int ManifestLimit = 16 * 1024 * 1024;

QString entry(const QString &size, const QString &name)
{
    const QString md5 = QLatin1String(Md5);
    return vt3test::descriptor(md5, size, QStringLiteral("1"), md5, name);
}

QByteArray goodManifest()
{
    const QString text =
        QStringLiteral("[common_client]\ndata\\readme.txt.z=%1\n[bin_win32]\nvt3client_win32.exe.z=%2\n"
                       "[delete]\nold.dll=1\n")
            .arg(entry(QStringLiteral("100"), QStringLiteral("data/readme.txt")),
                 entry(QStringLiteral("200"), QStringLiteral("vt3client_win32.exe")));
    return text.toUtf8();
}

// Lines matched as regular expressions, whole line each.
bool linesMatch(const QStringList &lines, const QStringList &patterns)
{
    if (lines.size() != patterns.size())
        return false;
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpression re(QRegularExpression::anchoredPattern(patterns.at(i)));
        if (!re.match(lines.at(i)).hasMatch())
            return false;
    }
    return true;
}

QString quoted(const QString &text)
{
    return QRegularExpression::escape(text);
}

#ifdef Q_OS_WIN
// Windows limits no process's file size; a full disk cannot be stood in for.
#define SKIP_WITHOUT_FILE_SIZE_LIMIT()                                                                                 \
    QSKIP("Windows has no limit on a process's file size to stand in for a full disk")
#else
#define SKIP_WITHOUT_FILE_SIZE_LIMIT()

// Keeps writes of this process below a few KiB, as a full disk would.
struct FileSizeLimit
{
    rlimit old{};
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old); }
};
#endif

} // namespace

namespace {
// The plan's queue, group by group.
QMap<QString, QVector<QString>> queueOf(const vt3::ReleasePlan &plan)
{
    QMap<QString, QVector<QString>> groups;
    for (const vt3::ReleasePlan::Entry &entry : plan.queue)
        groups[entry.group].append(entry.key);
    return groups;
}
} // namespace

class TestManifest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void missingMirrorList();
    void mirrorList_data();
    void mirrorList();
    void retriesOfOneMirror();
    void failOverInUrlOrder();
    void stalledRequestTimesOut();
    void lateFirstBytesAreNeverAbandoned();
    void earlierWatchdogJudgesLaterRequest();
    void watchdogAfterDeliveryDoesNothing();
    void unwritableManifest_data();
    void unwritableManifest();
    void diskFullWhileWritingManifest();
    void endlessManifest_data();
    void endlessManifest();
    void fullRun_data();
    void fullRun();

    void releaseFileCutOff_data();
    void releaseFileCutOff();
    void releaseFileWriteFails();

    void safePaths_data();
    void safePaths();
    void processAccepts_data();
    void processAccepts();
    void processRejects_data();
    void processRejects();

private:
    void writeMirrors(const QString &ini);
    void startRun();
    void shortenWatchdog(int ms);
    QString url(const QString &mirror) const { return http->baseUrl() + mirror; }
    QString temp() const { return tmpDir->path(); }
    QStringList log() const { return vt3test::logLinesMarked(*client); }
    // One release-file transfer of `key` from the fixture into `work`,
    // announced at `announced` bytes, its lines in the window's log; true
    // when the file came complete.
    bool fetchReleaseFile(const QString &work, const QString &key, qint64 announced)
    {
        vt3test::RunRig rig(client.get());
        rig.run.workDir = work;
        rig.run.limits.stallTimeoutMs = 10000;
        vt3::FileTransfer::Target target;
        target.key = key;
        target.releaseUrl = http->baseUrl();
        target.expected.size = announced;
        vt3::FileTransfer transfer(rig.run, target);
        QSignalSpy ended(&transfer, &vt3::FileTransfer::ended);
        if (!transfer.start() || !ended.wait(10000))
            return false;
        return ended.constFirst().at(1).toBool();
    }
    void blockTargets(const QString &work, const QStringList &keys);

    QString base;
    std::unique_ptr<QTemporaryDir> appDir;
    std::unique_ptr<QTemporaryDir> tmpDir;
    std::unique_ptr<HttpFixture> http;
    std::unique_ptr<UpdateClient> client;
};

void TestManifest::initTestCase()
{
    base = QDir::tempPath();
}

void TestManifest::init()
{
    appDir.reset(new QTemporaryDir(base + QStringLiteral("/vt3-app-XXXXXX")));
    tmpDir.reset(new QTemporaryDir(base + QStringLiteral("/vt3-tmp-XXXXXX")));
    QVERIFY(appDir->isValid() && tmpDir->isValid());
    vt3::setApplicationDirForTesting(appDir->path());
    vt3test::setTempDir(tmpDir->path());
    http.reset(new HttpFixture);
    QVERIFY(http->listen());
    client.reset(new UpdateClient);
}

void TestManifest::cleanup()
{
    client.reset();
    http.reset();
    vt3test::setTempDir(base);
    vt3::setApplicationDirForTesting(QString());
    tmpDir.reset();
    appDir.reset();
}

void TestManifest::writeMirrors(const QString &ini)
{
    QString text = ini;
    text.replace(QLatin1Char('@'), http->baseUrl());
    QVERIFY(writeFile(appDir->path() + QStringLiteral("/mirrors.ini"), text.toUtf8()));
}

void TestManifest::shortenWatchdog(int ms)
{
    vt3::RunLimits limits;
    limits.manifestTimeoutMs = ms;
    UpdateClientProbe::engine(*client).setLimits(limits);
}

void TestManifest::startRun()
{
    vt3test::announceVersion(*client, QStringLiteral("1733650000#3.6.1"));
    QPushButton *start = UpdateClientProbe::ui(*client)->btnStart;
    QVERIFY(start->isEnabled());
    start->click();
}

// Directories where the queue would write its first files: it stops there,
// so the lists stay as the manifest processing left them.
void TestManifest::blockTargets(const QString &work, const QStringList &keys)
{
    for (const QString &key : keys) {
        QVERIFY(QDir().mkpath(work + QLatin1Char('/') + key));
        QVERIFY(writeFile(work + QLatin1Char('/') + key + QStringLiteral("/keep"), "x"));
    }
}

void TestManifest::missingMirrorList()
{
    startRun();
    QCOMPARE(log(), QStringList{QStringLiteral("red:mirrors.ini file not found!")});
    // A run's end is said from the event loop.
    QTRY_VERIFY(UpdateClientProbe::ui(*client)->btnDetails->isChecked());
    QVERIFY(UpdateClientProbe::ui(*client)->btnStart->isEnabled());
}

void TestManifest::mirrorList_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<int>("attempts");

    const QString three = QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n3\\mirror=m3\n"
                                         "[m1]\nurl=@a/\n[m2]\nurl=@b/\n[m3]\nurl=@c/\n");
    QTest::newRow("size 3 reads entries 1 and 2")
        << three << QStringList{QStringLiteral("/a"), QStringLiteral("/b")} << 2;
    QTest::newRow("size 1 reads none") << QStringLiteral("[mirrors]\nsize=1\n1\\mirror=m1\n[m1]\nurl=@a/\n")
                                       << QStringList() << 0;
    QTest::newRow("no size reads none") << QStringLiteral("[mirrors]\n1\\mirror=m1\n[m1]\nurl=@a/\n") << QStringList()
                                        << 0;
    QTest::newRow("empty file") << QString() << QStringList() << 0;
    QTest::newRow("URL order, not entry order")
        << QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\nurl=@b/\n[m2]\nurl=@a/\n")
        << QStringList{QStringLiteral("/a"), QStringLiteral("/b")} << 2;
    QTest::newRow("same URL: later entry's retries")
        << QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\nurl=@a/\nretries=5\n"
                          "[m2]\nurl=@a/\nretries=2\n")
        << QStringList{QStringLiteral("/a"), QStringLiteral("/a")} << 2;
    QTest::newRow("same group named twice")
        << QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m1\n[m1]\nurl=@a/\nretries=2\n")
        << QStringList{QStringLiteral("/a"), QStringLiteral("/a")} << 2;
    QTest::newRow("no retries key: one request")
        << QStringLiteral("[mirrors]\nsize=2\n1\\mirror=m1\n[m1]\nurl=@a/\n") << QStringList{QStringLiteral("/a")} << 1;
    QTest::newRow("retries 0 and -3: one each")
        << QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\nurl=@a/\nretries=0\n"
                          "[m2]\nurl=@b/\nretries=-3\n")
        << QStringList{QStringLiteral("/a"), QStringLiteral("/b")} << 2;
    QTest::newRow("empty mirror name reads [General]")
        << QStringLiteral("[General]\nurl=@g/\nretries=2\n[mirrors]\nsize=2\n1\\mirror=\n")
        << QStringList{QStringLiteral("/g"), QStringLiteral("/g")} << 2;
    QTest::newRow("missing mirror name reads [General]")
        << QStringLiteral("[General]\nurl=@g/\n[mirrors]\nsize=2\n") << QStringList{QStringLiteral("/g")} << 1;
    // The empty URL sorts first and fails without reaching any server.
    QTest::newRow("entry without url") << QStringLiteral(
                                              "[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\n[m2]\nurl=@a/\n")
                                       << QStringList{QStringLiteral("/a")} << 2;
}

void TestManifest::mirrorList()
{
    QFETCH(QString, ini);
    QFETCH(QStringList, requests);
    QFETCH(int, attempts);

    writeMirrors(ini);
    startRun();
    QTRY_COMPARE(log().value(log().size() - 1), Failed);

    QStringList expected;
    for (const QString &mirror : requests)
        expected << mirror + QLatin1String(ManifestPath);
    QCOMPARE(http->requestLog(), expected);
    QCOMPARE(log().count(Downloading), attempts);
    QVERIFY(!UpdateClientProbe::ui(*client)->btnStart->isEnabled());
}

void TestManifest::retriesOfOneMirror()
{
    writeMirrors(QStringLiteral("[mirrors]\nsize=2\n1\\mirror=m1\n[m1]\nurl=@a/\nretries=3\n"));
    startRun();
    QTRY_COMPARE(log().value(log().size() - 1), Failed);

    const QString notFound = QStringLiteral("red:Error:.*Not Found.*");
    QVERIFY2(linesMatch(log(), {quoted(Downloading), notFound, quoted(Downloading), notFound, quoted(Downloading),
                                notFound, quoted(Failed)}),
             qPrintable(log().join(QLatin1Char('\n'))));
    QCOMPARE(http->requestCount(QStringLiteral("/a") + QLatin1String(ManifestPath)), 3);
}

void TestManifest::failOverInUrlOrder()
{
    writeMirrors(QStringLiteral("[mirrors]\nsize=3\n1\\mirror=B\n2\\mirror=A\n[A]\nurl=@a/\nretries=2\n"
                                "[B]\nurl=@b/\nretries=1\n"));
    HttpFixture::Route serverError;
    serverError.status = 500;
    http->setRoute(QStringLiteral("/b") + QLatin1String(ManifestPath), serverError);
    startRun();
    QTRY_COMPARE(log().value(log().size() - 1), Failed);

    const QString a = QStringLiteral("/a") + QLatin1String(ManifestPath);
    const QString b = QStringLiteral("/b") + QLatin1String(ManifestPath);
    QCOMPARE(http->requestLog(), (QStringList{a, a, b}));
    QCOMPARE(log().size(), 7);
    QVERIFY(log().at(5).startsWith(QLatin1String("red:Error:")));
    QVERIFY(log().at(5).contains(QLatin1String("Internal Server Error")));
}

void TestManifest::stalledRequestTimesOut()
{
    writeMirrors(QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\nurl=@a/\n[m2]\nurl=@b/\n"));
    HttpFixture::Route silent;
    silent.firstByteDelayMs = -1;
    http->setRoute(QStringLiteral("/a") + QLatin1String(ManifestPath), silent);
    http->serve(QStringLiteral("/b") + QLatin1String(ManifestPath), goodManifest());
    startRun();

    QTest::qWait(9000);
    QCOMPARE(log(), QStringList{Downloading});
    QTRY_VERIFY_WITH_TIMEOUT(log().size() >= 4, 3000);
    QCOMPARE(log().mid(0, 4),
             (QStringList{Downloading, QStringLiteral("red:Error:timeout"), Downloading, NotVerified}));
}

void TestManifest::lateFirstBytesAreNeverAbandoned()
{
    writeMirrors(QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\nurl=@a/\n[m2]\nurl=@b/\n"));
    HttpFixture::Route late;
    late.body = goodManifest();
    late.firstByteDelayMs = 9000;
    late.stallAfterBytes = 10;
    http->setRoute(QStringLiteral("/a") + QLatin1String(ManifestPath), late);
    startRun();

    QTest::qWait(11500);
    QCOMPARE(log(), QStringList{Downloading});
    QCOMPARE(http->requestLog(), QStringList{QStringLiteral("/a") + QLatin1String(ManifestPath)});
}

void TestManifest::earlierWatchdogJudgesLaterRequest()
{
    // Watchdog shortened to 2 s: request 1 fails at 1.2 s, and its watchdog
    // at 2 s abandons request 2, which had its own until 3.2 s.
    shortenWatchdog(2000);
    writeMirrors(QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\nurl=@a/\n[m2]\nurl=@b/\n"));
    HttpFixture::Route slowError;
    slowError.status = 404;
    slowError.firstByteDelayMs = 1200;
    http->setRoute(QStringLiteral("/a") + QLatin1String(ManifestPath), slowError);
    HttpFixture::Route silent;
    silent.firstByteDelayMs = -1;
    http->setRoute(QStringLiteral("/b") + QLatin1String(ManifestPath), silent);
    startRun();

    QTest::qWait(2700);
    const QStringList expected{quoted(Downloading), QStringLiteral("red:Error:.*Not Found.*"), quoted(Downloading),
                               QStringLiteral("red:Error:timeout"), quoted(Failed)};
    QVERIFY2(linesMatch(log(), expected), qPrintable(log().join(QLatin1Char('\n'))));
    // The later watchdogs find nothing in flight.
    QTest::qWait(1000);
    QVERIFY(linesMatch(log(), expected));
    UpdateClientProbe::run(*client)->manifestFetch()->checkDownload();
    QVERIFY(linesMatch(log(), expected));
}

void TestManifest::watchdogAfterDeliveryDoesNothing()
{
    shortenWatchdog(1000);
    writeMirrors(QStringLiteral("[mirrors]\nsize=2\n1\\mirror=m1\n[m1]\nurl=@a/\nretries=3\n"));
    http->serve(QStringLiteral("/a") + QLatin1String(ManifestPath), goodManifest());
    startRun();
    QTRY_VERIFY(log().size() >= 2);
    QTest::qWait(1500);
    QVERIFY(!log().contains(QStringLiteral("red:Error:timeout")));
    QCOMPARE(log().count(Downloading), 1);
    QCOMPARE(http->requestCount(QStringLiteral("/a") + QLatin1String(ManifestPath)), 1);
}

void TestManifest::unwritableManifest_data()
{
    QTest::addColumn<bool>("asDirectory");
    QTest::newRow("directory in the way") << true;
    QTest::newRow("read-only file") << false;
}

void TestManifest::unwritableManifest()
{
    QFETCH(bool, asDirectory);
    const QString target = temp() + QStringLiteral("/client_win32.ini");
    if (asDirectory) {
        QVERIFY(QDir().mkpath(target));
        QVERIFY(writeFile(target + QStringLiteral("/keep"), "x"));
    } else {
        QVERIFY(writeFile(target, "old"));
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner));
        // Root passes by the mode bits (under the Windows emulator too,
        // which keeps the read-only attribute as one).
        if (QFile(target).open(QIODevice::WriteOnly | QIODevice::Append))
            QSKIP("this user writes read-only files");
    }
    writeMirrors(QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\nurl=@a/\n[m2]\nurl=@b/\n"));
    startRun();
    // The client check comes first; under the emulator it takes a while.
    QTRY_COMPARE(log(), QStringList{QStringLiteral("red:write file ") + target + QStringLiteral(" error")});
    QTest::qWait(300);
    QCOMPARE(log().size(), 1);
    QCOMPARE(http->requestLog(), QStringList());
}

void TestManifest::diskFullWhileWritingManifest()
{
    SKIP_WITHOUT_FILE_SIZE_LIMIT();
#ifndef Q_OS_WIN
    writeMirrors(QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\nurl=@a/\n[m2]\nurl=@b/\n"));
    const QByteArray big = goodManifest() + "\n; " + QByteArray(64 * 1024, 'x') + "\n";
    http->serve(QStringLiteral("/a") + QLatin1String(ManifestPath), big);
    http->serve(QStringLiteral("/b") + QLatin1String(ManifestPath), big);
    const QString target = temp() + QStringLiteral("/client_win32.ini");
    {
        FileSizeLimit limit(4096);
        startRun();
        QTRY_COMPARE(log().size(), 2);
        QTest::qWait(300);
    }
    QCOMPARE(log(), (QStringList{Downloading, QStringLiteral("red:write file ") + target + QStringLiteral(" error")}));
    QCOMPARE(http->requestLog(), QStringList{QStringLiteral("/a") + QLatin1String(ManifestPath)});
    QVERIFY(QDir(temp()).entryList({QStringLiteral("voxtera_temp_*")}, QDir::AllEntries).isEmpty());
#endif
}

void TestManifest::endlessManifest_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("abandoned");
    QTest::newRow("exactly 16 MiB is read") << ManifestLimit << false;
    QTest::newRow("one byte more is cut off") << ManifestLimit + 1 << true;
}

void TestManifest::endlessManifest()
{
    QFETCH(int, size);
    QFETCH(bool, abandoned);
    writeMirrors(QStringLiteral("[mirrors]\nsize=3\n1\\mirror=m1\n2\\mirror=m2\n[m1]\nurl=@a/\n[m2]\nurl=@b/\n"));
    QByteArray huge = goodManifest();
    huge += "; " + QByteArray(size - huge.size() - 3, 'x') + '\n';
    QCOMPARE(huge.size(), size);
    http->serve(QStringLiteral("/a") + QLatin1String(ManifestPath), huge);
    const QByteArray small = goodManifest();
    http->serve(QStringLiteral("/b") + QLatin1String(ManifestPath), small);
    startRun();

    const QString workLine = QStringLiteral("Downloading to ") + temp() + QStringLiteral("/voxtera_temp_0");
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(workLine), 20000);
    const QString manifest = temp() + QStringLiteral("/voxtera_temp_0/client_win32.ini");
    if (abandoned) {
        QCOMPARE(log().mid(0, 5),
                 (QStringList{Downloading, QStringLiteral("red:Error:The manifest is larger than 16 MB."), Downloading,
                              NotVerified, workLine}));
        QCOMPARE(readFile(manifest), small);
    } else {
        QCOMPARE(log().mid(0, 3), (QStringList{Downloading, NotVerified, workLine}));
        QCOMPARE(readFile(manifest), huge);
        QCOMPARE(http->requestCount(QStringLiteral("/b") + QLatin1String(ManifestPath)), 0);
    }
}

void TestManifest::fullRun_data()
{
    QTest::addColumn<bool>("resume");
    QTest::addColumn<bool>("plantLink");
    QTest::newRow("fresh work directory") << false << false;
    QTest::newRow("resumed work directory") << true << false;
    QTest::newRow("link planted at the manifest's name") << false << true;
}

void TestManifest::fullRun()
{
    QFETCH(bool, resume);
    QFETCH(bool, plantLink);
    writeMirrors(QStringLiteral("[mirrors]\nsize=2\n1\\mirror=m1\n[m1]\nurl=@a/\n"));
    const QString victim = appDir->path() + QStringLiteral("/victim.txt");
    if (plantLink) {
        QVERIFY(writeFile(victim, "precious"));
        QVERIFY(QFile::link(victim, temp() + QStringLiteral("/client_win32.ini")));
    }
    http->serve(QStringLiteral("/a") + QLatin1String(ManifestPath), goodManifest());

    QString work = temp() + QStringLiteral("/voxtera_temp_0");
    if (resume) {
        // An older, different run holds _0; the broken run of this release _1.
        work = temp() + QStringLiteral("/voxtera_temp_1");
        QVERIFY(QDir().mkpath(temp() + QStringLiteral("/voxtera_temp_0")));
        QVERIFY(writeFile(temp() + QStringLiteral("/voxtera_temp_0/client_win32.ini"), goodManifest() + "\n"));
        QVERIFY(QDir().mkpath(work));
        QVERIFY(writeFile(work + QStringLiteral("/client_win32.ini"), goodManifest()));
        blockTargets(work, {QStringLiteral("vt3client_win32.exe.z"), QStringLiteral("data/readme.txt.z")});
#ifndef Q_OS_WIN
        for (const QString &dir : QStringList{temp() + QStringLiteral("/voxtera_temp_0"), work})
            QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0700) == 0);
#endif
    }
    startRun();

    const QString workLine = QStringLiteral("Downloading to ") + work;
    QTRY_VERIFY(log().contains(workLine));
    QStringList expected{Downloading, NotVerified};
    if (resume)
        expected << QStringLiteral("Resume broken downloads...");
    expected << workLine;
    QCOMPARE(log().mid(0, expected.size()), expected);

    vt3::UpdateRun *run = UpdateClientProbe::run(*client);
    QCOMPARE(run->context().workDir, work);
    QCOMPARE(readFile(work + QStringLiteral("/client_win32.ini")), goodManifest());
    QVERIFY(!QFile::exists(temp() + QStringLiteral("/client_win32.ini")));
    QTRY_COMPARE(run->progress().total(), qint64(300));
    QCOMPARE(run->plan().files.keys(),
             (QStringList{QStringLiteral("data/readme.txt.z"), QStringLiteral("vt3client_win32.exe.z")}));
    QCOMPARE(run->removals(), (QMap<QString, int>{{QStringLiteral("old.dll"), 1}}));
    if (plantLink)
        QCOMPARE(readFile(victim), QByteArray("precious"));
    if (resume) {
        // The queue could not open its first target, so nothing was taken.
        const auto queue = queueOf(run->plan());
        QCOMPARE(queue.value(QStringLiteral("bin_win32")), QVector<QString>{QStringLiteral("vt3client_win32.exe.z")});
        QCOMPARE(queue.value(QStringLiteral("common_client")), QVector<QString>{QStringLiteral("data/readme.txt.z")});
    }
}

void TestManifest::releaseFileCutOff_data()
{
    QTest::addColumn<int>("served");
    QTest::addColumn<int>("drip");
    QTest::addColumn<qint64>("announced");
    QTest::addColumn<int>("kept");
    QTest::addColumn<bool>("cut");

    QTest::newRow("exact size") << 5000 << 0 << qint64(5000) << 5000 << false;
    QTest::newRow("smaller than announced") << 3000 << 0 << qint64(5000) << 3000 << false;
    QTest::newRow("larger, one piece") << 20000 << 0 << qint64(5000) << 5000 << true;
    QTest::newRow("larger, in drips") << 20000 << 700 << qint64(5000) << 5000 << true;
    QTest::newRow("announced empty") << 10 << 0 << qint64(0) << 0 << true;
    QTest::newRow("size not known") << 20000 << 0 << qint64(-1) << 20000 << false;
}

void TestManifest::releaseFileCutOff()
{
    QFETCH(int, served);
    QFETCH(int, drip);
    QFETCH(qint64, announced);
    QFETCH(int, kept);
    QFETCH(bool, cut);

    QByteArray body(served, '\0');
    for (int i = 0; i < served; ++i)
        body[i] = char('a' + i % 26);
    HttpFixture::Route route;
    route.body = body;
    route.dripBytes = drip;
    route.dripIntervalMs = drip ? 5 : 0;
    http->setRoute(QStringLiteral("/file.z"), route);

    const QString work = temp() + QStringLiteral("/voxtera_temp_0");
    QVERIFY(QDir().mkpath(work));
    QCOMPARE(fetchReleaseFile(work, QStringLiteral("file.z"), announced), !cut);

    QCOMPARE(readFile(work + QStringLiteral("/file.z")), body.left(kept));
    if (cut)
        QCOMPARE(log(), (QStringList{QStringLiteral("red:Error:file.z is larger than the manifest announces."),
                                     QStringLiteral("red:Error:Operation canceled")}));
    else
        QCOMPARE(log(), QStringList());
}

void TestManifest::releaseFileWriteFails()
{
    SKIP_WITHOUT_FILE_SIZE_LIMIT();
#ifndef Q_OS_WIN
    http->serve(QStringLiteral("/file.z"), QByteArray(64 * 1024, 'z'));
    const QString work = temp() + QStringLiteral("/voxtera_temp_0");
    QVERIFY(QDir().mkpath(work));
    {
        FileSizeLimit limit(4096);
        QVERIFY(!fetchReleaseFile(work, QStringLiteral("file.z"), 64 * 1024));
    }
    QCOMPARE(log().value(0), QStringLiteral("red:write file ") + work + QStringLiteral("/file.z error"));
    QVERIFY(QFileInfo(work + QStringLiteral("/file.z")).size() <= 4096);
#endif
}

void TestManifest::safePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");

    QTest::newRow("plain name") << "vt3client_win32.exe" << true;
    QTest::newRow("subdirectory") << "data/sounds/ring.wav" << true;
    QTest::newRow("backslash subdirectory") << "data\\sounds\\ring.wav" << true;
    // Windows drops trailing dots from a name, and a colon there names a
    // drive or a stream of the file.
#ifdef Q_OS_WIN
    const bool windowsRules = true;
#else
    const bool windowsRules = false;
#endif
    QTest::newRow("dots inside a name") << "a..b/.hidden/x..." << !windowsRules;
    QTest::newRow("colon later on") << "data/a:b" << !windowsRules;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("backslash root") << "\\Windows\\system32\\x.dll" << false;
    QTest::newRow("UNC") << "\\\\server\\share\\x.dll" << false;
    QTest::newRow("drive letter") << "C:\\Windows\\x.dll" << false;
    QTest::newRow("drive relative") << "c:x.dll" << false;
    QTest::newRow("parent") << "../x.dll" << false;
    QTest::newRow("parent in the middle") << "data/../../x.dll" << false;
    QTest::newRow("parent with backslashes") << "data\\..\\..\\x.dll" << false;
    QTest::newRow("mixed separators") << "data/..\\x.dll" << false;
    QTest::newRow("only parent") << ".." << false;
    QTest::newRow("current dir") << "./x.dll" << false;
    QTest::newRow("empty segment") << "data//x.dll" << false;
    QTest::newRow("trailing separator") << "data/" << false;
    // Built step by step: gcc's overflow check misreads the concatenation.
    QString withNul = QStringLiteral("data/x");
    withNul += QChar(0);
    withNul += QStringLiteral("/../../y");
    QTest::newRow("NUL") << withNul << false;
    // Device names on Windows, in any case and with any extension.
    for (const char *device :
         {"CON", "nul", "Aux", "PRN", "COM1", "com9", "LPT1", "lpt9", "nul.txt", "data/con.tar.gz", "data/AUX /x.dll"})
        QTest::newRow(device) << QString::fromLatin1(device) << false;
    QTest::newRow("device name inside a longer name") << "data/console.dll/com10/lpt0/nullify" << true;
}

void TestManifest::safePaths()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(vt3::isSafeRelativePath(path), safe);
}

void TestManifest::processAccepts_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QStringList>("common");
    QTest::addColumn<QStringList>("bin");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("fileOfX");
    QTest::addColumn<QString>("deletes");

    const QString a100 = entry(QStringLiteral("100"), QStringLiteral("a"));
    const QString b200 = entry(QStringLiteral("200"), QStringLiteral("b"));
    const QString x10 = entry(QStringLiteral("10"), QStringLiteral("x"));
    const QString x20 = entry(QStringLiteral("20"), QStringLiteral("x"));
    QTest::newRow("two common files, no bin group")
        << QStringLiteral("[common_client]\na.z=%1\nb.z=%2\n").arg(a100, b200) << qint64(300)
        << QStringList{QStringLiteral("a.z"), QStringLiteral("b.z")} << QStringList()
        << QStringList{QStringLiteral("a.z"), QStringLiteral("b.z")} << QString() << QString();
    QTest::newRow("same key in both groups")
        << QStringLiteral("[common_client]\nx.z=%1\n[bin_win32]\nx.z=%2\n").arg(x10, x20) << qint64(30)
        << QStringList{QStringLiteral("x.z")} << QStringList{QStringLiteral("x.z")}
        << QStringList{QStringLiteral("x.z")} << x20 << QString();
    QTest::newRow("size 12ab counts 0") << QStringLiteral("[common_client]\nx.z=%1\na.z=%2\n")
                                               .arg(entry(QStringLiteral("12ab"), QStringLiteral("x")), a100)
                                        << qint64(100) << QStringList{QStringLiteral("a.z"), QStringLiteral("x.z")}
                                        << QStringList() << QStringList{QStringLiteral("a.z"), QStringLiteral("x.z")}
                                        << entry(QStringLiteral("12ab"), QStringLiteral("x")) << QString();
    QTest::newRow("delete flags, 0 kept in the list")
        << QStringLiteral("[common_client]\na.z=%1\n[delete]\nold.dll=1\nkeep.dll=0\nsub\\gone.txt=7\nodd=yes\n")
               .arg(a100)
        << qint64(100) << QStringList{QStringLiteral("a.z")} << QStringList() << QStringList{QStringLiteral("a.z")}
        << QString() << QStringLiteral("keep.dll=0,odd=0,old.dll=1,sub/gone.txt=7");
    QTest::newRow("keys and names in subdirectories, either separator")
        << QStringLiteral("[bin_win32]\ndata\\x.z=%1\n")
               .arg(entry(QStringLiteral("100"), QStringLiteral("data\\\\sub\\\\x.dll")))
        << qint64(100) << QStringList() << QStringList{QStringLiteral("data/x.z")}
        << QStringList{QStringLiteral("data/x.z")} << QString() << QString();
}

void TestManifest::processAccepts()
{
    QFETCH(QString, ini);
    QFETCH(qint64, total);
    QFETCH(QStringList, common);
    QFETCH(QStringList, bin);
    QFETCH(QStringList, files);
    QFETCH(QString, fileOfX);
    QFETCH(QString, deletes);

    const QString work = temp() + QStringLiteral("/voxtera_temp_0");
    QVERIFY(QDir().mkpath(work));
    QVERIFY(writeFile(work + QStringLiteral("/client_win32.ini"), ini.toUtf8()));
    blockTargets(work, files);
    vt3test::RunRig rig(client.get());
    vt3::UpdateRun run(rig.network, rig.worker, rig.transcript, vt3::RunLimits(), QStringLiteral("1733650000"));
    run.context().workDir = work;
    run.processIni();

    QVERIFY(!log().contains(NotCorrect));
    QCOMPARE(run.progress().total(), total);
    const auto queue = queueOf(run.plan());
    // An empty group may already have been passed over by the queue.
    QCOMPARE(QStringList(queue.value(QStringLiteral("common_client")).toList()), common);
    QCOMPARE(QStringList(queue.value(QStringLiteral("bin_win32")).toList()), bin);
    const auto releaseFiles = run.plan().files;
    QCOMPARE(releaseFiles.keys(), files);
    if (!fileOfX.isEmpty())
        QCOMPARE(releaseFiles.value(QStringLiteral("x.z")), fileOfX);
    QStringList shownDeletes;
    const auto deleteList = run.removals();
    for (auto it = deleteList.cbegin(); it != deleteList.cend(); ++it)
        shownDeletes << it.key() + QLatin1Char('=') + QString::number(it.value());
    QCOMPARE(shownDeletes.join(QLatin1Char(',')), deletes);
}

void TestManifest::processRejects_data()
{
    QTest::addColumn<QString>("ini");
    // Whether the lists are filled before the rejection (a manifest that
    // announces no bytes) or left alone (an entry the program cannot use).
    QTest::addColumn<bool>("listsFilled");

    const QString ok = entry(QStringLiteral("100"), QStringLiteral("a"));
    QTest::newRow("every size 0") << QStringLiteral("[common_client]\na.z=%1\n[delete]\nx=1\n")
                                         .arg(entry(QStringLiteral("0"), QStringLiteral("a")))
                                  << true;
    QTest::newRow("only a delete group") << QStringLiteral("[delete]\nold.dll=1\n") << true;
    QTest::newRow("empty file") << QString() << true;
    QTest::newRow("HTML error page") << QStringLiteral("<html><body><h1>Not here</h1></body></html>\n") << true;
    QTest::newRow("four fields") << QStringLiteral("[common_client]\na.z=%1::100::1::%1\n").arg(QLatin1String(Md5))
                                 << false;
    QTest::newRow("no separator") << QStringLiteral("[common_client]\na.z=%1\nb.z=100\n").arg(ok) << false;
    QTest::newRow("short entry in the bin group")
        << QStringLiteral("[common_client]\na.z=%1\n[bin_win32]\nb.z=%2::100\n").arg(ok, QLatin1String(Md5)) << false;
    QTest::newRow("comma makes a list") << QStringLiteral("[common_client]\na.z=%1,2\n").arg(ok) << false;
    QTest::newRow("negative size") << QStringLiteral("[common_client]\na.z=%1\nb.z=%2\n")
                                          .arg(ok, entry(QStringLiteral("-50"), QStringLiteral("b")))
                                   << false;
    QTest::newRow("size -9999999999") << QStringLiteral("[common_client]\na.z=%1\nb.z=%2\n")
                                             .arg(ok, entry(QStringLiteral("-9999999999"), QStringLiteral("b")))
                                      << false;
    QTest::newRow("size above 2^31") << QStringLiteral("[common_client]\na.z=%1\nb.z=%2\n")
                                            .arg(ok, entry(QStringLiteral("2147483649"), QStringLiteral("b")))
                                     << false;
    QTest::newRow("install name is another entry's key")
        << QStringLiteral("[common_client]\na.z=%1\nb.z=%2\n")
               .arg(ok, entry(QStringLiteral("100"), QStringLiteral("a.z")))
        << false;
    QTest::newRow("keys differ only in case") << QStringLiteral("[common_client]\na.z=%1\n[bin_win32]\nA.z=%2\n")
                                                     .arg(ok, entry(QStringLiteral("100"), QStringLiteral("b")))
                                              << false;
    QTest::newRow("install names differ only in case")
        << QStringLiteral("[common_client]\na.z=%1\nb.z=%2\n")
               .arg(ok, entry(QStringLiteral("100"), QStringLiteral("A")))
        << false;
    QTest::newRow("install name is another key in other case")
        << QStringLiteral("[common_client]\na.z=%1\nb.z=%2\n")
               .arg(ok, entry(QStringLiteral("100"), QStringLiteral("A.Z")))
        << false;
    QTest::newRow("install name absolute") << QStringLiteral("[common_client]\na.z=%1\n")
                                                  .arg(entry(QStringLiteral("100"), QStringLiteral("/etc/cron.d/x")))
                                           << false;
    QTest::newRow("install name climbs with backslashes")
        << QStringLiteral("[common_client]\na.z=%1\n")
               .arg(entry(QStringLiteral("100"), QStringLiteral("data\\\\..\\\\..\\\\x.dll")))
        << false;
    QTest::newRow("install name with drive")
        << QStringLiteral("[common_client]\na.z=%1\n").arg(entry(QStringLiteral("100"), QStringLiteral("C:/x.dll")))
        << false;
    QTest::newRow("install name UNC") << QStringLiteral("[common_client]\na.z=%1\n")
                                             .arg(entry(QStringLiteral("100"),
                                                        QStringLiteral("\\\\\\\\srv\\\\share\\\\x.dll")))
                                      << false;
    QTest::newRow("install name empty")
        << QStringLiteral("[common_client]\na.z=%1\n").arg(entry(QStringLiteral("100"), QString())) << false;
    QTest::newRow("key climbs") << QStringLiteral("[bin_win32]\n..\\..\\x.z=%1\n").arg(ok) << false;
    QTest::newRow("key with drive") << QStringLiteral("[bin_win32]\nC:x.z=%1\n").arg(ok) << false;
    QTest::newRow("delete key climbs")
        << QStringLiteral("[common_client]\na.z=%1\n[delete]\n..\\outside.txt=1\n").arg(ok) << false;
    QTest::newRow("delete key with drive")
        << QStringLiteral("[common_client]\na.z=%1\n[delete]\nC:\\Windows\\x.dll=1\n").arg(ok) << false;
}

void TestManifest::processRejects()
{
    QFETCH(QString, ini);
    QFETCH(bool, listsFilled);

    const QString work = temp() + QStringLiteral("/voxtera_temp_0");
    QVERIFY(QDir().mkpath(work));
    QVERIFY(writeFile(work + QStringLiteral("/client_win32.ini"), ini.toUtf8()));
    // Files outside the work directory that a bad entry aims at.
    QVERIFY(writeFile(temp() + QStringLiteral("/outside.txt"), "stay"));
    vt3test::RunRig rig(client.get());
    vt3::UpdateRun run(rig.network, rig.worker, rig.transcript, vt3::RunLimits(), QStringLiteral("1733650000"));
    run.context().workDir = work;
    run.processIni();

    QCOMPARE(log(), QStringList{NotCorrect});
    QCOMPARE(run.removals(), (QMap<QString, int>()));
    // A manifest that announces no bytes is read before it is refused; one
    // with an entry the program cannot use is not taken at all.
    if (listsFilled)
        QCOMPARE(run.progress().total(), qint64(0));
    else
        QVERIFY(run.plan().files.isEmpty() && run.plan().queue.isEmpty());
    // Nothing was fetched or written: the work directory holds the manifest only.
    QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("client_win32.ini")});
    QCOMPARE(readFile(temp() + QStringLiteral("/outside.txt")), QByteArray("stay"));
    QCOMPARE(http->requestLog(), QStringList());
}

QTEST_MAIN(TestManifest)
#include "tst_manifest.moc"
