// The run's work directory below the system temp directory, the files the
// run opens there, and the progress display.

#include "appdir.h"
#include "leftovers.h"
#include "manifest/manifestfetch.h"
#include "runlog.h"
#include "runrig.h"
#include "testsupport.h"
#include "updateclientprobe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>
#include <memory>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using vt3test::readFile;
using vt3test::writeFile;

const char Manifest[] = "[common_client]\nreadme.txt.z=0123456789abcdef0123456789abcdef::100::120::"
                        "0123456789abcdef0123456789abcdef::readme.txt\n";

#ifdef Q_OS_WIN
bool makeDir(const QString &path, int)
{
    return QDir().mkdir(path);
}
#else
bool makeDir(const QString &path, mode_t mode)
{
    if (::mkdir(QFile::encodeName(path).constData(), mode) != 0)
        return false;
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

mode_t modeOf(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode;
}
#endif

} // namespace

class TestWorkDir : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstRunMakesPrivateDir();
    void choice_data();
    void choice();
    void firstListedOfTwoEqualWins();
    void unreadableFreshManifest();

    void plantedManifestLinkIsNotFollowed();
    void linkBelowWorkDirIsRefused();
    void missingSubdirectoriesAreCreated();
    void obstacleInTheWay();
    void leftoversGoAtNextStart_data();
    void leftoversGoAtNextStart();

    void downloadTo_data();
    void downloadTo();
    void downloadingStripsReleaseUrl();

    void formatSize_data();
    void formatSize();
    void progress_data();
    void progress();
    void speedUsesRunClock();

private:
    QString temp() const { return systemTemp->path(); }
    QString fresh() const { return temp() + QStringLiteral("/client_win32.ini"); }

    std::unique_ptr<QTemporaryDir> systemTemp;
    std::unique_ptr<QTemporaryDir> outside;
    std::unique_ptr<UpdateClient> client;
    // The manifest's step of a run, on its own, with the window as its face.
    std::unique_ptr<vt3test::RunRig> rig;
    std::unique_ptr<vt3::ManifestFetch> fetch;
};

void TestWorkDir::init()
{
    systemTemp.reset(new QTemporaryDir);
    outside.reset(new QTemporaryDir);
    QVERIFY(systemTemp->isValid() && outside->isValid());
    client.reset(new UpdateClient);
    rig.reset(new vt3test::RunRig(client.get()));
    fetch.reset(new vt3::ManifestFetch(rig->run, {}, {}, false));
    fetch->workDir() = QDir(temp());
}

void TestWorkDir::cleanup()
{
    fetch.reset();
    rig.reset();
    client.reset();
    systemTemp.reset();
    outside.reset();
}

enum class Leftover { FinishedWorkDir, OutsideWorkDirs, StillInUse };
Q_DECLARE_METATYPE(Leftover)

void TestWorkDir::leftoversGoAtNextStart_data()
{
    QTest::addColumn<Leftover>("kind");
    QTest::addColumn<bool>("goneAtFirst");
    QTest::addColumn<QString>("logged");

    QTest::newRow("a finished run's work directory")
        << Leftover::FinishedWorkDir << true << "Removed %1, left behind by an earlier update.";
    // The record is the user's to write; an elevated updater must not
    // delete whatever it names.
    QTest::newRow("a path outside the work directories")
        << Leftover::OutsideWorkDirs << false << "%1 is not in a work directory of the updater; it is left alone.";
#ifdef Q_OS_WIN
    // Held open without delete sharing, as a running client holds a DLL.
    QTest::newRow("a file still in use") << Leftover::StillInUse << false
                                         << "%1 is still in use; it will be removed at the next start.";
#endif
}

void TestWorkDir::leftoversGoAtNextStart()
{
    QFETCH(Leftover, kind);
    QFETCH(bool, goneAtFirst);
    QFETCH(QString, logged);

    const vt3test::TempDirScope scope(temp());
    const QString work = temp() + QStringLiteral("/voxtera_temp_3");
    QVERIFY(QDir().mkpath(work + QStringLiteral("/data")));
    const QString file = work + QStringLiteral("/data/plugin.dll.bak");
    QVERIFY(writeFile(file, "old plug-in"));
    const QString elsewhere = outside->filePath(QStringLiteral("user.cfg"));
    QVERIFY(writeFile(elsewhere, "the user's"));
    const QString recorded = kind == Leftover::OutsideWorkDirs ? elsewhere : work;
    QFile held(file);
    if (kind == Leftover::StillInUse) {
        QVERIFY(held.open(QIODevice::ReadOnly));
        vt3::recordLeftovers({file, work});
    } else {
        vt3::recordLeftovers({recorded});
    }
    QFile::remove(vt3::RunLog::fileName(0));

    vt3::removeLeftovers();
    const QByteArray log = readFile(vt3::RunLog::fileName(0));
    QVERIFY2(
        log.contains(logged.arg(QDir::toNativeSeparators(kind == Leftover::StillInUse ? file : recorded)).toUtf8()),
        log.constData());
    QCOMPARE(!QFileInfo::exists(recorded), goneAtFirst);
    if (kind == Leftover::OutsideWorkDirs)
        QCOMPARE(readFile(elsewhere), QByteArray("the user's"));
    // What stays in use stays recorded; all else is out of the record.
    QCOMPARE(QFileInfo::exists(vt3::leftoversRecordPath()), kind == Leftover::StillInUse);

    held.close();
    vt3::removeLeftovers();
    QCOMPARE(QFileInfo::exists(work), kind == Leftover::OutsideWorkDirs);
    QVERIFY(!QFileInfo::exists(vt3::leftoversRecordPath()));
}

void TestWorkDir::firstRunMakesPrivateDir()
{
    QVERIFY(writeFile(fresh(), Manifest));
    QVERIFY(fetch->prepareTempDir());

    const QString work = temp() + QStringLiteral("/voxtera_temp_0");
    QCOMPARE(fetch->workDir().path(), work);
    QCOMPARE(readFile(work + QStringLiteral("/client_win32.ini")), QByteArray(Manifest));
    QVERIFY(!QFile::exists(fresh()));
#ifdef Q_OS_WIN
    QVERIFY(QFileInfo(work).isDir());
#else
    QCOMPARE(modeOf(work) & 07777, mode_t(0700));
    QVERIFY(S_ISDIR(modeOf(work)));
#endif
    QCOMPARE(vt3test::logLines(*client), QStringList());
}

// kind: what stands at voxtera_temp_0 before the run (with the run's
// manifest unless the kind says otherwise).
void TestWorkDir::choice_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<bool>("resumed");

    QTest::newRow("same manifest") << "same"
                                   << "voxtera_temp_0" << true;
    QTest::newRow("one byte differs") << "differs"
                                      << "voxtera_temp_1" << false;
    QTest::newRow("old manifest empty") << "empty"
                                        << "voxtera_temp_1" << false;
    QTest::newRow("no manifest") << "none"
                                 << "voxtera_temp_1" << false;
    QTest::newRow("plain file") << "file"
                                << "voxtera_temp_1" << false;
    QTest::newRow("link to a dir with the manifest") << "link"
                                                     << "voxtera_temp_1" << false;
    QTest::newRow("dangling link") << "dangling"
                                   << "voxtera_temp_1" << false;
#ifdef Q_OS_WIN
    // Each user's temp folder is guarded by its access list; what is in it
    // is the user's own.
    QTest::newRow("group-writable") << "group"
                                    << "voxtera_temp_0" << true;
    QTest::newRow("writable by others") << "others"
                                        << "voxtera_temp_0" << true;
#else
    QTest::newRow("group-writable") << "group"
                                    << "voxtera_temp_1" << false;
    QTest::newRow("writable by others") << "others"
                                        << "voxtera_temp_1" << false;
#endif
    QTest::newRow("owned by someone else") << "foreign"
                                           << "voxtera_temp_1" << false;
}

void TestWorkDir::choice()
{
    QFETCH(QString, kind);
    QFETCH(QString, chosen);
    QFETCH(bool, resumed);

    const QString old = temp() + QStringLiteral("/voxtera_temp_0");
    const QString oldManifest = old + QStringLiteral("/client_win32.ini");
    QByteArray oldContent = Manifest;
    QVERIFY(writeFile(fresh(), Manifest));

    if (kind == QLatin1String("file")) {
        QVERIFY(writeFile(old, Manifest));
    } else if (kind == QLatin1String("link") || kind == QLatin1String("dangling")) {
        VT3_SKIP_WITHOUT_SYMLINKS();
        const QString target = outside->path() + QStringLiteral("/real");
        if (kind == QLatin1String("link")) {
            QVERIFY(makeDir(target, 0700));
            QVERIFY(writeFile(target + QStringLiteral("/client_win32.ini"), Manifest));
        }
        QVERIFY(QFile::link(target, old));
    } else {
        const mode_t mode = kind == QLatin1String("group") ? 0770 : kind == QLatin1String("others") ? 0707 : 0700;
        QVERIFY(makeDir(old, mode));
        if (kind == QLatin1String("differs"))
            oldContent[int(oldContent.size()) - 2] = 'X';
        if (kind == QLatin1String("empty"))
            oldContent.clear();
        if (kind != QLatin1String("none"))
            QVERIFY(writeFile(oldManifest, oldContent));
        if (kind == QLatin1String("foreign")) {
#ifdef Q_OS_WIN
            QSKIP("another user's folder in this user's temp folder needs Windows' access lists");
#else
            if (::geteuid() != 0)
                QSKIP("giving a directory to another user needs root");
            QCOMPARE(::chown(QFile::encodeName(old).constData(), 65534, 65534), 0);
#endif
        }
    }

    QVERIFY(fetch->prepareTempDir());
    const QString work = temp() + QLatin1Char('/') + chosen;
    QCOMPARE(fetch->workDir().path(), work);
    QCOMPARE(readFile(work + QStringLiteral("/client_win32.ini")), QByteArray(Manifest));
    QVERIFY(!QFile::exists(fresh()));
    QCOMPARE(vt3test::logLines(*client),
             resumed ? QStringList{QStringLiteral("Resume broken downloads...")} : QStringList());

    if (!resumed) {
        // The directory that was passed over is left as it was.
#ifndef Q_OS_WIN
        QCOMPARE(modeOf(work) & 07777, mode_t(0700));
#endif
        if (kind == QLatin1String("link"))
            QCOMPARE(QDir(outside->path() + QStringLiteral("/real")).entryList(QDir::Files),
                     QStringList{QStringLiteral("client_win32.ini")});
        else if (kind != QLatin1String("file") && kind != QLatin1String("dangling") && kind != QLatin1String("none"))
            QCOMPARE(readFile(oldManifest), oldContent);
    }
}

void TestWorkDir::firstListedOfTwoEqualWins()
{
    QVERIFY(writeFile(fresh(), Manifest));
    for (const char *name : {"voxtera_temp_4", "voxtera_temp_7"}) {
        const QString dir = temp() + QLatin1Char('/') + QLatin1String(name);
        QVERIFY(makeDir(dir, 0700));
        QVERIFY(writeFile(dir + QStringLiteral("/client_win32.ini"), Manifest));
    }
    const QStringList listed =
        QDir(temp()).entryList({QStringLiteral("voxtera_temp_*")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    QCOMPARE(listed.size(), 2);
    QVERIFY(fetch->prepareTempDir());
    QCOMPARE(fetch->workDir().path(), temp() + QLatin1Char('/') + listed.first());
}

void TestWorkDir::unreadableFreshManifest()
{
    // Old work directories exist, but the fresh manifest is gone.
    QVERIFY(makeDir(temp() + QStringLiteral("/voxtera_temp_0"), 0700));
    QVERIFY(!fetch->prepareTempDir());
    QCOMPARE(fetch->workDir().path(), temp());
}

void TestWorkDir::plantedManifestLinkIsNotFollowed()
{
    const QString victim = outside->path() + QStringLiteral("/victim");
    VT3_SKIP_WITHOUT_SYMLINKS();
    QVERIFY(writeFile(victim, "precious"));
    QVERIFY(QFile::link(victim, fresh()));

    QVERIFY(fetch->openOutputFile(fresh()));
    QFile &out = fetch->outputFile();
    QCOMPARE(out.write("manifest"), qint64(8));
    out.close();

    QCOMPARE(readFile(victim), QByteArray("precious"));
    QVERIFY(!QFileInfo(fresh()).isSymLink());
    QCOMPARE(readFile(fresh()), QByteArray("manifest"));
}

void TestWorkDir::linkBelowWorkDirIsRefused()
{
    const QString work = temp() + QStringLiteral("/voxtera_temp_0");
    QVERIFY(makeDir(work, 0700));
    fetch->workDir() = QDir(work);
    VT3_SKIP_WITHOUT_SYMLINKS();
    QVERIFY(QFile::link(outside->path(), work + QStringLiteral("/sub")));

    const QString target = work + QStringLiteral("/sub/deeper/file.z");
    QVERIFY(!fetch->openOutputFile(target));
    QCOMPARE(vt3test::logLinesMarked(*client),
             QStringList{QStringLiteral("red:write file ") + target + QStringLiteral(" error")});
    QCOMPARE(QDir(outside->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestWorkDir::missingSubdirectoriesAreCreated()
{
    const QString work = temp() + QStringLiteral("/voxtera_temp_0");
    QVERIFY(makeDir(work, 0700));
    fetch->workDir() = QDir(work);
    // A file link planted at the target is replaced, not written through.
    QVERIFY(makeDir(work + QStringLiteral("/a"), 0700));
    const QString victim = outside->path() + QStringLiteral("/victim");
    QVERIFY(writeFile(victim, "precious"));
#ifndef Q_OS_WIN
    QVERIFY(QFile::link(victim, work + QStringLiteral("/a/first.z")));
#endif

    QVERIFY(fetch->openOutputFile(work + QStringLiteral("/a/first.z")));
    fetch->outputFile().write("one");
    QVERIFY(fetch->openOutputFile(work + QStringLiteral("/a/b/c/second.z")));
    fetch->outputFile().write("two");
    fetch->outputFile().close();

    QCOMPARE(readFile(victim), QByteArray("precious"));
    QCOMPARE(readFile(work + QStringLiteral("/a/first.z")), QByteArray("one"));
    QCOMPARE(readFile(work + QStringLiteral("/a/b/c/second.z")), QByteArray("two"));
    QVERIFY(QFileInfo(work + QStringLiteral("/a/b/c")).isDir());
    QCOMPARE(vt3test::logLines(*client), QStringList());
}

void TestWorkDir::obstacleInTheWay()
{
    // A directory where the manifest should go cannot be opened or removed.
    QVERIFY(makeDir(fresh(), 0700));
    QVERIFY(writeFile(fresh() + QStringLiteral("/keep"), "x"));
    QVERIFY(!fetch->openOutputFile(fresh()));
    QCOMPARE(vt3test::logLinesMarked(*client),
             QStringList{QStringLiteral("red:write file ") + fresh() + QStringLiteral(" error")});
    QVERIFY(!fetch->outputFile().isOpen());
}

void TestWorkDir::downloadTo_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("shown");
    QTest::newRow("manifest") << "@/client_win32.ini"
                              << "client_win32.ini";
    QTest::newRow("key with dirs") << "@/data/sub/x.dll.z"
                                   << "data/sub/x.dll.z";
    QTest::newRow("outside") << "/elsewhere/file.z"
                             << "/elsewhere/file.z";
    QTest::newRow("prefix without slash") << "@x/file.z"
                                          << "@x/file.z";
    QTest::newRow("markup shown as text") << "@/<b>bold</b>&amp;.z"
                                          << "<b>bold</b>&amp;.z";
}

void TestWorkDir::downloadTo()
{
    QFETCH(QString, path);
    QFETCH(QString, shown);
    path.replace(QLatin1Char('@'), temp());
    shown.replace(QLatin1Char('@'), temp());
    fetch->downloadTo(path);
    QCOMPARE(vt3test::logLines(*client), QStringList{QStringLiteral("Downloading ") + shown + QStringLiteral("...")});
}

void TestWorkDir::downloadingStripsReleaseUrl()
{
    rig->run.releaseUrl = QStringLiteral("http://127.0.0.1:8/m/1733650000/");
    QUrl url(QStringLiteral("http://127.0.0.1:8/m/1733650000/common_client/a b.z"));
    fetch->downloading(url);
    QCOMPARE(vt3test::logLines(*client), QStringList{QStringLiteral("Downloading common_client/a%20b.z...")});
}

void TestWorkDir::formatSize_data()
{
    QTest::addColumn<double>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0.0 << "0 Byte";
    QTest::newRow("1000") << 1000.0 << "1000 Byte";
    QTest::newRow("1023") << 1023.0 << "1023 Byte";
    QTest::newRow("1024") << 1024.0 << "1 KB";
    QTest::newRow("2048") << 2048.0 << "2 KB";
    QTest::newRow("1048575") << 1048575.0 << "1024 KB";
    QTest::newRow("1048576") << 1048576.0 << "1.00 MB";
    QTest::newRow("1572864") << 1572864.0 << "1.50 MB";
    QTest::newRow("5368709120") << 5368709120.0 << "5120.00 MB";
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << "nan MB";
}

void TestWorkDir::formatSize()
{
    QFETCH(double, bytes);
    QFETCH(QString, text);
    QCOMPARE(UpdateClientProbe::formatSize(*client, bytes), text);
}

void TestWorkDir::progress_data()
{
    QTest::addColumn<qint64>("completedBefore");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("barBefore");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("transferTotal");
    QTest::addColumn<int>("bar");
    QTest::addColumn<QString>("completedText");
    QTest::addColumn<qint64>("completedAfter");

    QTest::newRow("manifest, no total yet")
        << qint64(0) << qint64(0) << 0 << qint64(300) << qint64(-1) << 0 << "300 Byte" << qint64(0);
    QTest::newRow("manifest, last report")
        << qint64(0) << qint64(0) << 0 << qint64(300) << qint64(300) << 0 << "300 Byte" << qint64(300);
    QTest::newRow("over the run's total")
        << qint64(0) << qint64(2000) << 0 << qint64(300) << qint64(1000) << 15 << "300 Byte/2 KB" << qint64(0);
    QTest::newRow("final report counts once")
        << qint64(500) << qint64(2000) << 0 << qint64(1000) << qint64(1000) << 75 << "1 KB/2 KB" << qint64(1500);
    QTest::newRow("unknown size adds nothing")
        << qint64(500) << qint64(2000) << 0 << qint64(1000) << qint64(-1) << 75 << "1 KB/2 KB" << qint64(500);
    QTest::newRow("past 100 keeps the bar")
        << qint64(1900) << qint64(2000) << 97 << qint64(300) << qint64(-1) << 97 << "2 KB/2 KB" << qint64(1900);
}

void TestWorkDir::progress()
{
    QFETCH(qint64, completedBefore);
    QFETCH(qint64, total);
    QFETCH(int, barBefore);
    QFETCH(qint64, received);
    QFETCH(qint64, transferTotal);
    QFETCH(int, bar);
    QFETCH(QString, completedText);
    QFETCH(qint64, completedAfter);

    Ui::UpdateClient *ui = UpdateClientProbe::ui(*client);
    ui->progressBar->setValue(barBefore);
    rig->progress.start();
    rig->progress.complete(completedBefore);
    rig->progress.setTotal(total);
    fetch->slotProgress(received, transferTotal);

    QCOMPARE(ui->progressBar->value(), bar);
    QCOMPARE(ui->completed->text(), completedText);
    QCOMPARE(rig->progress.completed(), completedAfter);
    QCOMPARE(fetch->bytesReceived(), int(received));
}

void TestWorkDir::speedUsesRunClock()
{
    rig->progress.start();
    rig->progress.complete(0);
    rig->progress.setTotal(0);
    QTest::qWait(250);
    const qint64 before = rig->progress.elapsed();
    fetch->slotProgress(3000000, -1);
    const qint64 after = rig->progress.elapsed();

    // The received bytes over the time since the run started.
    QStringList possible;
    for (qint64 ms = before; ms <= after; ++ms)
        possible << UpdateClientProbe::formatSize(*client, 3000000 * 1000.0 / double(ms)) + QStringLiteral("/s");
    const QString shown = UpdateClientProbe::ui(*client)->downloadSpeed->text();
    QVERIFY2(possible.contains(shown), qPrintable(shown));
}

QTEST_MAIN(TestWorkDir)
#include "tst_workdir.moc"
