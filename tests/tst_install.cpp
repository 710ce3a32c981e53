#include "appdir.h"
#include "httpfixture.h"
#include "install/installer.h"
#include "leftovers.h"
#include "releasebuilder.h"
#include "releaseworker.h"
#include "run/updaterun.h"
#include "runrig.h"
#include "testsupport.h"
#include "transfer/scheduler.h"
#include "unpack.h"
#include "updateclientprobe.h"
#include "uptodate.h"

#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

QByteArray readFile(const QString &path)
{
    return vt3test::readFile(path, QByteArrayLiteral("<missing>"));
}

using vt3test::writeFile;

// A whole run is a few local transfers; this only bounds a hung run.
constexpr int RunTimeoutMs = 15000;
const QString ReleaseId = QStringLiteral("1733650000");
const QString &Common = vt3test::CommonGroup;
const QString &Bin = vt3test::BinGroup;
const QFileDevice::Permissions ExecutableMode = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser |
                                                QFileDevice::ExeUser | QFileDevice::ReadGroup | QFileDevice::ExeGroup;
const QString FinishedLine = QStringLiteral("red:Update finished.Press \"Start Voxtera3\" run Voxtera3.");

QByteArray textOf(int size, char seed)
{
    QByteArray data;
    data.reserve(size);
    for (int i = 0; data.size() < size; ++i)
        data += QByteArray::number(qint64(i) * 7919 + seed) + ' ';
    data.truncate(size);
    return data;
}

// The releases these runs install, below the announced release id.
struct Release : vt3test::ReleaseBuilder
{
    Release()
        : ReleaseBuilder(QLatin1Char('/') + ReleaseId + QLatin1Char('/'))
    {
    }
};

// Scratch application and temp directories with a mirror list pointing at
// a local HTTP server.
struct Env
{
    QTemporaryDir app;
    QTemporaryDir tmp;
    QTemporaryDir scratch;
    HttpFixture http;
    QByteArray manifestBytes;
    vt3test::TempDirScope useTmp{tmp.path()};

    Env()
    {
        vt3::setApplicationDirForTesting(app.path());
        http.listen();
        QSettings mirrors(app.filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
        mirrors.setValue(QStringLiteral("mirrors/size"), 2);
        mirrors.setValue(QStringLiteral("mirrors/1/mirror"), QStringLiteral("local"));
        mirrors.setValue(QStringLiteral("local/url"), http.baseUrl());
        mirrors.setValue(QStringLiteral("local/retries"), 1);
    }

    // appended: groups added after those the builder writes.
    void publish(const Release &release, const QByteArray &appended = QByteArray())
    {
        manifestBytes = release.manifest(scratch.path()) + appended;
        release.publish(http, manifestBytes);
    }

    QString workDir() const { return tmp.path() + QLatin1String("/voxtera_temp_0"); }
    QString work(const QString &name) const { return workDir() + QLatin1Char('/') + name; }
    QString installed(const QString &name) const { return app.path() + QLatin1Char('/') + name; }

    // The work directory of a run that was broken off: same manifest, some
    // files already there.
    void prepareBrokenRun()
    {
        QDir().mkpath(workDir());
        QFile::setPermissions(workDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        writeFile(work(QStringLiteral("client_win32.ini")), manifestBytes);
    }

    QStringList head(bool resumed) const
    {
        QStringList lines{
            QStringLiteral("Downloading client_win32.ini..."),
            QStringLiteral("Release 1733650000 is not verified: this installation trusts no signing keys.")};
        if (resumed)
            lines << QStringLiteral("Resume broken downloads...");
        lines << QLatin1String("Downloading to ") + workDir();
        return lines;
    }

    QStringList appEntries() const
    {
        QStringList names;
        QDirIterator it(app.path(), QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            names << QDir(app.path()).relativeFilePath(it.next());
        names.sort();
        return names;
    }
};

void startRun(UpdateClient &client)
{
    vt3test::announceVersion(client, ReleaseId + QLatin1String("#1.0"));
    UpdateClientProbe::btnStart(client)->click();
}

// Expected lines ending in "*" match any line with that beginning: the
// network layer's own error texts are not ours to fix.
QStringList logMatching(UpdateClient &client, const QStringList &expected)
{
    QStringList lines = vt3test::logLinesMarked(client);
    for (int i = 0; i < lines.size() && i < expected.size(); ++i) {
        const QString &want = expected.at(i);
        if (want.endsWith(QLatin1Char('*')) && lines.at(i).startsWith(want.chopped(1)))
            lines[i] = want;
    }
    return lines;
}

#define RUN_AND_EXPECT_LOG(client, expected)                                                                           \
    do {                                                                                                               \
        startRun(client);                                                                                              \
        QTRY_COMPARE_WITH_TIMEOUT(logMatching(client, expected), expected, RunTimeoutMs);                              \
        QTest::qWait(50);                                                                                              \
        QCOMPARE(logMatching(client, expected), expected);                                                             \
    } while (false)

// A run that stopped: nothing finished, nothing to press, the work directory
// kept for the next start.
#define VERIFY_STOPPED(env, client)                                                                                    \
    do {                                                                                                               \
        QVERIFY(!UpdateClientProbe::updateFinished(client));                                                           \
        QVERIFY(!UpdateClientProbe::btnStart(client)->isEnabled());                                                    \
        QVERIFY(UpdateClientProbe::btnRun(client)->isHidden());                                                        \
        QVERIFY(QFileInfo((env).workDir()).isDir());                                                                   \
    } while (false)

QString native(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

#ifndef Q_OS_WIN
// The immutable flag stops even root from deleting, renaming or writing.
bool setImmutable(const QString &path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

#endif

// Pins a file so that it can be neither deleted nor renamed, and unpins it
// when told or, whatever the test's outcome, at its end, so the scratch
// directories can be removed. On Windows it is held open without delete
// sharing, as a program that keeps its file open does; elsewhere it is
// made immutable.
struct PinnedFile
{
    bool active = false;
#ifdef Q_OS_WIN
    HANDLE handle = INVALID_HANDLE_VALUE;
#else
    QString path;
#endif
    explicit PinnedFile(const QString &file)
    {
#ifdef Q_OS_WIN
        handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(file).utf16()), GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        active = handle != INVALID_HANDLE_VALUE;
#else
        path = file;
        active = setImmutable(path, true);
#endif
    }
    ~PinnedFile()
    {
        release();
    }
    void release()
    {
#ifdef Q_OS_WIN
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
#else
        if (active)
            setImmutable(path, false);
#endif
        active = false;
    }
};

QByteArray header(quint32 length)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(length, reinterpret_cast<uchar *>(bytes.data()));
    return bytes;
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void fullRun();
    void fullRunIsDurable();
    void resumedRun();
    void completeFilesAreSkippedWithoutRequests();
    void equalDescriptorsAreEachVisitedOnce();
    void verificationStopsRun_data();
    void verificationStopsRun();
    void verificationOfFilesInPlace_data();
    void verificationOfFilesInPlace();
    void installation_data();
    void installation();
    void installedDirectoryOrLinkIsNeverReplaced_data();
    void installedDirectoryOrLinkIsNeverReplaced();
    void readOnlyFileIsReplacedByWritableFile();
    void keyMayBeItsInstallName();
    void backslashKeyIsFoundOnResume();
    void completion();
    void launchButtonStartsClient();
    void unpackFailureStopsRun_data();
    void unpackFailureStopsRun();
    void shortWriteStopsRun();
    void downloadChangedAfterwardsIsCaught_data();
    void downloadChangedAfterwardsIsCaught();
    void streamedBytesReachDigests_data();
    void streamedBytesReachDigests();
    void failedInstallIsRetriedByNextStart();
    void unreplaceableFileStaysInstalled();
    void clearUpRecordsWhatStays();
#ifdef Q_OS_WIN
    void briefLockIsWaitedOut();
    void longInstallNameInstalls();
#endif
    void oversizedTransferIsCutOff();
    void unchangedFilesAreNotFetched_data();
    void unchangedFilesAreNotFetched();
    void upToDateCheck_data();
    void upToDateCheck();
};

void TestInstall::fullRun()
{
    Env env;
    Release release;
    const QByteArray big = textOf(1500 * 1024, 'b');
    const QByteArray small = textOf(3000, 's');
    const QByteArray sound = textOf(70000, 'w');
    const QByteArray dll = textOf(20000, 'z');
    release.add(Common, QStringLiteral("a.dll.z"), big, QStringLiteral("a.dll"));
    release.add(Common, QStringLiteral("readme.txt.z"), small, QStringLiteral("readme.txt"));
    // Written on Windows: the install name separates with "\".
    release.add(Common, QStringLiteral("data/ding.wav.z"), sound, QStringLiteral("data\\ding.wav"));
    release.add(Bin, QStringLiteral("z.dll.z"), dll, QStringLiteral("z.dll"));
    env.publish(release);

    UpdateClient client;
    // Downloads go group by group, bin_win32 first; unpacking follows the
    // keys across both groups.
    const QStringList expected = env.head(false) + QStringList{
                                                       QStringLiteral("Downloading z.dll.z..."),
                                                       QStringLiteral("Downloading a.dll.z..."),
                                                       QStringLiteral("Downloading data/ding.wav.z..."),
                                                       QStringLiteral("Downloading readme.txt.z..."),
                                                       QStringLiteral("extracting a.dll..."),
                                                       QStringLiteral("extracting data\\ding.wav..."),
                                                       QStringLiteral("extracting readme.txt..."),
                                                       QStringLiteral("extracting z.dll..."),
                                                       FinishedLine,
                                                   };
    RUN_AND_EXPECT_LOG(client, expected);

    QCOMPARE(readFile(env.installed(QStringLiteral("a.dll"))), big);
    QCOMPARE(readFile(env.installed(QStringLiteral("readme.txt"))), small);
    QCOMPARE(readFile(env.installed(QStringLiteral("data/ding.wav"))), sound);
    QCOMPARE(readFile(env.installed(QStringLiteral("z.dll"))), dll);
    QCOMPARE(env.appEntries(),
             (QStringList{QStringLiteral("a.dll"), QStringLiteral("data"), QStringLiteral("data/ding.wav"),
                          QStringLiteral("mirrors.ini"), QStringLiteral("readme.txt"),
                          QStringLiteral("vt3update.files"), QStringLiteral("vt3update.manifest"),
                          QStringLiteral("vt3update.state"), QStringLiteral("z.dll")}));
    const QString root = QLatin1Char('/') + ReleaseId + QLatin1Char('/');
    // The files are fetched several at once, so they reach the server in
    // any order; each once, after the manifest.
    QStringList requests = env.http.requestLog();
    std::sort(requests.begin() + qMin(1, requests.size()), requests.end());
    QCOMPARE(requests, (QStringList{root + QLatin1String("client_win32.ini"), root + QLatin1String("bin_win32/z.dll.z"),
                                    root + QLatin1String("common_client/a.dll.z"),
                                    root + QLatin1String("common_client/data/ding.wav.z"),
                                    root + QLatin1String("common_client/readme.txt.z")}));
    QVERIFY(!QFileInfo::exists(env.workDir()));
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(UpdateClientProbe::btnStart(client)->isHidden());
    QVERIFY(!UpdateClientProbe::btnRun(client)->isHidden());
}

void TestInstall::fullRunIsDurable()
{
    // fullRun once more, under strace, read back from its system calls:
    // each file (the release record too) is flushed before the rename that
    // gives it its name, and each directory renamed into is synced after
    // those renames and before the log says the update is finished.
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed");
    QTemporaryDir scratch;
    const QString tracePath = scratch.filePath(QStringLiteral("trace"));
    QProcess traced;
    traced.start(strace,
                 {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-y"), QStringLiteral("-s200"),
                  QStringLiteral("-etrace=fsync,fdatasync,rename,renameat,renameat2,write"), QStringLiteral("-o"),
                  tracePath, QCoreApplication::applicationFilePath(), QStringLiteral("fullRun")});
    QVERIFY(traced.waitForFinished(RunTimeoutMs * 4));
    const QByteArray errors = traced.readAllStandardError();
    if (traced.exitCode() != 0 && errors.contains("ptrace"))
        QSKIP(qPrintable(QLatin1String("strace may not trace here: ") + QString::fromLocal8Bit(errors).trimmed()));
    QVERIFY2(traced.exitCode() == 0, traced.readAllStandardOutput().right(2000).constData());

    // A flush counts once it has returned; with several at once, strace
    // shows the call and its return on separate lines.
    const QRegularExpression flush(QStringLiteral(R"re(^(\d+) +f(?:data)?sync\(\d+<([^>]+)>(.*))re"));
    const QRegularExpression flushReturn(QStringLiteral(R"re(^(\d+) +<\.\.\. f(?:data)?sync resumed>.* = 0)re"));
    const QRegularExpression rename(QStringLiteral(R"re(\brename(?:at2?)?\(.*"([^"]+)".*"([^"]+)")re"));
    QHash<QString, QString> flushing;
    QSet<QString> flushed;
    QSet<QString> unsyncedDirs;
    QStringList faults;
    int placed = 0;
    bool finished = false;
    for (const QString &line : QString::fromLocal8Bit(readFile(tracePath)).split(QLatin1Char('\n'))) {
        QString done;
        const QRegularExpressionMatch flushMatch = flush.match(line);
        const QRegularExpressionMatch returnMatch = flushReturn.match(line);
        if (flushMatch.hasMatch() && flushMatch.captured(3).contains(QLatin1String(" = 0")))
            done = flushMatch.captured(2);
        else if (flushMatch.hasMatch())
            flushing.insert(flushMatch.captured(1), flushMatch.captured(2));
        else if (returnMatch.hasMatch())
            done = flushing.take(returnMatch.captured(1));
        if (!done.isEmpty()) {
            flushed.insert(done);
            unsyncedDirs.remove(done);
            continue;
        }
        const QRegularExpressionMatch renameMatch = rename.match(line);
        if (renameMatch.hasMatch() && !line.contains(QLatin1String(" = -1"))) {
            const QFileInfo target(renameMatch.captured(2));
            const QString source = renameMatch.captured(1);
            if (QFileInfo(source).fileName() != QLatin1Char('.') + target.fileName() + QLatin1String(".vt3-new"))
                continue;
            ++placed;
            if (!flushed.contains(source))
                faults << QLatin1String("renamed unflushed: ") + target.filePath();
            unsyncedDirs.insert(target.path());
            continue;
        }
        if (line.contains(QLatin1String("vt3update.log>")) && line.contains(QLatin1String("Update finished"))) {
            finished = true;
            for (const QString &dir : qAsConst(unsyncedDirs))
                faults << QLatin1String("finished before syncing: ") + dir;
        }
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1String("; "))));
    // The four files of fullRun, vt3update.state, the kept manifest and
    // file record, and the mirror memory beside the disk log.
    QCOMPARE(placed, 8);
    QVERIFY(finished);
}

void TestInstall::resumedRun()
{
    Env env;
    Release release;
    const QByteArray a = textOf(50000, 'a');
    const QByteArray b = textOf(60000, 'b');
    const QByteArray c = textOf(70000, 'c');
    const QByteArray d = textOf(80000, 'd');
    const Release::File fa = release.add(Common, QStringLiteral("a.dll.z"), a, QStringLiteral("a.dll"));
    const Release::File fb = release.add(Common, QStringLiteral("b.dll.z"), b, QStringLiteral("b.dll"));
    const Release::File fc = release.add(Common, QStringLiteral("c.dll.z"), c, QStringLiteral("c.dll"));
    const Release::File fd = release.add(Common, QStringLiteral("sub/d.dll.z"), d, QStringLiteral("sub/d.dll"));
    env.publish(release);

    env.prepareBrokenRun();
    // a complete, b broken off half way, c of the right size but damaged,
    // d never started.
    writeFile(env.work(fa.key), fa.served);
    writeFile(env.work(fb.key), fb.served.left(fb.served.size() / 2));
    QByteArray damaged = fc.served;
    damaged[damaged.size() / 2] = char(damaged.at(damaged.size() / 2) ^ 0x01);
    writeFile(env.work(fc.key), damaged);

    UpdateClient client;
    const QStringList expected = env.head(true) + QStringList{
                                                      QStringLiteral("Downloading a.dll.z..."),
                                                      QStringLiteral("Downloading b.dll.z..."),
                                                      QStringLiteral("Downloading c.dll.z..."),
                                                      QStringLiteral("Downloading sub/d.dll.z..."),
                                                      QStringLiteral("extracting a.dll..."),
                                                      QStringLiteral("extracting b.dll..."),
                                                      QStringLiteral("extracting c.dll..."),
                                                      QStringLiteral("extracting sub/d.dll..."),
                                                      FinishedLine,
                                                  };
    RUN_AND_EXPECT_LOG(client, expected);

    QCOMPARE(env.http.requestCount(release.filePath(fa)), 0);
    QCOMPARE(env.http.requestCount(release.filePath(fb)), 1);
    QCOMPARE(env.http.requestCount(release.filePath(fc)), 1);
    QCOMPARE(env.http.requestCount(release.filePath(fd)), 1);
    QCOMPARE(readFile(env.installed(QStringLiteral("a.dll"))), a);
    QCOMPARE(readFile(env.installed(QStringLiteral("b.dll"))), b);
    QCOMPARE(readFile(env.installed(QStringLiteral("c.dll"))), c);
    QCOMPARE(readFile(env.installed(QStringLiteral("sub/d.dll"))), d);
    QVERIFY(!QFileInfo::exists(env.workDir()));
}

void TestInstall::completeFilesAreSkippedWithoutRequests()
{
    // Every file already complete: each is checked where it is, none is
    // asked for, and the run goes on to the end.
    Env env;
    Release release;
    const Release::File one =
        release.add(Bin, QStringLiteral("one.dll.z"), textOf(1000, '1'), QStringLiteral("one.dll"));
    const Release::File two = release.add(Common, QStringLiteral("two.z"), textOf(2000, '2'), QStringLiteral("two"));
    env.publish(release);
    env.prepareBrokenRun();
    writeFile(env.work(one.key), one.served);
    writeFile(env.work(two.key), two.served);

    UpdateClient client;
    vt3test::RunRig rig(&client);
    vt3::UpdateRun run(rig.network, rig.worker, rig.transcript, vt3::RunLimits(), ReleaseId);
    run.context().workDir = env.workDir();
    run.context().releaseUrl = env.http.baseUrl() + ReleaseId + QLatin1Char('/');
    QSignalSpy installed(&run, &vt3::UpdateRun::installed);
    run.processIni();
    QTRY_VERIFY_WITH_TIMEOUT(!installed.isEmpty(), RunTimeoutMs);

    QTRY_COMPARE(
        vt3test::logLinesMarked(client),
        (QStringList{QStringLiteral("Downloading one.dll.z..."), QStringLiteral("Downloading two.z..."),
                     QStringLiteral("extracting one.dll..."), QStringLiteral("extracting two..."), FinishedLine}));
    QCOMPARE(run.progress().completed(), qint64(one.served.size() + two.served.size()));
    QCOMPARE(env.http.requestLog(), QStringList());
    QCOMPARE(readFile(env.installed(QStringLiteral("two"))), textOf(2000, '2'));
}

void TestInstall::equalDescriptorsAreEachVisitedOnce()
{
    // Two keys, one file: each is fetched, checked and unpacked, and the
    // file is installed once.
    Env env;
    Release release;
    const QByteArray content = textOf(8000, 'e');
    const Release::File first =
        release.add(Common, QStringLiteral("a/shared.dll.z"), content, QStringLiteral("shared.dll"));
    Release::File second = first;
    second.key = QStringLiteral("b/shared.dll.z");
    release.files.append(second);
    env.publish(release);

    UpdateClient client;
    const QStringList expected =
        env.head(false) + QStringList{QStringLiteral("Downloading a/shared.dll.z..."),
                                      QStringLiteral("Downloading b/shared.dll.z..."),
                                      QStringLiteral("extracting shared.dll..."),
                                      QStringLiteral("extracting shared.dll..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);
    QCOMPARE(readFile(env.installed(QStringLiteral("shared.dll"))), content);
}

void TestInstall::downloadChangedAfterwardsIsCaught_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("untouched") << QString();
    QTest::newRow("rewritten in place") << QStringLiteral("in place");
    QTest::newRow("replaced by another file") << QStringLiteral("replaced");
}

void TestInstall::downloadChangedAfterwardsIsCaught()
{
    // a.z is checked and unpacked while it arrives; z.z announces a wrong
    // MD5, so the run stops there and the work directory stays. The walk
    // over the downloads, made again, trusts what was checked only while
    // the file is as it was then.
    QFETCH(QString, change);
    Env env;
    Release release;
    const QByteArray content = textOf(50000, 'a');
    release.add(Common, QStringLiteral("a.z"), content, QStringLiteral("a"));
    Release::File &bad = release.add(Common, QStringLiteral("z.z"), textOf(5000, 'z'), QStringLiteral("z"));
    bad.descriptor.replace(0, 1, bad.descriptor.at(0) == QLatin1Char('0') ? QStringLiteral("1") : QStringLiteral("0"));
    env.publish(release);

    UpdateClient client;
    const QString zWrong = QStringLiteral("red:%1 file MD5 not correct").arg(native(env.work(bad.key)));
    const QStringList expected =
        env.head(false) + QStringList{QStringLiteral("Downloading a.z..."), QStringLiteral("Downloading z.z..."),
                                      QStringLiteral("extracting a..."), zWrong};
    RUN_AND_EXPECT_LOG(client, expected);

    const QString download = env.work(QStringLiteral("a.z"));
    QByteArray served = readFile(download);
    served[served.size() / 2] = char(served.at(served.size() / 2) ^ 0x20);
    if (change == QLatin1String("in place")) {
        QFile file(download);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(served.size() / 2));
        QCOMPARE(file.write(served.mid(served.size() / 2, 1)), qint64(1));
    } else if (change == QLatin1String("replaced")) {
        QVERIFY(writeFile(download + QLatin1String(".new"), served));
        QVERIFY(QFile::remove(download));
        QVERIFY(QFile::rename(download + QLatin1String(".new"), download));
    }
    // The walk once more, with what the run's transfers found.
    vt3::UpdateRun *run = UpdateClientProbe::run(client);
    vt3::Installer walk(run->context(), run->plan(), run->transfers()->checkedFiles(), run->transfers()->patchedFiles(),
                        run->removals());
    QSignalSpy stopped(&walk, &vt3::Installer::stopped);
    walk.startNextGzip();
    QTRY_VERIFY_WITH_TIMEOUT(!stopped.isEmpty(), RunTimeoutMs);
    const QStringList again = change.isEmpty()
                                  ? QStringList{QStringLiteral("extracting a..."), zWrong}
                                  : QStringList{QStringLiteral("red:%1 file MD5 not correct").arg(native(download))};
    QCOMPARE(vt3test::logLinesMarked(client).mid(expected.size()), again);
    VERIFY_STOPPED(env, client);
}

void TestInstall::streamedBytesReachDigests_data()
{
    // One letter per stretch of the file: B passed in a buffer, F read back
    // from the download because the window had no buffer free.
    QTest::addColumn<QString>("stretches");
    QTest::addColumn<int>("cutShort");
    QTest::newRow("in buffers") << QStringLiteral("BBB") << 0;
    QTest::newRow("from the file") << QStringLiteral("FFF") << 0;
    QTest::newRow("both, in turn") << QStringLiteral("BFFBF") << 0;
    QTest::newRow("file cut short before it is read back") << QStringLiteral("BBF") << 4096;
}

void TestInstall::streamedBytesReachDigests()
{
    QFETCH(QString, stretches);
    QFETCH(int, cutShort);
    QTemporaryDir dir;
    const QByteArray content = textOf(3 << 20, 'd');
    vt3::StreamJob job;
    job.key = QStringLiteral("d.z");
    job.download = dir.filePath(job.key);
    job.expected.size = content.size();
    job.expected.md5 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    job.expected.sha256 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    QVERIFY(writeFile(job.download, content.left(content.size() - cutShort)));

    vt3::ReleaseWorker worker;
    QSignalSpy checked(&worker, &vt3::ReleaseWorker::fileChecked);
    worker.beginStream(1, job);
    const int stretch = content.size() / stretches.size() + 1;
    for (int i = 0; i < stretches.size(); ++i) {
        const QByteArray part = content.mid(i * stretch, stretch);
        if (stretches.at(i) == QLatin1Char('B'))
            worker.streamBytes(1, part);
        else
            worker.streamWritten(1, part.size());
    }
    worker.endStream(1);
    QCOMPARE(checked.count(), 1);
    const auto file = checked.at(0).at(0).value<vt3::CheckedFile>();
    // A file that could not be read back whole is no file the digests
    // describe, and must be read again before it is used.
    QCOMPARE(file.identity.isValid(), cutShort == 0);
    QCOMPARE(file.verification == vt3::Verification::Ok, cutShort == 0);
    if (cutShort == 0) {
        QCOMPARE(file.md5, job.expected.md5);
        QCOMPARE(file.sha256, job.expected.sha256);
    }
}

void TestInstall::verificationStopsRun_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("stopLines");
    const QString md5 = QStringLiteral("%1 file MD5 not correct");
    const QString size = QStringLiteral("%1 file size not correct");
    const QString transferError = QStringLiteral("red:Error:*");
    QTest::newRow("MD5 in upper case") << QStringLiteral("upper") << QStringList{md5};
    QTest::newRow("same length, other bytes") << QStringLiteral("flipped") << QStringList{md5};
    // A failed transfer is tried once more on the same mirror.
    QTest::newRow("not found") << QStringLiteral("404") << QStringList{transferError, transferError, size};
    QTest::newRow("connection closed mid-body")
        << QStringLiteral("closed") << QStringList{transferError, transferError, size};
}

void TestInstall::verificationStopsRun()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, stopLines);
    Env env;
    Release release;
    release.add(Common, QStringLiteral("a.dll.z"), textOf(40000, 'a'), QStringLiteral("a.dll"));
    Release::File &bad = release.add(Common, QStringLiteral("b.dll.z"), textOf(90000, 'b'), QStringLiteral("b.dll"));
    if (fault == QLatin1String("upper")) {
        const int cut = bad.descriptor.indexOf(QLatin1String("::"));
        bad.descriptor = bad.descriptor.left(cut).toUpper() + bad.descriptor.mid(cut);
    }
    const QString badPath = release.filePath(bad);
    const QByteArray badServed = bad.served;
    release.add(Common, QStringLiteral("c.dll.z"), textOf(40000, 'c'), QStringLiteral("c.dll"));
    env.publish(release);
    if (fault == QLatin1String("flipped")) {
        QByteArray served = badServed;
        served[100] = char(served.at(100) ^ 0x20);
        env.http.serve(badPath, served);
    } else if (fault == QLatin1String("404")) {
        env.http.removeRoute(badPath);
    } else if (fault == QLatin1String("closed")) {
        HttpFixture::Route route;
        route.body = badServed;
        route.closeAfterBytes = badServed.size() / 3;
        env.http.setRoute(badPath, route);
    }

    UpdateClient client;
    QStringList expected = env.head(false) + QStringList{QStringLiteral("Downloading a.dll.z..."),
                                                         QStringLiteral("Downloading b.dll.z..."),
                                                         QStringLiteral("Downloading c.dll.z...")};
    // The failed transfer's errors are logged while the queue goes on.
    const int requests = qMax(1, int(stopLines.size()) - 1);
    while (stopLines.size() > 1)
        expected.insert(expected.size() - 1, stopLines.takeFirst());
    expected << QStringLiteral("extracting a.dll...")
             << QLatin1String("red:") + stopLines.first().arg(native(env.work(QStringLiteral("b.dll.z"))));
    RUN_AND_EXPECT_LOG(client, expected);

    VERIFY_STOPPED(env, client);
    QCOMPARE(env.appEntries(), QStringList{QStringLiteral("mirrors.ini")});
    QCOMPARE(env.http.requestCount(badPath), requests);
}

void TestInstall::verificationOfFilesInPlace_data()
{
    QTest::addColumn<QString>("sizeField");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("message");
    QTest::newRow("removed from the work directory") << QString() << false << QStringLiteral("file read error.");
    QTest::newRow("size not a number") << QStringLiteral("12ab") << true << QStringLiteral("file size not correct");
    QTest::newRow("size one more") << QStringLiteral("+1") << true << QStringLiteral("file size not correct");
    QTest::newRow("size one less") << QStringLiteral("-1") << true << QStringLiteral("file size not correct");
}

void TestInstall::verificationOfFilesInPlace()
{
    // Faults that no mirror can produce in a whole run: the check meets
    // them in the work directory.
    QFETCH(QString, sizeField);
    QFETCH(bool, present);
    QFETCH(QString, message);
    Env env;
    Release release;
    const Release::File good = release.add(Common, QStringLiteral("a.z"), textOf(5000, 'a'), QStringLiteral("a"));
    Release::File bad = release.add(Common, QStringLiteral("b.z"), textOf(5000, 'b'), QStringLiteral("b"));
    QStringList fields = bad.descriptor.split(QLatin1String("::"));
    if (sizeField.startsWith(QLatin1Char('+')) || sizeField.startsWith(QLatin1Char('-')))
        fields[1] = QString::number(bad.served.size() + sizeField.toInt());
    else if (!sizeField.isEmpty())
        fields[1] = sizeField;
    bad.descriptor = fields.join(QLatin1String("::"));
    env.prepareBrokenRun();
    writeFile(env.work(good.key), good.served);
    if (present)
        writeFile(env.work(bad.key), bad.served);

    UpdateClient client;
    vt3test::RunRig rig(&client);
    rig.run.workDir = env.workDir();
    rig.planFrom({{good.key, good.descriptor}, {bad.key, bad.descriptor}});
    vt3::Installer walk(rig.run, rig.plan, {}, {}, {});
    QSignalSpy stopped(&walk, &vt3::Installer::stopped);
    walk.startNextGzip();
    QTRY_VERIFY_WITH_TIMEOUT(!stopped.isEmpty(), RunTimeoutMs);

    QCOMPARE(vt3test::logLinesMarked(client),
             (QStringList{QStringLiteral("extracting a..."),
                          QStringLiteral("red:%1 %2").arg(native(env.work(bad.key)), message)}));
    QVERIFY(!UpdateClientProbe::updateFinished(client));
    QVERIFY(!QFileInfo::exists(env.work(QStringLiteral("b"))));
    QCOMPARE(env.appEntries(), QStringList{QStringLiteral("mirrors.ini")});
}

void TestInstall::installation_data()
{
    QTest::addColumn<QString>("installName");
    QTest::addColumn<QByteArray>("before"); // null: not installed yet
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<bool>("keepsTimestamp");

    const QByteArray text = textOf(4000, 'x');
    QByteArray sameSize = text;
    sameSize[2000] = 'Q';
    QTest::newRow("identical file left alone") << QStringLiteral("same.dll") << text << text << true;
    QTest::newRow("same size, other MD5") << QStringLiteral("same.dll") << sameSize << text << false;
    QTest::newRow("other size") << QStringLiteral("grown.dll") << text.left(10) << text << false;
    QTest::newRow("new file") << QStringLiteral("new.dll") << QByteArray() << text << false;
    QTest::newRow("new file in new subdirectories")
        << QStringLiteral("plugins/audio/new.dll") << QByteArray() << text << false;
    QTest::newRow("new empty file") << QStringLiteral("empty.cfg") << QByteArray() << QByteArray("") << false;
    QTest::newRow("file emptied") << QStringLiteral("emptied.cfg") << text << QByteArray("") << false;
}

void TestInstall::installation()
{
    QFETCH(QString, installName);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(bool, keepsTimestamp);
    Env env;
    Release release;
    release.add(Common, installName + QLatin1String(".z"), after, installName);
    env.publish(release);
    const QString destination = env.installed(installName);
    const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-400);
    if (!before.isNull()) {
        QVERIFY(writeFile(destination, before));
        QFile file(destination);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
        QVERIFY(file.setPermissions(ExecutableMode));
    }

    UpdateClient client;
    const QStringList expected =
        env.head(false) + QStringList{QLatin1String("Downloading ") + installName + QLatin1String(".z..."),
                                      QLatin1String("extracting ") + installName + QLatin1String("..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);

    QVERIFY(QFileInfo(destination).isFile());
    QCOMPARE(readFile(destination), after);
    const QDateTime modified = QFileInfo(destination).fileTime(QFileDevice::FileModificationTime);
    QCOMPARE(qAbs(modified.secsTo(old)) < 2, keepsTimestamp);
#ifndef Q_OS_WIN
    // A replaced program must still be runnable. (Windows keeps no such
    // modes, only a read-only bit.)
    if (!before.isNull())
        QCOMPARE(QFile::permissions(destination), ExecutableMode);
#endif
    // Nothing of the replacement is left beside the installed file.
    const QStringList beside =
        QFileInfo(destination).dir().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : beside)
        QVERIFY2(!name.startsWith(QLatin1Char('.')), qPrintable(name));
}

void TestInstall::installedDirectoryOrLinkIsNeverReplaced_data()
{
    QTest::addColumn<bool>("link");
    QTest::newRow("directory") << false;
#ifndef Q_OS_WIN
    // What QFile::link makes on Windows is a shortcut, a plain file.
    QTest::newRow("link") << true;
#endif
}

void TestInstall::installedDirectoryOrLinkIsNeverReplaced()
{
    // Set aside, it would be emptied with the work directory at the end.
    QFETCH(bool, link);
    Env env;
    Release release;
    release.add(Common, QStringLiteral("other.dll.z"), textOf(100, 'o'), QStringLiteral("other.dll"));
    release.add(Common, QStringLiteral("plugins.z"), textOf(3000, 'u'), QStringLiteral("plugins"));
    env.publish(release);
    const QString destination = env.installed(QStringLiteral("plugins"));
    QVERIFY(writeFile(env.installed(QStringLiteral("folder/inside.dll")), "the user's"));
    if (link)
        QVERIFY(QFile::link(env.installed(QStringLiteral("folder")), destination));
    else
        QVERIFY(QDir(env.app.path()).rename(QStringLiteral("folder"), QStringLiteral("plugins")));
    const QStringList before = env.appEntries();

    UpdateClient client;
    const QStringList expected =
        env.head(false) +
        QStringList{QStringLiteral("Downloading other.dll.z..."), QStringLiteral("Downloading plugins.z..."),
                    QStringLiteral("extracting other.dll..."), QStringLiteral("extracting plugins..."),
                    QStringLiteral("red:%1 file install error.").arg(native(destination))};
    RUN_AND_EXPECT_LOG(client, expected);
    VERIFY_STOPPED(env, client);
    QCOMPARE(env.appEntries(), before);
    QCOMPARE(readFile(destination + QLatin1String("/inside.dll")), QByteArray("the user's"));
}

void TestInstall::readOnlyFileIsReplacedByWritableFile()
{
    // A read-only new file could not be replaced or removed by a later run
    // on Windows.
    Env env;
    Release release;
    release.add(Common, QStringLiteral("tool.exe.z"), textOf(2000, 't'), QStringLiteral("tool.exe"));
    env.publish(release);
    const QString destination = env.installed(QStringLiteral("tool.exe"));
    const QFileDevice::Permissions readOnly = QFileDevice::ReadOwner | QFileDevice::ReadUser | QFileDevice::ExeOwner |
                                              QFileDevice::ExeUser | QFileDevice::ReadGroup;
    QVERIFY(writeFile(destination, "old tool"));
    QVERIFY(QFile::setPermissions(destination, readOnly));

    UpdateClient client;
    const QStringList expected = env.head(false) + QStringList{QStringLiteral("Downloading tool.exe.z..."),
                                                               QStringLiteral("extracting tool.exe..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);
    QCOMPARE(readFile(destination), textOf(2000, 't'));
#ifdef Q_OS_WIN
    // Windows keeps a read-only bit and no other modes.
    QVERIFY(QFile::permissions(destination) & QFileDevice::WriteOwner);
#else
    QCOMPARE(QFile::permissions(destination), readOnly | QFileDevice::WriteOwner | QFileDevice::WriteUser);
#endif
}

void TestInstall::keyMayBeItsInstallName()
{
    Env env;
    Release release;
    const QByteArray content = textOf(30000, 'k');
    release.add(Common, QStringLiteral("data/readme.txt"), content, QStringLiteral("data/readme.txt"));
    env.publish(release);

    UpdateClient client;
    const QStringList expected =
        env.head(false) + QStringList{QStringLiteral("Downloading data/readme.txt..."),
                                      QStringLiteral("extracting data/readme.txt..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);
    QCOMPARE(readFile(env.installed(QStringLiteral("data/readme.txt"))), content);
}

void TestInstall::backslashKeyIsFoundOnResume()
{
    // Written on Windows, the key separates with "\"; the broken run there
    // left the file in the subdirectory.
    Env env;
    Release release;
    const QByteArray content = textOf(9000, 'w');
    const Release::File sound =
        release.add(Common, QStringLiteral("data\\ding.wav.z"), content, QStringLiteral("data\\ding.wav"));
    env.publish(release);
    env.prepareBrokenRun();
    QVERIFY(writeFile(env.work(QStringLiteral("data/ding.wav.z")), sound.served));

    UpdateClient client;
    const QStringList expected =
        env.head(true) + QStringList{QStringLiteral("Downloading data/ding.wav.z..."),
                                     QStringLiteral("extracting data\\ding.wav..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);
    QCOMPARE(env.http.requestLog(), QStringList{QLatin1Char('/') + ReleaseId + QLatin1String("/client_win32.ini")});
    QCOMPARE(readFile(env.installed(QStringLiteral("data/ding.wav"))), content);
}

void TestInstall::completion()
{
    Env env;
    Release release;
    release.add(Common, QStringLiteral("keep.txt.z"), textOf(500, 'k'), QStringLiteral("keep.txt"));
    release.addDelete(QStringLiteral("flag0.dll"), 0);
    release.addDelete(QStringLiteral("flag1.dll"), 1);
    release.addDelete(QStringLiteral("flagminus.dll"), -1);
    release.addDelete(QStringLiteral("plugins/old.dll"), 1);
    release.addDelete(QStringLiteral("absent.dll"), 1);
    env.publish(release);
    for (const char *name : {"flag0.dll", "flag1.dll", "flagminus.dll", "plugins/old.dll", "plugins/stays.dll"})
        QVERIFY(writeFile(env.installed(QString::fromLatin1(name)), "installed"));
    // Hidden leftovers in the work directory go with it.
    env.prepareBrokenRun();
    QVERIFY(writeFile(env.work(QStringLiteral(".hidden")), "h"));
    QVERIFY(writeFile(env.work(QStringLiteral(".cache/deeper/.x")), "x"));
    QVERIFY(writeFile(env.work(QStringLiteral("old run/left.bak")), "b"));

    UpdateClient client;
    bool checkedAtMessage = false;
    connect(UpdateClientProbe::details(client), &QPlainTextEdit::textChanged, &client, [&] {
        if (!UpdateClientProbe::details(client)->toPlainText().contains(QLatin1String("Update finished")) ||
            checkedAtMessage)
            return;
        checkedAtMessage = true;
        QVERIFY(!UpdateClientProbe::btnRun(client)->isHidden());
        QVERIFY(UpdateClientProbe::btnStart(client)->isHidden());
        QVERIFY(!QFileInfo::exists(env.installed(QStringLiteral("flag1.dll"))));
        QVERIFY(!QFileInfo::exists(env.workDir()));
    });
    const QStringList expected = env.head(true) + QStringList{QStringLiteral("Downloading keep.txt.z..."),
                                                              QStringLiteral("extracting keep.txt..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);

    QVERIFY(checkedAtMessage);
    QCOMPARE(env.appEntries(), (QStringList{QStringLiteral("flag0.dll"), QStringLiteral("keep.txt"),
                                            QStringLiteral("mirrors.ini"), QStringLiteral("plugins"),
                                            QStringLiteral("plugins/stays.dll"), QStringLiteral("vt3update.files"),
                                            QStringLiteral("vt3update.manifest"), QStringLiteral("vt3update.state")}));
    QVERIFY(!QFileInfo::exists(env.workDir()));
    auto *bar = client.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(bar);
    QCOMPARE(bar->value(), bar->maximum());
}

void TestInstall::launchButtonStartsClient()
{
    Env env;
    Release release;
    release.add(Common, QStringLiteral("readme.z"), "new", QStringLiteral("readme"));
    env.publish(release);
    // The client records that it ran, and who its parent was.
    const QString client_ = env.installed(QStringLiteral("vt3client_win32.exe"));
    QVERIFY(writeFile(client_, "#!/bin/sh\necho $PPID > \"$(dirname \"$0\")/started.tmp\"\n"
                               "mv \"$(dirname \"$0\")/started.tmp\" \"$(dirname \"$0\")/started\"\n"));
    QVERIFY(QFile::setPermissions(client_, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    UpdateClient client;
    const QStringList expected = env.head(false) + QStringList{QStringLiteral("Downloading readme.z..."),
                                                               QStringLiteral("extracting readme..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);

    // The working directory is elsewhere, so only the lookup in the
    // application directory can find the bare name.
    QVERIFY(QDir::currentPath() != env.app.path());
    QEventLoop loop;
    QTimer::singleShot(0, UpdateClientProbe::btnRun(client), &QPushButton::click);
    QTimer::singleShot(5000, &loop, [&loop] { loop.exit(1); });
    QCOMPARE(loop.exec(), 0); // the updater asked to quit

    const QString marker = env.installed(QStringLiteral("started"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker), 5000);
    // Detached: the client is not a child of the updater.
    QVERIFY(readFile(marker).trimmed().toLongLong() != qint64(QCoreApplication::applicationPid()));
}

void TestInstall::unpackFailureStopsRun_data()
{
    QTest::addColumn<QByteArray>("served");
    // A file downloaded in this run is unpacked behind its transfer; one
    // left complete by a broken run is unpacked from disk.
    QTest::addColumn<bool>("resumed");
    const QByteArray content = textOf(100000, 'p');
    const QByteArray packed = qCompress(content);
    QByteArray corrupt = packed;
    for (int i = 200; i < 260; ++i)
        corrupt[i] = char(corrupt.at(i) ^ 0x33);
    const QList<QPair<const char *, QByteArray>> rows{
        {"corrupt stream", corrupt},
        {"announces more", header(quint32(content.size() + 1)) + packed.mid(4)},
        {"announces less", header(quint32(content.size() - 1)) + packed.mid(4)},
        {"stream cut short", packed.left(packed.size() - 20)},
        {"announces 3 GiB", header(3u << 30) + packed.mid(4)},
        {"not compressed at all", content},
    };
    for (const auto &row : rows) {
        QTest::addRow("%s", row.first) << row.second << false;
        QTest::addRow("%s, resumed", row.first) << row.second << true;
    }
}

void TestInstall::unpackFailureStopsRun()
{
    // The descriptor vouches for exactly these bytes, so only the unpacking
    // itself can find them bad.
    QFETCH(QByteArray, served);
    QFETCH(bool, resumed);
    Env env;
    Release release;
    release.add(Common, QStringLiteral("a.dll.z"), textOf(1000, 'a'), QStringLiteral("a.dll"));
    const Release::File fb =
        release.addRaw(Common, QStringLiteral("b.dll.z"), served, QByteArray(), QStringLiteral("b.dll"));
    release.add(Common, QStringLiteral("c.dll.z"), textOf(1000, 'c'), QStringLiteral("c.dll"));
    env.publish(release);
    QVERIFY(writeFile(env.installed(QStringLiteral("b.dll")), "old b"));
    if (resumed) {
        env.prepareBrokenRun();
        QVERIFY(writeFile(env.work(fb.key), served));
    }

    UpdateClient client;
    const QStringList expected =
        env.head(resumed) +
        QStringList{QStringLiteral("Downloading a.dll.z..."),
                    QStringLiteral("Downloading b.dll.z..."),
                    QStringLiteral("Downloading c.dll.z..."),
                    QStringLiteral("extracting a.dll..."),
                    QStringLiteral("extracting b.dll..."),
                    QStringLiteral("red:%1 file extract error.").arg(native(env.work(QStringLiteral("b.dll.z"))))};
    RUN_AND_EXPECT_LOG(client, expected);

    VERIFY_STOPPED(env, client);
    QCOMPARE(env.http.requestCount(release.filePath(fb)), resumed ? 0 : 1);
    QCOMPARE(readFile(env.installed(QStringLiteral("b.dll"))), QByteArray("old b"));
    QVERIFY(!QFileInfo::exists(env.installed(QStringLiteral("a.dll"))));
    QVERIFY(!QFileInfo::exists(env.work(QStringLiteral("b.dll"))));
    QVERIFY(!QFileInfo::exists(vt3::unpackingName(env.work(QStringLiteral("b.dll")))));
}

void TestInstall::shortWriteStopsRun()
{
    // The unpacked file lands on a device that is always full.
    if (!QFileInfo(QStringLiteral("/dev/full")).exists())
        QSKIP("no /dev/full on this system");
    Env env;
    Release release;
    release.add(Common, QStringLiteral("a.dll.z"), textOf(1000, 'a'), QStringLiteral("a.dll"));
    release.add(Common, QStringLiteral("b.dll.z"), textOf(300000, 'b'), QStringLiteral("b.dll"));
    env.publish(release);
    env.prepareBrokenRun();
    // Unpacking writes beside the file's name and renames it there once whole.
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), vt3::unpackingName(env.work(QStringLiteral("b.dll")))));

    UpdateClient client;
    const QStringList expected =
        env.head(true) +
        QStringList{QStringLiteral("Downloading a.dll.z..."), QStringLiteral("Downloading b.dll.z..."),
                    QStringLiteral("extracting a.dll..."), QStringLiteral("extracting b.dll..."),
                    QStringLiteral("red:%1 file write error.").arg(native(env.work(QStringLiteral("b.dll"))))};
    RUN_AND_EXPECT_LOG(client, expected);

    VERIFY_STOPPED(env, client);
    QCOMPARE(env.appEntries(), QStringList{QStringLiteral("mirrors.ini")});
}

void TestInstall::failedInstallIsRetriedByNextStart()
{
    Env env;
    Release release;
    const QByteArray plugin = textOf(2000, 'p');
    const QByteArray other = textOf(2000, 'o');
    release.add(Common, QStringLiteral("plugins/p.dll.z"), plugin, QStringLiteral("plugins/p.dll"));
    release.add(Common, QStringLiteral("z.dll.z"), other, QStringLiteral("z.dll"));
    env.publish(release);
    // A plain file where the new file's directory has to go.
    QVERIFY(writeFile(env.installed(QStringLiteral("plugins")), "in the way"));

    {
        UpdateClient client;
        const QStringList expected =
            env.head(false) +
            QStringList{QStringLiteral("Downloading plugins/p.dll.z..."), QStringLiteral("Downloading z.dll.z..."),
                        QStringLiteral("extracting plugins/p.dll..."), QStringLiteral("extracting z.dll..."),
                        QStringLiteral("red:%1 file install error.")
                            .arg(native(env.installed(QStringLiteral("plugins/p.dll"))))};
        RUN_AND_EXPECT_LOG(client, expected);
        VERIFY_STOPPED(env, client);
        QCOMPARE(readFile(env.installed(QStringLiteral("plugins"))), QByteArray("in the way"));
        // Every file is staged before any is put in place: none of the
        // release is installed when one of its files cannot be.
        QVERIFY(!QFileInfo::exists(env.installed(QStringLiteral("z.dll"))));
    }

    QVERIFY(QFile::remove(env.installed(QStringLiteral("plugins"))));
    env.http.resetLog();
    UpdateClient client;
    const QStringList expected = env.head(true) + QStringList{QStringLiteral("Downloading plugins/p.dll.z..."),
                                                              QStringLiteral("Downloading z.dll.z..."),
                                                              QStringLiteral("extracting plugins/p.dll..."),
                                                              QStringLiteral("extracting z.dll..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);
    QCOMPARE(env.http.requestLog(), QStringList{QLatin1Char('/') + ReleaseId + QLatin1String("/client_win32.ini")});
    QCOMPARE(readFile(env.installed(QStringLiteral("plugins/p.dll"))), plugin);
    QCOMPARE(readFile(env.installed(QStringLiteral("z.dll"))), other);
    QVERIFY(!QFileInfo::exists(env.workDir()));
}

void TestInstall::unreplaceableFileStaysInstalled()
{
    // Neither deletable nor movable: the old file must stay whole, the run
    // must not look finished, and the next start installs the file once it
    // is free.
    Env env;
    Release release;
    release.add(Common, QStringLiteral("pinned.dll.z"), textOf(5000, 'n'), QStringLiteral("pinned.dll"));
    env.publish(release);
    const QString destination = env.installed(QStringLiteral("pinned.dll"));
    QVERIFY(writeFile(destination, "old pinned"));
    PinnedFile pinned(destination);
    if (!pinned.active)
        QSKIP("the file system here does not support the immutable flag");

    {
        UpdateClient client;
        QStringList expected = env.head(false) + QStringList{QStringLiteral("Downloading pinned.dll.z..."),
                                                             QStringLiteral("extracting pinned.dll...")};
#ifdef Q_OS_WIN
        // Waited for first, like a file a scanner holds for a moment.
        expected << QStringLiteral("%1 is locked by another program.").arg(native(destination));
#endif
        expected << QStringLiteral("red:%1 file install error.").arg(native(destination));
        RUN_AND_EXPECT_LOG(client, expected);
        VERIFY_STOPPED(env, client);
        QCOMPARE(readFile(destination), QByteArray("old pinned"));
        QCOMPARE(env.appEntries(), (QStringList{QStringLiteral("mirrors.ini"), QStringLiteral("pinned.dll")}));
    }

    pinned.release();
    UpdateClient client;
    const QStringList expected = env.head(true) + QStringList{QStringLiteral("Downloading pinned.dll.z..."),
                                                              QStringLiteral("extracting pinned.dll..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);
    QCOMPARE(readFile(destination), textOf(5000, 'n'));
}

#ifdef Q_OS_WIN
void TestInstall::briefLockIsWaitedOut()
{
    // A scanner looks at a file for a moment; the installation waits for it
    // instead of failing the run.
    Env env;
    Release release;
    release.add(Common, QStringLiteral("tool.dll.z"), textOf(3000, 't'), QStringLiteral("tool.dll"));
    env.publish(release);
    const QString destination = env.installed(QStringLiteral("tool.dll"));
    QVERIFY(writeFile(destination, "old tool"));
    PinnedFile pinned(destination);
    QVERIFY(pinned.active);

    UpdateClient client;
    // Let go of it a little after the installation has begun to wait.
    bool releasing = false;
    connect(UpdateClientProbe::details(client), &QPlainTextEdit::textChanged, &client, [&] {
        if (releasing || !UpdateClientProbe::details(client)->toPlainText().contains(QLatin1String("extracting")))
            return;
        releasing = true;
        QTimer::singleShot(500, &client, [&pinned] { pinned.release(); });
    });
    const QStringList expected = env.head(false) + QStringList{QStringLiteral("Downloading tool.dll.z..."),
                                                               QStringLiteral("extracting tool.dll..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);
    QCOMPARE(readFile(destination), textOf(3000, 't'));
}

void TestInstall::longInstallNameInstalls()
{
    // Past the 260 characters of a classic Windows path.
    Env env;
    QString installName;
    while (env.installed(installName).size() <= 300)
        installName += QStringLiteral("a-folder-deep-in-the-installation/");
    installName += QStringLiteral("deep.dll");
    Release release;
    release.add(Common, installName + QLatin1String(".z"), textOf(2000, 'd'), installName);
    env.publish(release);

    UpdateClient client;
    const QStringList expected =
        env.head(false) + QStringList{QLatin1String("Downloading ") + installName + QLatin1String(".z..."),
                                      QLatin1String("extracting ") + installName + QLatin1String("..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);
    QCOMPARE(readFile(env.installed(installName)), textOf(2000, 'd'));
}
#endif

void TestInstall::oversizedTransferIsCutOff()
{
    Env env;
    Release release;
    const Release::File big =
        release.add(Common, QStringLiteral("a.dll.z"), textOf(5000, 'a'), QStringLiteral("a.dll"));
    const Release::File next =
        release.add(Common, QStringLiteral("b.dll.z"), textOf(5000, 'b'), QStringLiteral("b.dll"));
    env.publish(release);
    const QByteArray flood = textOf(4 * 1024 * 1024, 'f');
    env.http.serve(release.filePath(big), flood);

    UpdateClient client;
    const QStringList expected =
        // Cut off twice: the second attempt finds a file as long as the
        // whole and fetches it from byte 0 again.
        env.head(false) + QStringList{QStringLiteral("Downloading a.dll.z..."),
                                      QStringLiteral("red:Error:*"),
                                      QStringLiteral("red:Error:*"),
                                      QStringLiteral("red:Error:*"),
                                      QStringLiteral("red:Error:*"),
                                      QStringLiteral("Downloading b.dll.z..."),
                                      QStringLiteral("red:%1 file MD5 not correct").arg(native(env.work(big.key)))};
    RUN_AND_EXPECT_LOG(client, expected);
    VERIFY_STOPPED(env, client);
    QCOMPARE(readFile(env.work(big.key)), flood.left(big.served.size()));
    QCOMPARE(readFile(env.work(next.key)), next.served);
    QCOMPARE(env.appEntries(), QStringList{QStringLiteral("mirrors.ini")});
}

void TestInstall::unchangedFilesAreNotFetched_data()
{
    // tweak: "upper" and "other md5" change keep.dll's unpacked MD5, "12x"
    // and "31 digits" spoil another entry's unpacked size or MD5.
    QTest::addColumn<bool>("marked");
    QTest::addColumn<QString>("tweak");
    QTest::addColumn<bool>("copyEqual");
    QTest::addColumn<bool>("fetched");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("marked, installed copy equal") << true << QString() << true << false << false;
    QTest::newRow("marked, MD5 in upper case") << true << QStringLiteral("upper") << true << false << false;
    QTest::newRow("marked, same size, other bytes") << true << QString() << false << true << true;
    // Known to differ, the file is replaced without comparing the two.
    QTest::newRow("marked, manifest names another MD5") << true << QStringLiteral("other md5") << true << true << true;
    QTest::newRow("marked, a size field 12x") << true << QStringLiteral("12x") << true << true << false;
    QTest::newRow("marked, an MD5 of 31 digits") << true << QStringLiteral("31 digits") << true << true << false;
    QTest::newRow("not marked") << false << QString() << true << true << false;
}

void TestInstall::unchangedFilesAreNotFetched()
{
    QFETCH(bool, marked);
    QFETCH(QString, tweak);
    QFETCH(bool, copyEqual);
    QFETCH(bool, fetched);
    QFETCH(bool, replaced);
    Env env;
    Release release;
    const QByteArray keep = textOf(6000, 'k');
    const QByteArray changed = textOf(5000, 'c');
    const QByteArray fresh = textOf(4000, 'n');
    const Release::File fc = release.add(Common, QStringLiteral("change.dll.z"), changed, QStringLiteral("change.dll"));
    Release::File &fk = release.add(Common, QStringLiteral("keep.dll.z"), keep, QStringLiteral("keep.dll"));
    QStringList fields = fk.descriptor.split(QLatin1String("::"));
    if (tweak == QLatin1String("upper"))
        fields[3] = fields[3].toUpper();
    else if (tweak == QLatin1String("other md5"))
        fields[3] = vt3test::md5Hex(changed);
    fk.descriptor = fields.join(QLatin1String("::"));
    const Release::File keepFile = fk;
    Release::File &fn = release.add(Common, QStringLiteral("new.txt.z"), fresh, QStringLiteral("new.txt"));
    fields = fn.descriptor.split(QLatin1String("::"));
    if (tweak == QLatin1String("12x"))
        fields[2] = QStringLiteral("12x");
    else if (tweak == QLatin1String("31 digits"))
        fields[3].chop(1);
    fn.descriptor = fields.join(QLatin1String("::"));
    env.publish(release, marked ? QByteArrayLiteral("\n[format]\nunpacked=md5\n") : QByteArray());

    QByteArray installedKeep = keep;
    if (!copyEqual)
        installedKeep[3000] = char(installedKeep.at(3000) ^ 0x20);
    QByteArray installedChange = changed;
    installedChange[100] = char(installedChange.at(100) ^ 0x20);
    QVERIFY(writeFile(env.installed(QStringLiteral("keep.dll")), installedKeep));
    QVERIFY(writeFile(env.installed(QStringLiteral("change.dll")), installedChange));
    const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-400);
    {
        QFile file(env.installed(QStringLiteral("keep.dll")));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
    }

    UpdateClient client;
    const QStringList keepLines = fetched ? QStringList{QStringLiteral("Downloading keep.dll.z...")}
                                          : QStringList{QStringLiteral("keep.dll is up to date.")};
    const QStringList extractLines = fetched ? QStringList{QStringLiteral("extracting keep.dll...")} : QStringList();
    const QStringList expected =
        env.head(false) + QStringList{QStringLiteral("Downloading change.dll.z...")} + keepLines +
        QStringList{QStringLiteral("Downloading new.txt.z..."), QStringLiteral("extracting change.dll...")} +
        extractLines + QStringList{QStringLiteral("extracting new.txt..."), FinishedLine};
    RUN_AND_EXPECT_LOG(client, expected);

    QCOMPARE(env.http.requestCount(release.filePath(keepFile)), fetched ? 1 : 0);
    QCOMPARE(env.http.requestCount(release.filePath(fc)), 1);
    QCOMPARE(env.http.requestCount(release.filePath(fn)), 1);
    QCOMPARE(readFile(env.installed(QStringLiteral("keep.dll"))), keep);
    QCOMPARE(readFile(env.installed(QStringLiteral("change.dll"))), changed);
    QCOMPARE(readFile(env.installed(QStringLiteral("new.txt"))), fresh);
    const QDateTime modified =
        QFileInfo(env.installed(QStringLiteral("keep.dll"))).fileTime(QFileDevice::FileModificationTime);
    QCOMPARE(qAbs(modified.secsTo(old)) >= 2, replaced);
    QVERIFY(!QFileInfo::exists(env.workDir()));
}

void TestInstall::upToDateCheck_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("upToDate");
    QTest::newRow("equal file") << QStringLiteral("file") << true;
    QTest::newRow("link to an equal file") << QStringLiteral("link") << false;
    QTest::newRow("directory") << QStringLiteral("directory") << false;
    QTest::newRow("missing") << QStringLiteral("missing") << false;
    QTest::newRow("one byte longer") << QStringLiteral("longer") << false;
    // One file for two entries: it stays only when it is what both bring.
    QTest::newRow("shared name, other entry differs") << QStringLiteral("shared") << false;
}

void TestInstall::upToDateCheck()
{
    QFETCH(QString, kind);
    QFETCH(bool, upToDate);
    QTemporaryDir app;
    const QByteArray content = textOf(3000, 'u');
    const QString installed = app.filePath(QStringLiteral("sub/u.dll"));
    QVERIFY(writeFile(app.filePath(QStringLiteral("elsewhere/u.dll")), content));
    if (kind == QLatin1String("file") || kind == QLatin1String("shared"))
        QVERIFY(writeFile(installed, content));
    else if (kind == QLatin1String("longer"))
        QVERIFY(writeFile(installed, content + 'x'));
    else if (kind == QLatin1String("link"))
        QVERIFY(QDir().mkpath(app.filePath(QStringLiteral("sub"))) &&
                QFile::link(app.filePath(QStringLiteral("elsewhere/u.dll")), installed));
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkpath(installed));

    const QString md5 = vt3test::md5Hex(content);
    const QString size = QString::number(content.size());
    QMap<QString, QString> files{
        {QStringLiteral("u.z"), vt3test::descriptor(md5, size, size, md5, QStringLiteral("sub\\u.dll"))}};
    if (kind == QLatin1String("shared"))
        files.insert(QStringLiteral("v.z"),
                     vt3test::descriptor(md5, size, size, vt3test::md5Hex("other"), QStringLiteral("sub/u.dll")));
    const QSet<QString> expected = upToDate ? QSet<QString>{QStringLiteral("u.z")} : QSet<QString>();
    // The window's bar starts empty and ends full, a shared name counted once.
    QVector<QPair<qint64, qint64>> reports;
    QCOMPARE(vt3::upToDateKeys(app.path(), files,
                               [&](qint64 done, qint64 total) {
                                   reports.append({done, total});
                               }),
             expected);
    const qint64 bytes = content.size();
    QVERIFY(reports.size() >= 2);
    QCOMPARE(reports.constFirst(), qMakePair(qint64(0), bytes));
    QCOMPARE(reports.constLast(), qMakePair(bytes, bytes));
}

void TestInstall::clearUpRecordsWhatStays()
{
    // A backup still held when a finished run clears up its work directory.
    QTemporaryDir temp;
    QTemporaryDir app;
    QVERIFY(temp.isValid() && app.isValid());
    const vt3test::TempDirScope scope(temp.path());
    const QString work = temp.filePath(QStringLiteral("voxtera_temp_0"));
    const QString held = work + QStringLiteral("/old.dll.bak");
    QVERIFY(QDir().mkpath(work));
    QVERIFY(writeFile(held, "old"));
    QVERIFY(writeFile(work + QStringLiteral("/new.dll"), "new"));
    QFile::remove(vt3::leftoversRecordPath());
    PinnedFile pinned(held);
    if (!pinned.active)
        QSKIP("the file system here does not support the immutable flag");

    vt3::ReleaseWorker worker;
    QSignalSpy inUse(&worker, &vt3::ReleaseWorker::leftInUse);
    worker.clearUp(work, app.path(), {});
    QVERIFY(!QFileInfo::exists(work + QStringLiteral("/new.dll")));
#ifdef Q_OS_WIN
    // Handed to the system's next start (Wine lets every user ask for
    // that): nothing is left for the updater's.
    QCOMPARE(inUse.size(), 1);
    QVERIFY(inUse.at(0).at(1).toBool());
    QVERIFY(!QFileInfo::exists(vt3::leftoversRecordPath()));
#else
    QCOMPARE(readFile(vt3::leftoversRecordPath()), (held + QLatin1Char('\n') + work + QLatin1Char('\n')).toUtf8());
    pinned.release();
    vt3::removeLeftovers();
    QVERIFY(!QFileInfo::exists(work));
    QVERIFY(!QFileInfo::exists(vt3::leftoversRecordPath()));
#endif
}

QTEST_MAIN(TestInstall)
#include "tst_install.moc"
