// Hostile files and a full disk. A full disk is a file size limit
// (RLIMIT_FSIZE) in a child process: this binary starts itself again with
// "--limited-run", which sets the limit and runs one whole update in
// process against the parent's local mirror, and prints the log.

#include "appdir.h"
#include "httpfixture.h"
#include "mirrorlist.h"
#include "releasebuilder.h"
#include "testsupport.h"
#include "updateclientprobe.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

namespace {

const char ChildFlag[] = "--limited-run";
const char ReleaseId[] = "1733650000";
const QString Finished = QStringLiteral("red:Update finished.Press \"Start Voxtera3\" run Voxtera3.");
// Small enough that the manifest and the small files fit, far below the
// big file of each case.
constexpr qint64 LimitBytes = 16 * 1024;
// The run is over when its log has not grown for this long.
constexpr int QuietMs = 1000;
constexpr int ChildRunTimeoutMs = 20000;
constexpr int ChildExitTimeoutMs = 40000;
constexpr int WatchIntervalUs = 200;
// Comparing an installed file this big with its new copy keeps the
// installation busy long enough for the limit to come down before the
// next file is put in place.
constexpr int SameFileBytes = 48 * 1024 * 1024;

using Tree = QMap<QString, QByteArray>;

Tree readTree(const QString &root)
{
    Tree files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            files.insert(QDir(root).relativeFilePath(path), file.readAll());
    }
    return files;
}

// The paths whose content differs, for a readable failure.
QString differences(const Tree &actual, const Tree &expected)
{
    QStringList paths;
    for (auto it = actual.cbegin(); it != actual.cend(); ++it)
        if (!expected.contains(it.key()) || expected.value(it.key()) != it.value())
            paths << it.key() + QStringLiteral(" (%1 bytes)").arg(it.value().size());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        if (!actual.contains(it.key()))
            paths << it.key() + QStringLiteral(" missing");
    return paths.join(QLatin1String(", "));
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

// A hostile file the fuzzer found, kept among its seeds.
QByteArray corpusFile(const QString &name)
{
    QFile file(QStringLiteral(VT3_SOURCE_DIR "/tests/fuzz/corpus/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing seed");
}

void setFileSizeLimit(qint64 bytes)
{
#ifdef Q_OS_WIN
    Q_UNUSED(bytes);
#else
    rlimit small{};
    getrlimit(RLIMIT_FSIZE, &small);
    small.rlim_cur = rlim_t(bytes);
    setrlimit(RLIMIT_FSIZE, &small);
#endif
}

// The child: one run of the real window with every file write of the
// process limited, then the log on standard output.
int limitedRun(int argc, char **argv)
{
    QApplication app(argc, argv);
    const qint64 limit = QByteArray(argv[2]).toLongLong();
    vt3::setApplicationDirForTesting(QString::fromLocal8Bit(argv[3]));

    UpdateClient client;
    vt3test::announceVersion(client, QStringLiteral("%1#3.6.1").arg(QLatin1String(ReleaseId)));
    // Past the limit a write fails with EFBIG, as on a full disk, instead
    // of the process being killed.
#ifndef Q_OS_WIN
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    std::atomic<bool> stop{false};
    std::thread watcher;
    if (limit > 0 && argc >= 6) {
        // The disk fills up only once this file has been written whole.
        const QString watched = QString::fromLocal8Bit(argv[4]);
        const qint64 watchedSize = QByteArray(argv[5]).toLongLong();
        watcher = std::thread([&stop, watched, watchedSize, limit] {
            while (!stop) {
                const QFileInfo info(watched);
                if (info.exists() && info.size() == watchedSize) {
                    setFileSizeLimit(limit);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(WatchIntervalUs));
            }
        });
    } else if (limit > 0) {
        setFileSizeLimit(limit);
    }
    UpdateClientProbe::pressUpdate(client);

    QElapsedTimer total;
    total.start();
    QElapsedTimer quiet;
    quiet.start();
    QStringList seen;
    while (total.elapsed() < ChildRunTimeoutMs) {
        QTest::qWait(50);
        const QStringList now = vt3test::logLinesMarked(client);
        if (now != seen) {
            seen = now;
            quiet.restart();
        }
        if (seen.contains(Finished) || (!seen.isEmpty() && quiet.elapsed() > QuietMs))
            break;
    }
    stop = true;
    if (watcher.joinable())
        watcher.join();
    for (const QString &line : qAsConst(seen))
        printf("%s\n", line.toUtf8().constData());
    fflush(stdout);
    return 0;
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void mirrorListFromHostileFiles_data();
    void mirrorListFromHostileFiles();
    void transfersSettings_data();
    void transfersSettings();
    void diskFull_data();
    void diskFull();

private:
    QStringList runChild(const QString &appDir, const QString &tmpDir, qint64 limit, const QStringList &watch);
};

void TestHostile::mirrorListFromHostileFiles_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("urls");
    QTest::addColumn<QList<int>>("retries");

    // Entry by entry, these took the window minutes to hours of lookups.
    QTest::newRow("size of two billion") << QByteArray(
                                                "[mirrors]\nsize=2000000000\n1\\mirror=m\n[m]\nurl=@a/\nretries=3\n")
                                         << QStringList{QString(), QStringLiteral("@a/")} << QList<int>{0, 3};
    QTest::newRow("largest size, no entries")
        << QByteArray("[General]\nurl=@g/\nretries=4\n[mirrors]\nsize=2147483647\n")
        << QStringList{QStringLiteral("@g/")} << QList<int>{4};
    // An absent entry between two present ones reads the top-level entry
    // right there, so the later entry of the same URL wins.
    QTest::newRow("gap before a duplicate")
        << QByteArray(
               "[General]\nurl=@a/\nretries=1\n[mirrors]\nsize=4\n1\\mirror=m\n3\\mirror=m\n[m]\nurl=@a/\nretries=9\n")
        << QStringList{QStringLiteral("@a/")} << QList<int>{9};
    QTest::newRow("gap after the duplicate")
        << QByteArray("[General]\nurl=@a/\nretries=1\n[mirrors]\nsize=4\n1\\mirror=m\n[m]\nurl=@a/\nretries=9\n")
        << QStringList{QStringLiteral("@a/")} << QList<int>{1};
    QTest::newRow("numbers that are not entries")
        << QByteArray("[mirrors]\nsize=3\n01\\mirror=m\n-1\\mirror=m\n+2\\mirror=m\n3\\mirror=m\n[m]\nurl=@a/\n")
        << QStringList{QString()} << QList<int>{0};
    // A zero byte and a broken section header, found by the fuzzer: read
    // lazily, QSettings missed the size; the whole file names 13.
    QTest::newRow("zero byte in a value")
        << corpusFile(QStringLiteral("mirrors/lazysection")) << QStringList{QString()} << QList<int>{0};
}

void TestHostile::mirrorListFromHostileFiles()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, urls);
    QFETCH(QList<int>, retries);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("mirrors.ini"));
    QVERIFY(writeFile(path, ini));
    const QMap<QString, int> mirrors = vt3::readMirrorList(path);
    QCOMPARE(mirrors.keys(), urls);
    QCOMPARE(mirrors.values(), retries);
}

void TestHostile::transfersSettings_data()
{
    // [transfers] as a user may write it: how many at once, and HTTP/2.
    QTest::addColumn<QByteArray>("transfers");
    QTest::addColumn<int>("parallel");
    QTest::addColumn<bool>("http2");
    QTest::newRow("missing: six, HTTP/2") << QByteArray() << 6 << true;
    QTest::newRow("one at a time") << QByteArray("parallel=1\n") << 1 << true;
    QTest::newRow("three") << QByteArray("parallel= 3 \n") << 3 << true;
    QTest::newRow("zero: one") << QByteArray("parallel=0\n") << 1 << true;
    QTest::newRow("negative: one") << QByteArray("parallel=-3\n") << 1 << true;
    QTest::newRow("beyond int: six") << QByteArray("parallel=99999999999\n") << 6 << true;
    QTest::newRow("eight: six") << QByteArray("parallel=8\n") << 6 << true;
    QTest::newRow("not a number: six") << QByteArray("parallel=many\n") << 6 << true;
    QTest::newRow("hex: six") << QByteArray("parallel=0x3\n") << 6 << true;
    QTest::newRow("http2 off") << QByteArray("http2=off\n") << 6 << false;
    QTest::newRow("http2 OFF with blanks") << QByteArray("http2= OFF \n") << 6 << false;
    QTest::newRow("http2 false") << QByteArray("http2=false\n") << 6 << false;
    QTest::newRow("http2 0, parallel 2") << QByteArray("http2=0\nparallel=2\n") << 2 << false;
    QTest::newRow("http2 on") << QByteArray("http2=on\n") << 6 << true;
    QTest::newRow("http2 typo stays on") << QByteArray("http2=of\n") << 6 << true;
}

void TestHostile::transfersSettings()
{
    QFETCH(QByteArray, transfers);
    QFETCH(int, parallel);
    QFETCH(bool, http2);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mirrors.ini"));
    QByteArray ini = "[mirrors]\nsize=2\n1\\mirror=m\n[m]\nurl=https://127.0.0.1:1/\n";
    if (!transfers.isEmpty())
        ini += "[transfers]\n" + transfers;
    QVERIFY(writeFile(path, ini));
    QCOMPARE(vt3::readParallelTransfers(path), parallel);
    QCOMPARE(vt3::readHttp2Allowed(path), http2);
}

void TestHostile::diskFull_data()
{
    QTest::addColumn<QByteArray>("bigContent");
    QTest::addColumn<bool>("crossVolume");
    QTest::addColumn<QString>("expectedRed");

    // Random bytes do not compress: the download itself is too big.
    QTest::newRow("release file") << randomBytes(64 * 1024) << false
                                  << QStringLiteral("red:write file %work/data/big.bin.z error");
    // Zeros compress to almost nothing: only the unpacked file is too big.
    QTest::newRow("unpacked file") << QByteArray(256 * 1024, '\0') << false
                                   << QStringLiteral("red:%work/data/big.bin file write error.");
    // Moving a file to another volume copies it; the disk fills up after
    // unpacking, while the installation is under way.
    QTest::newRow("installed file") << QByteArray(256 * 1024, '\0') << true
                                    << QStringLiteral("red:%app/data/big.bin file install error.");
    // Only the last piece of the copy is too much: a copy that does not
    // check its final flush reports a cut-off file as moved.
    QTest::newRow("installed file, last piece")
        << QByteArray(LimitBytes + 1000, '\0') << true << QStringLiteral("red:%app/data/big.bin file install error.");
}

QStringList TestHostile::runChild(const QString &appDir, const QString &tmpDir, qint64 limit, const QStringList &watch)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    vt3test::putTempDir(env, tmpDir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                QStringList{QLatin1String(ChildFlag), QString::number(limit), appDir} + watch);
    // The mirror lives in this process: keep its event loop turning.
    QElapsedTimer waited;
    waited.start();
    while (child.state() != QProcess::NotRunning && waited.elapsed() < ChildExitTimeoutMs)
        QTest::qWait(50);
    if (child.state() != QProcess::NotRunning) {
        child.kill();
        child.waitForFinished();
        return {QStringLiteral("child did not finish")};
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return {QStringLiteral("child failed with %1").arg(child.exitCode())};
    const QStringList log =
        QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    qInfo().noquote() << "run with limit" << limit << "logged:" << log.join(QLatin1String(" | "));
    return log;
}

void TestHostile::diskFull()
{
    QFETCH(QByteArray, bigContent);
    QFETCH(bool, crossVolume);
    QFETCH(QString, expectedRed);
#ifdef Q_OS_WIN
    QSKIP("Windows has no limit on a process's file size to stand in for a full disk");
#endif

    QTemporaryDir tmpDir;
    // tmpfs, where the system has it: another volume than the temp folder.
    std::unique_ptr<QTemporaryDir> appDir(crossVolume ? new QTemporaryDir(QStringLiteral("/dev/shm/vt3-hostile-XXXXXX"))
                                                      : new QTemporaryDir);
    QVERIFY(tmpDir.isValid());
    if (crossVolume && !appDir->isValid())
        QSKIP("no /dev/shm for the application folder");
    QVERIFY(appDir->isValid());
    if (crossVolume) {
        if (QStorageInfo(appDir->path()).rootPath() == QStorageInfo(tmpDir.path()).rootPath())
            QSKIP("no second volume for the application folder");
    }

    // Release A as installed, and release B on the mirror.
    Tree installedA{{QStringLiteral("readme.txt"), QByteArray("release A\n")},
                    {QStringLiteral("data/big.bin"), QByteArray(4096, 'A')},
                    {QStringLiteral("settings.cfg"), QByteArray("[user]\nname=a\n")}};
    Tree releaseB{{QStringLiteral("readme.txt"), QByteArray("release B\n")},
                  {QStringLiteral("data/big.bin"), bigContent}};
    if (crossVolume) {
        const QByteArray same(SameFileBytes, 'S');
        installedA.insert(QStringLiteral("a_same.bin"), same);
        releaseB.insert(QStringLiteral("a_same.bin"), same);
    }
    for (auto it = installedA.cbegin(); it != installedA.cend(); ++it)
        QVERIFY(writeFile(appDir->filePath(it.key()), it.value()));

    HttpFixture mirror;
    QVERIFY(mirror.listen());
    vt3test::ReleaseBuilder release(QStringLiteral("/r/%1/").arg(QLatin1String(ReleaseId)));
    for (auto it = releaseB.cbegin(); it != releaseB.cend(); ++it)
        release.add(vt3test::CommonGroup, it.key() + QLatin1String(".z"), it.value(), it.key());
    QTemporaryDir scratch;
    const QByteArray manifest = release.manifest(scratch.path());
    QVERIFY(manifest.size() < LimitBytes);
    release.publish(mirror, manifest);
    // One file after the other: the limit is set once big.bin is unpacked,
    // and a_same.bin must be unpacked by then.
    QVERIFY(writeFile(appDir->filePath(QStringLiteral("mirrors.ini")),
                      "[mirrors]\nsize=2\n1\\mirror=m\n[m]\nurl=" + mirror.baseUrl().toUtf8() +
                          "r/\nretries=1\n[transfers]\nparallel=1\n"));
    const Tree before = readTree(appDir->path());

    const QString work = tmpDir.path() + QStringLiteral("/voxtera_temp_0");
    const QStringList watch =
        crossVolume ? QStringList{work + QStringLiteral("/data/big.bin"), QString::number(bigContent.size())}
                    : QStringList();
    const QStringList log = runChild(appDir->path(), tmpDir.path(), LimitBytes, watch);
    const QString red = expectedRed.replace(QLatin1String("%work"), QDir::toNativeSeparators(work))
                            .replace(QLatin1String("%app"), QDir::toNativeSeparators(appDir->path()));
    QStringList redLines;
    for (const QString &line : log)
        if (line.startsWith(QLatin1String("red:")))
            redLines << line;
    QVERIFY2(!redLines.isEmpty() && redLines.first() == red, qPrintable(log.join(QLatin1Char('\n'))));
    QVERIFY2(!log.contains(Finished), qPrintable(log.join(QLatin1Char('\n'))));
    // Nothing of the installation changed, and the work directory is kept
    // for the next start to resume in, without a cut-off unpacked file.
    QVERIFY2(readTree(appDir->path()) == before, qPrintable(differences(readTree(appDir->path()), before)));
    QVERIFY(QFileInfo(work).isDir());
    if (!crossVolume)
        QVERIFY(!QFileInfo::exists(work + QStringLiteral("/data/big.bin")));

    // With room again, the next start finishes the job from there.
    const QStringList again = runChild(appDir->path(), tmpDir.path(), 0, {});
    QVERIFY2(again.contains(Finished), qPrintable(again.join(QLatin1Char('\n'))));
    Tree expected = before;
    for (auto it = releaseB.cbegin(); it != releaseB.cend(); ++it)
        expected.insert(it.key(), it.value());
    // A completed update records the release it installed, and keeps its
    // manifest and what the installed files looked like.
    expected.insert(QStringLiteral("vt3update.state"), QByteArray("[installed]\nrelease=") + ReleaseId + "\n");
    Tree after = readTree(appDir->path());
    for (const QString &kept : {QStringLiteral("vt3update.files"), QStringLiteral("vt3update.manifest")})
        QVERIFY2(after.remove(kept) == 1, qPrintable(kept));
    QVERIFY2(after == expected, qPrintable(differences(after, expected)));
    QVERIFY(!QFileInfo::exists(work));
}

int main(int argc, char **argv)
{
    if (argc >= 4 && std::strcmp(argv[1], ChildFlag) == 0)
        return limitedRun(argc, argv);
    QApplication app(argc, argv);
    TestHostile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hostile.moc"
