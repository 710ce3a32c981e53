// The application shell: the window's form and close guard, the message log,
// translation, and the single-instance behaviour of the real executable.

#include "appdir.h"
#include "catalogue.h"
#include "elevatedupdate.h"
#include "httpfixture.h"
#include "install/installer.h"
#include "manifest/manifestfetch.h"
#include "releasebuilder.h"
#include "releasestate.h"
#include "run/updaterun.h"
#include "runlog.h"
#include "runrig.h"
#include "singleapplication.h"
#include "testsupport.h"
#include "updateclientprobe.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <QtEndian>

#include <memory>
#include <vector>

namespace {

// The test binary run with this first argument acts as a second start of
// itself: it sends argv[3] with time-out argv[2] and exits 0 when delivered,
// 1 when not, 3 when it found no running instance and became the primary.
const char SecondaryFlag[] = "--act-as-second-start";
constexpr int SecondaryDelivered = 0;
constexpr int SecondaryUndelivered = 1;
constexpr int SecondaryBecamePrimary = 3;

const char ActivationMessage[] = "active exists window";

// A second start finds the primary and leaves; far less than this, and less
// than the 5000 ms a second start would spend knocking on a dead socket.
constexpr int SecondStartExitMs = 3000;
// A start that stays this long has become the primary.
constexpr int StaysRunningMs = 1200;

int runAsSecondStart(int argc, char **argv)
{
    QtSingleApplication app(argc, argv, true);
    if (!app.isRunning())
        return SecondaryBecamePrimary;
    const int timeout = QString::fromLocal8Bit(argv[2]).toInt();
    return app.sendMessage(QString::fromLocal8Bit(argv[3]), timeout) ? SecondaryDelivered : SecondaryUndelivered;
}

QtSingleApplication *singleApp()
{
    return static_cast<QtSingleApplication *>(QCoreApplication::instance());
}

// Answers the close question the way a user would, and remembers what it saw.
class BoxDriver : public QObject
{
public:
    enum Answer { Yes, No, Escape };

    explicit BoxDriver(Answer answer)
        : answer(answer)
    {
        connect(&poll, &QTimer::timeout, this, &BoxDriver::look);
        poll.start(PollMs);
    }

    bool seen = false;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;

private:
    static constexpr int PollMs = 10;

    void look()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || seen)
            return;
        seen = true;
        title = box->windowTitle();
        text = box->text();
        buttons = box->standardButtons();
        switch (answer) {
        case Yes:
            QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
            break;
        case No:
            QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
            break;
        case Escape:
            QTest::keyClick(box, Qt::Key_Escape);
            break;
        }
    }

    Answer answer;
    QTimer poll;
};

// Upper-cases every text of the window's context, so a test sees which texts
// go through translation without depending on a catalogue.
class ShoutingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        if (qstrcmp(context, "UpdateClient") != 0)
            return QString();
        return QString::fromUtf8(sourceText).toUpper();
    }
    bool isEmpty() const override { return false; }
};

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

QStringList strings(std::initializer_list<const char *> texts)
{
    QStringList list;
    for (const char *t : texts)
        list << QString::fromUtf8(t);
    return list;
}

// Pixels that differ by more than the rounding of premultiplied alpha, which
// the pixmap's own conversion may do differently from QImage's.
int differingPixels(const QImage &left, const QImage &right)
{
    const QImage a = left.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage b = right.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    int differing = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            if (qAbs(qAlpha(p) - qAlpha(q)) > 0 || qAbs(qRed(p) - qRed(q)) > 1 || qAbs(qGreen(p) - qGreen(q)) > 1 ||
                qAbs(qBlue(p) - qBlue(q)) > 1)
                ++differing;
        }
    }
    return differing;
}

// What a client connects to for the primary that holds `lockName` in
// `dir`: the socket file beside the lock, or on Windows, where a local
// server is a named pipe and leaves no file, the pipe of the same name.
QString serverOf(const QString &dir, const QString &lockName)
{
    const QString base = lockName.left(lockName.size() - int(qstrlen(".lock")));
#ifdef Q_OS_WIN
    Q_UNUSED(dir);
    return base;
#else
    return QDir(dir).filePath(base);
#endif
}

QStringList withoutLocks(const QStringList &names)
{
    QStringList kept;
    for (const QString &n : names) {
        if (!n.endsWith(QLatin1String(".lock")))
            kept << n;
    }
    return kept;
}

QString describe(QLayoutItem *item)
{
    if (QWidget *w = item->widget())
        return w->objectName();
    if (QLayout *l = item->layout())
        return QLatin1String("layout:") + l->objectName();
    if (QSpacerItem *s = item->spacerItem()) {
        auto policy = [](QSizePolicy::Policy p) {
            return p == QSizePolicy::Expanding ? QLatin1String("Exp")
                   : p == QSizePolicy::Minimum ? QLatin1String("Min")
                                               : QLatin1String("?");
        };
        return QStringLiteral("spacer:%1x%2:%3/%4")
            .arg(s->sizeHint().width())
            .arg(s->sizeHint().height())
            .arg(policy(s->sizePolicy().horizontalPolicy()), policy(s->sizePolicy().verticalPolicy()));
    }
    return QStringLiteral("?");
}

QStringList itemsOf(QLayout *layout)
{
    QStringList items;
    for (int i = 0; i < layout->count(); ++i)
        items << describe(layout->itemAt(i));
    return items;
}

// Runs the real updater with a private temp and runtime directory; kills
// whatever is still running at the end.
class Starts
{
public:
    Starts()
    {
        QDir(tmp.path()).mkdir(QStringLiteral("runtime"));
        QFile::setPermissions(runtimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    ~Starts()
    {
        for (auto &p : processes) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished();
            }
        }
    }

    QString tmpDir() const { return tmp.path(); }
    QString runtimeDir() const { return tmp.filePath(QStringLiteral("runtime")); }

    QProcess *start()
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        vt3test::putTempDir(env, tmp.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C"));
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(tmp.path());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(VT3_APP_BINARY), QStringList());
        process->waitForStarted();
        processes.push_back(std::move(process));
        return processes.back().get();
    }

    // The names of the lock and the socket are the program's business; the
    // test only knows they begin with the program's name.
    QStringList lockFiles() const { return entries(QStringLiteral("vt3update-*.lock")); }
    QStringList sockets() const { return withoutLocks(entries(QStringLiteral("vt3update-*"))); }
#ifdef Q_OS_WIN
    bool primaryReady() const
    {
        return lockFiles().size() == 1 && primaryListens();
    }
#else
    bool primaryReady() const
    {
        return lockFiles().size() == 1 && sockets().size() == 1;
    }
#endif
    // A socket file left by a killed primary refuses connections.
    bool primaryListens() const
    {
        if (lockFiles().size() != 1)
            return false;
        QLocalSocket probe;
        probe.connectToServer(serverOf(tmp.path(), lockFiles().first()));
        return probe.waitForConnected(SecondStartExitMs);
    }

private:
    QStringList entries(const QString &pattern) const
    {
        return QDir(tmp.path())
            .entryList({pattern}, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir tmp;
    std::vector<std::unique_ptr<QProcess>> processes;
};

// waitForFinished says false for a process that has already been seen to end.
bool finishes(QProcess *p, int ms)
{
    return p->state() == QProcess::NotRunning || p->waitForFinished(ms);
}

bool exitedAtOnce(QProcess *p)
{
    return finishes(p, SecondStartExitMs) && p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
}

bool staysRunning(QProcess *p)
{
    return !p->waitForFinished(StaysRunningMs) && p->state() == QProcess::Running;
}

} // namespace

class TestShell : public QObject
{
    Q_OBJECT

private slots:
    // form and window
    void initialState_data();
    void initialState();
    void layoutTree_data();
    void layoutTree();
    void widgetCreationOrder();
    void logoFromResource();
    void detailsToggleResizes_data();
    void detailsToggleResizes();
    void closeGuard_data();
    void closeGuard();
    void showsWhatTheEngineReports();
    void noWriteAccessOffersAdministrator();
    void closeDuringUnpackingLeavesResumableWork();
    void logKeepsEveryParagraph_data();
    void logKeepsEveryParagraph();
    void linkGoesToBrowser_data();
    void linkGoesToBrowser();
    void diskLogMatchesWindow();
    void diskLogBounds();

    // translation
    void languageChangeReappliesTexts_data();
    void languageChangeReappliesTexts();
    void languageChangeClearsRunTexts();
    void catalogueLookup_data();
    void catalogueLookup();
    void germanCatalogueTranslates();

    // single instance inside this process (the test binary is the primary)
    void secondStartActivates_data();
    void secondStartActivates();
    void undeliveredMessageStillArrives();
    void identityIsTheExecutableFile();
    void framing_data();
    void framing();

    // single instance of the real program
    void secondStartExitsFirstStays();
    void killedPrimaryDoesNotBlock();
    void oldLockOfLivePrimaryStillCounts();
    void racingStartsLeaveOnePrimary();

private:
    QProcess *startSecond(int timeoutMs, const QString &message, const QString &program = QString());
    QString ownSocketName() const;
};

void TestShell::initialState_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("text");

    QTest::newRow("log hidden") << "details" << true << true << "";
    QTest::newRow("run button hidden") << "btnRun" << true << true << "&Start Voxtera3";
    QTest::newRow("administrator button hidden") << "btnElevate" << true << true << "Update as &administrator";
    QTest::newRow("update button waits for a version") << "btnStart" << false << false << "&Update";
    QTest::newRow("details button") << "btnDetails" << false << true << "&Details";
    QTest::newRow("version label") << "lastedVersion" << false << true << "Lasted Version:";
    QTest::newRow("speed empty") << "downloadSpeed" << false << true << "";
    QTest::newRow("bytes empty") << "completed" << false << true << "";
    QTest::newRow("progress") << "progressBar" << false << true << "";
}

void TestShell::initialState()
{
    QFETCH(QString, name);
    QFETCH(bool, hidden);
    QFETCH(bool, enabled);
    QFETCH(QString, text);

    UpdateClient client;
    client.show();
    auto *widget = client.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->isHidden(), hidden);
    QCOMPARE(widget->isEnabled(), enabled);
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->text(), text);
    else if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
    else if (auto *edit = qobject_cast<QPlainTextEdit *>(widget))
        QCOMPARE(edit->toPlainText(), text);

    Ui::UpdateClient *ui = UpdateClientProbe::ui(client);
    QCOMPARE(client.windowTitle(), QStringLiteral("Voxtera3 Client Update"));
    QCOMPARE(client.objectName(), QStringLiteral("UpdateClient"));
    QVERIFY(ui->btnStart->isDefault());
    QVERIFY(ui->btnDetails->isCheckable());
    QVERIFY(!ui->btnDetails->isChecked());
    QVERIFY(!ui->details->isReadOnly());
    QCOMPARE(ui->progressBar->value(), 0);
    QCOMPARE(ui->progressBar->minimum(), 0);
    QCOMPARE(ui->progressBar->maximum(), 100);
    QCOMPARE(ui->progressBar->minimumWidth(), 350);
    QCOMPARE(ui->lastedVersion->font().pointSize(), 10);
    QCOMPARE(ui->lastedVersion->font().weight(), int(QFont::Bold));
    QCOMPARE(ui->copyright->textFormat(), Qt::RichText);
    QVERIFY(ui->copyright->text().contains(QLatin1String("<a href=")));
    QCOMPARE(ui->completed->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QCOMPARE(ui->downloadSpeed->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QVERIFY(!client.menuWidget());
    QVERIFY(!client.findChild<QStatusBar *>());
}

void TestShell::layoutTree_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QStringList>("items");

    QTest::newRow("grid") << "gridLayout" << strings({"layout:verticalLayout"});
    QTest::newRow("main column") << "verticalLayout"
                                 << strings({"layout:horizontalLayout_3", "spacer:20x13:Min/Exp", "details",
                                             "layout:horizontalLayout_2", "layout:horizontalLayout"});
    QTest::newRow("top row") << "horizontalLayout_3" << strings({"layout:verticalLayout_2", "label"});
    QTest::newRow("version column") << "verticalLayout_2"
                                    << strings({"lastedVersion", "spacer:20x40:Min/Exp", "progressBar"});
    QTest::newRow("figures row") << "horizontalLayout_2" << strings({"copyright", "downloadSpeed", "completed"});
    QTest::newRow("button row") << "horizontalLayout"
                                << strings({"btnDetails", "spacer:40x20:Exp/Min", "btnElevate", "btnRun", "btnStart"});
}

void TestShell::layoutTree()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, items);

    UpdateClient client;
    auto *found = client.findChild<QLayout *>(layout);
    QVERIFY(found);
    QCOMPARE(itemsOf(found), items);
    QCOMPARE(found->spacing(), 6);
}

void TestShell::widgetCreationOrder()
{
    UpdateClient client;
    QWidget *central = client.centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QStringLiteral("centralWidget"));
    QStringList names;
    for (QObject *child : central->children()) {
        if (child->isWidgetType())
            names << child->objectName();
    }
    const QStringList expected =
        strings({"lastedVersion", "progressBar", "label", "details", "copyright", "downloadSpeed", "completed",
                 "btnDetails", "btnElevate", "btnRun", "btnStart"});
    QCOMPARE(names, expected);
    QCOMPARE(central->layout()->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(central->layout()->contentsMargins(), QMargins(11, 11, 11, 11));
}

void TestShell::logoFromResource()
{
    UpdateClient client;
    const QPixmap logo = UpdateClientProbe::ui(client)->label->pixmap(Qt::ReturnByValue);
    QCOMPARE(logo.size(), QSize(100, 98));
    QVERIFY(logo.hasAlphaChannel());
    const QImage onDisk(QStringLiteral(VT3_SOURCE_DIR "/Resources/images/voxtera3.png"));
    QCOMPARE(onDisk.size(), logo.size());
    QCOMPARE(differingPixels(logo.toImage(), onDisk), 0);
}

void TestShell::detailsToggleResizes_data()
{
    // The offscreen platform delivers no mnemonics, so Alt+D is left to the
    // real-window test; the program itself checks the button when the
    // mirror list is missing.
    QTest::addColumn<bool>("byClick");
    QTest::newRow("mouse") << true;
    QTest::newRow("setChecked") << false;
}

void TestShell::detailsToggleResizes()
{
    QFETCH(bool, byClick);

    UpdateClient client;
    client.show();
    QVERIFY(QTest::qWaitForWindowExposed(&client));
    Ui::UpdateClient *ui = UpdateClientProbe::ui(client);
    auto toggle = [&] {
        if (byClick)
            QTest::mouseClick(ui->btnDetails, Qt::LeftButton);
        else
            ui->btnDetails->setChecked(!ui->btnDetails->isChecked());
    };

    const QSize folded = client.size();
    QCOMPARE(client.minimumSize(), folded);
    QCOMPARE(client.maximumSize(), folded);

    toggle();
    QVERIFY(ui->btnDetails->isChecked());
    QTRY_VERIFY(ui->details->isVisible());
    QTRY_VERIFY(client.height() > folded.height());
    QCOMPARE(client.minimumSize(), client.size());
    QCOMPARE(client.maximumSize(), client.size());

    toggle();
    QVERIFY(!ui->btnDetails->isChecked());
    QTRY_VERIFY(!ui->details->isVisible());
    QTRY_COMPARE(client.size(), folded);
}

void TestShell::closeDuringUnpackingLeavesResumableWork()
{
    QTemporaryDir app;
    QTemporaryDir work;
    vt3::setApplicationDirForTesting(app.path());
    vt3test::ReleaseBuilder release(QStringLiteral("/1733650000/"));
    const QByteArray content(3 * 1024 * 1024, 'r');
    const auto &file = release.add(vt3test::CommonGroup, QStringLiteral("r.dat.z"), content, QStringLiteral("r.dat"));
    const QString download = work.filePath(file.key);
    vt3test::writeFile(download, file.served);
    // The release's one file, unpacked by an installation of its own that
    // uses the window's worker (`lent`) or one of its own.
    struct Unpacking
    {
        vt3test::RunRig rig;
        vt3::Installer installer;
        Unpacking(UpdateClient &client, const QString &workDir, const QMap<QString, QString> &files,
                  vt3::ReleaseWorker *lent)
            : rig(&client, lent)
            , installer(rig.run, rig.plan, {}, {}, {})
        {
            rig.run.workDir = workDir;
            rig.planFrom(files);
        }
    };
    const QMap<QString, QString> files{{file.key, file.descriptor}};

    {
        // Outlives the window, whose end waits for the worker: the worker
        // may still be on its way out of the semaphore when it is released.
        QSemaphore held;
        UpdateClient client;
        client.show();
        QVERIFY(QTest::qWaitForWindowExposed(&client));
        vt3::ReleaseWorker *worker = UpdateClientProbe::engine(client).releaseWorker();
        Unpacking unpacking(client, work.path(), files, worker);
        // The worker is held while the window starts unpacking and is
        // closed, so the close lands before the file is taken.
        QMetaObject::invokeMethod(
            worker, [&held] { held.acquire(); }, Qt::QueuedConnection);
        unpacking.installer.startNextGzip();
        BoxDriver driver{BoxDriver::Yes};
        QVERIFY(client.close());
        QVERIFY(driver.seen);
        held.release();
    }
    // Nothing unpacked or installed; the download is whole, to resume from.
    QCOMPARE(QDir(work.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{file.key});
    QCOMPARE(vt3test::readFile(download), file.served);
    QVERIFY(!QFileInfo::exists(app.filePath(QStringLiteral("r.dat"))));

    UpdateClient next;
    Unpacking again(next, work.path(), files, nullptr);
    QSignalSpy installed(&again.installer, &vt3::Installer::installed);
    again.installer.startNextGzip();
    QTRY_VERIFY_WITH_TIMEOUT(!installed.isEmpty(), 30000);
    QCOMPARE(vt3test::readFile(app.filePath(QStringLiteral("r.dat"))), content);
    vt3::setApplicationDirForTesting(QString());
}

// The user's data folder, the application directory and the temporary
// directory of one test, all scratch.
struct LogScene
{
    QTemporaryDir data, app, tmp;
    // The single-instance socket of this test process lives in TMPDIR.
    const QString oldTmp = QDir::tempPath();
    const QByteArray oldData = qgetenv("XDG_DATA_HOME");
    LogScene()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        vt3test::setTempDir(tmp.path());
        vt3::setApplicationDirForTesting(app.path());
        // Windows takes the folder from the user's profile, not from the
        // environment: there the test program's own folder is emptied.
        logDir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        if (!logDir.startsWith(data.path()))
            QDir(logDir).removeRecursively();
    }
    ~LogScene()
    {
        vt3::setApplicationDirForTesting(QString());
        vt3test::setTempDir(oldTmp);
        qputenv("XDG_DATA_HOME", oldData);
    }
    QString log(int age = 0) const
    {
        const QString name =
            QStringLiteral("vt3update.log") + (age ? QLatin1Char('.') + QString::number(age) : QString());
        return logDir + QLatin1Char('/') + name;
    }
    QString logDir;
};

void TestShell::closeGuard_data()
{
    QTest::addColumn<bool>("finished");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("asks");
    QTest::addColumn<bool>("closes");

    QTest::newRow("running, Yes") << false << int(BoxDriver::Yes) << true << true;
    QTest::newRow("running, No") << false << int(BoxDriver::No) << true << false;
    QTest::newRow("running, Escape") << false << int(BoxDriver::Escape) << true << false;
    QTest::newRow("finished") << true << int(BoxDriver::No) << false << true;
}

void TestShell::closeGuard()
{
    QFETCH(bool, finished);
    QFETCH(int, answer);
    QFETCH(bool, asks);
    QFETCH(bool, closes);

    // A run that finished, or one whose manifest stopped half way: its
    // bytes sit in the file's buffer until it is flushed.
    LogScene scene;
    HttpFixture http;
    QVERIFY(http.listen());
    vt3test::ReleaseBuilder release(QStringLiteral("/1733650000/"));
    release.add(vt3test::CommonGroup, QStringLiteral("a.txt.z"), "a", QStringLiteral("a.txt"));
    QTemporaryDir scratch;
    const QByteArray manifest = release.manifest(scratch.path());
    release.publish(http, manifest);
    constexpr int PartBytes = 10;
    HttpFixture::Route half;
    half.body = manifest;
    half.stallAfterBytes = PartBytes;
    if (!finished)
        http.setRoute(QStringLiteral("/1733650000/client_win32.ini"), half);
    QVERIFY(
        vt3test::writeFile(scene.app.filePath(QStringLiteral("mirrors.ini")),
                           "[mirrors]\nsize=2\n1\\mirror=m\n[m]\nurl=" + http.baseUrl().toUtf8() + "\nretries=1\n"));
    const QString part = scene.tmp.filePath(QStringLiteral("client_win32.ini"));

    UpdateClient client;
    client.show();
    QVERIFY(QTest::qWaitForWindowExposed(&client));
    vt3test::announceVersion(client, QStringLiteral("1733650000#3.6.1"));
    UpdateClientProbe::engine(client).update();
    if (finished)
        QTRY_VERIFY_WITH_TIMEOUT(UpdateClientProbe::updateFinished(client), 20000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(part).size(), qint64(PartBytes), 20000);

    BoxDriver driver{BoxDriver::Answer(answer)};
    const bool closed = client.close();

    QCOMPARE(driver.seen, asks);
    QCOMPARE(closed, closes);
    QCOMPARE(client.isVisible(), !closes);
    if (asks) {
        QCOMPARE(driver.title, QStringLiteral("Question"));
        QCOMPARE(driver.text, QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
        QCOMPARE(driver.buttons, QMessageBox::Yes | QMessageBox::No);
    }
    if (!finished) {
        // Abort closes the partial file with its bytes on disk; staying
        // keeps the transfer's file open.
        QCOMPARE(UpdateClientProbe::run(client)->manifestFetch()->outputFile().isOpen(), !closes);
        if (closes)
            QCOMPARE(vt3test::readFile(part), manifest.left(PartBytes));
    }
}

void TestShell::logKeepsEveryParagraph_data()
{
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("one line") << strings({"Downloading client_win32.ini"}) << strings({"Downloading client_win32.ini"});
    QTest::newRow("plain and red") << strings({"first", "<font color=red>broken</font>",
                                               "<font color=red><b>bold error</b></font>", "last"})
                                   << strings({"first", "red:broken", "red:bold error", "last"});
    QStringList many;
    QStringList manyExpected;
    for (int i = 0; i < 3000; ++i) {
        const bool red = i % 7 == 3;
        const QString text = QStringLiteral("message %1").arg(i);
        many << (red ? QLatin1String("<font color=red>") + text + QLatin1String("</font>") : text);
        manyExpected << (red ? QLatin1String("red:") + text : text);
    }
    QTest::newRow("thousands, never trimmed") << many << manyExpected;
}

void TestShell::logKeepsEveryParagraph()
{
    QFETCH(QStringList, messages);
    QFETCH(QStringList, expected);

    UpdateClient client;
    for (const QString &m : messages)
        UpdateClientProbe::message(client, m);
    QCOMPARE(vt3test::logLinesMarked(client), expected);
    QCOMPARE(UpdateClientProbe::ui(client)->details->document()->blockCount(), expected.size());
}

void TestShell::linkGoesToBrowser_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QUrl>("opened");

    QTest::newRow("site") << "http://www.voxtera.example/" << QUrl(QStringLiteral("http://www.voxtera.example/"));
    QTest::newRow("tolerant") << "http://www.voxtera.example/a b"
                              << QUrl(QStringLiteral("http://www.voxtera.example/a%20b"), QUrl::StrictMode);
}

void TestShell::linkGoesToBrowser()
{
    QFETCH(QString, link);
    QFETCH(QUrl, opened);

    UrlCatcher catcher;
    // Nothing may reach a real browser from a test.
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    UpdateClient client;
    client.show();
    const QSize before = client.size();
    const QString title = client.windowTitle();
    emit UpdateClientProbe::ui(client)->copyright->linkActivated(link);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

    QCOMPARE(catcher.urls, QList<QUrl>{opened});
    QCOMPARE(client.size(), before);
    QCOMPARE(client.windowTitle(), title);
    QVERIFY(client.isVisible());
}

namespace {
// The disk log's lines without their timestamps; empty when a line lacks one.
QStringList diskLogTexts(const QString &path)
{
    static const QRegularExpression stamped(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d) (.*)$"));
    QStringList texts;
    const QStringList lines = QString::fromUtf8(vt3test::readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        // Windows ends the lines of a text file with CR LF.
        const QRegularExpressionMatch match = stamped.match(line.endsWith(QLatin1Char('\r')) ? line.chopped(1) : line);
        texts << (match.hasMatch() ? match.captured(2) : QString());
    }
    return texts;
}

} // namespace

void TestShell::diskLogMatchesWindow()
{
    LogScene scene;
    // The manifest has moved, and is not found where it moved to.
    HttpFixture http;
    QVERIFY(http.listen());
    const QString mirror = http.baseUrl();
    HttpFixture::Route moved;
    moved.status = 302;
    moved.location = (mirror + QStringLiteral("moved/client_win32.ini")).toUtf8();
    http.setRoute(QStringLiteral("/1733650000/client_win32.ini"), moved);
    HttpFixture::Route missing;
    missing.status = 404;
    http.setRoute(QStringLiteral("/moved/client_win32.ini"), missing);
    QVERIFY(vt3test::writeFile(
        scene.app.filePath(QStringLiteral("mirrors.ini")),
        QStringLiteral("[mirrors]\nsize=2\n1\\mirror=only\n[only]\nurl=%1\nretries=1\n").arg(mirror).toUtf8()));

    UpdateClient client;
    vt3test::announceVersion(client, QStringLiteral("1733650000#3.6.1"));
    UpdateClientProbe::engine(client).update();
    // The run ends after its one request.
    QTRY_VERIFY(vt3test::logLines(client).contains(QStringLiteral("Failed to download client_win32.ini!")));
    QStringList expected = vt3test::logLines(client);
    UpdateClientProbe::message(client, QStringLiteral("<font color=red>a &amp; b&nbsp;&lt;c&gt;<br>d</font>"));
    expected << QStringLiteral("a & b <c> d");
    // Only the disk log names the URLs and the status of the failure.
    const int error = expected.indexOf(QRegularExpression(QStringLiteral("Error:.*")));
    QVERIFY2(error >= 0, qPrintable(expected.join(QLatin1Char('\n'))));
    expected.insert(error + 1, QStringLiteral("Request failed: ") + mirror +
                                   QStringLiteral("moved/client_win32.ini (asked for ") + mirror +
                                   QStringLiteral("1733650000/client_win32.ini), HTTP status 404"));

    const QStringList texts = diskLogTexts(scene.log());
    QVERIFY2(texts.size() > 5, qPrintable(texts.join(QLatin1Char('\n'))));
    QCOMPARE(texts.at(0), QStringLiteral("vt3update " VT3_UPDATER_VERSION " starts an update"));
    QVERIFY2(texts.at(1).startsWith(QLatin1String("Qt ") + QLatin1String(qVersion()) + QLatin1String(", OpenSSL ")),
             qPrintable(texts.at(1)));
    QCOMPARE(texts.at(2), QStringLiteral("Proxy for %1: none").arg(mirror));
    QCOMPARE(texts.at(3), QStringLiteral("Application directory: ") + QDir::toNativeSeparators(scene.app.path()));
    QCOMPARE(texts.at(4), QStringLiteral("Release: 1733650000"));
    // Every line of the window, in order, and as plain text.
    QVERIFY2(texts.mid(5) == expected,
             qPrintable(texts.mid(5).join(QLatin1Char('\n')) + QStringLiteral("\n--- expected:\n") +
                        expected.join(QLatin1Char('\n'))));
}

void TestShell::diskLogBounds()
{
    LogScene scene;
    UpdateClient client;
    // Runs that end at once (no mirrors.ini); each writes one mark of its own.
    constexpr int Runs = 4;
    for (int run = 1; run <= Runs; ++run) {
        UpdateClientProbe::engine(client).update();
        UpdateClientProbe::message(client, QStringLiteral("run %1").arg(run));
    }
    for (int age = 0; age < 3; ++age) {
        const QStringList texts = diskLogTexts(scene.log(age));
        QVERIFY2(texts.contains(QStringLiteral("run %1").arg(Runs - age)), qPrintable(scene.log(age)));
        QCOMPARE(texts.filter(QStringLiteral("starts an update")).size(), 1);
    }
    QVERIFY(!QFileInfo::exists(scene.log(3)));

    // A run that talks far too much stops at the bound, and says so.
    const QString line = QString(1000, QLatin1Char('x'));
    for (int i = 0; i < 1100; ++i)
        UpdateClientProbe::message(client, line);
    const qint64 size = QFileInfo(scene.log()).size();
    QVERIFY2(size <= 1024 * 1024 && size > 1000 * 1000, qPrintable(QString::number(size)));
    QCOMPARE(diskLogTexts(scene.log()).constLast(),
             QStringLiteral("The log file is full; the rest of this run is not written."));
    // The next run starts small again.
    UpdateClientProbe::engine(client).update();
    QVERIFY(QFileInfo(scene.log()).size() < 4096);
    QVERIFY(QFileInfo(scene.log(1)).size() > 1000 * 1000);
}

void TestShell::languageChangeReappliesTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("english");

    QTest::newRow("title") << ""
                           << "Voxtera3 Client Update";
    QTest::newRow("version") << "lastedVersion"
                             << "Lasted Version:";
    QTest::newRow("details") << "btnDetails"
                             << "&Details";
    QTest::newRow("run") << "btnRun"
                         << "&Start Voxtera3";
    QTest::newRow("update") << "btnStart"
                            << "&Update";
}

void TestShell::languageChangeReappliesTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, english);

    UpdateClient client;
    auto textOf = [&]() -> QString {
        if (name.isEmpty())
            return client.windowTitle();
        QObject *o = client.findChild<QObject *>(name);
        if (auto *b = qobject_cast<QPushButton *>(o))
            return b->text();
        if (auto *l = qobject_cast<QLabel *>(o))
            return l->text();
        return QStringLiteral("<missing>");
    };
    QCOMPARE(textOf(), english);

    // Installing a translator is what tells every window the language changed.
    ShoutingTranslator shouting;
    QVERIFY(QCoreApplication::installTranslator(&shouting));
    QTRY_COMPARE(textOf(), english.toUpper());
    QVERIFY(QCoreApplication::removeTranslator(&shouting));
    QTRY_COMPARE(textOf(), english);
}

void TestShell::languageChangeClearsRunTexts()
{
    UpdateClient client;
    Ui::UpdateClient *ui = UpdateClientProbe::ui(client);
    UpdateClientProbe::message(client, QStringLiteral("<font color=red>Server not found</font>"));
    UpdateClientProbe::message(client, QStringLiteral("Downloading client_win32.ini"));
    ui->lastedVersion->setText(QStringLiteral("Lasted Version: 3.6.1 (08.12.2024)"));
    ui->downloadSpeed->setText(QStringLiteral("12.5 KB/s"));
    ui->completed->setText(QStringLiteral("1 MB/4 MB"));

    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(&client, &change);

    QCOMPARE(vt3test::logLines(client), QStringList());
    QCOMPARE(ui->lastedVersion->text(), QStringLiteral("Lasted Version:"));
    QCOMPARE(ui->downloadSpeed->text(), QString());
    QCOMPARE(ui->completed->text(), QString());
    // Clearing the logo label's text must not take the logo with it.
    QCOMPARE(ui->label->pixmap(Qt::ReturnByValue).size(), QSize(100, 98));
}

void TestShell::catalogueLookup_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("fromBuildDir");
    // The program's own folder holds a copy of the catalogues.
    QTest::addColumn<bool>("besideProgram");
    QTest::addColumn<QString>("catalogue");
    // Where the one found comes from: the working directory or the program's.
    QTest::addColumn<bool>("fromWorkingDir");

    QTest::newRow("de") << "de" << true << false << "update_de.qm" << true;
    QTest::newRow("de_DE") << "de_DE" << true << false << "update_de.qm" << true;
    QTest::newRow("de_AT falls back to de") << "de_AT" << true << false << "update_de.qm" << true;
    QTest::newRow("fr_FR has none") << "fr_FR" << true << false << "" << true;
    QTest::newRow("C has none") << "C" << true << false << "" << true;
    QTest::newRow("de from another directory") << "de_DE" << false << false << "" << true;
    QTest::newRow("de from another directory, beside the program")
        << "de_DE" << false << true << "update_de.qm" << false;
    QTest::newRow("de_AT beside the program") << "de_AT" << false << true << "update_de.qm" << false;
    QTest::newRow("working directory first") << "de_DE" << true << true << "update_de.qm" << true;
    QTest::newRow("fr_FR has none beside the program either") << "fr_FR" << false << true << "" << true;
}

void TestShell::catalogueLookup()
{
    QFETCH(QString, locale);
    QFETCH(bool, fromBuildDir);
    QFETCH(bool, besideProgram);
    QFETCH(QString, catalogue);
    QFETCH(bool, fromWorkingDir);

    const QString built = vt3test::buildFile(QStringLiteral("translations/update_de.qm"));
    QVERIFY(QFileInfo::exists(built));
    QTemporaryDir elsewhere;
    QTemporaryDir program;
    if (besideProgram) {
        QVERIFY(QDir(program.path()).mkdir(QStringLiteral("translations")));
        QVERIFY(QFile::copy(built, program.filePath(QStringLiteral("translations/update_de.qm"))));
    }
    vt3::setApplicationDirForTesting(program.path());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(fromBuildDir ? vt3test::buildFile(QString()) : elsewhere.path()));

    QTranslator translator;
    const bool found = vt3::loadCatalogue(translator, QLocale(locale));
    // A catalogue found through a relative folder names it relatively.
    const QFileInfo file(QFileInfo(translator.filePath()).absoluteFilePath());
    QDir::setCurrent(previous);
    vt3::setApplicationDirForTesting(QString());

    QCOMPARE(found, !catalogue.isEmpty());
    if (!found)
        return;
    QCOMPARE(file.fileName(), catalogue);
    const QString folder = fromWorkingDir ? vt3test::buildFile(QStringLiteral("translations"))
                                          : program.filePath(QStringLiteral("translations"));
    QCOMPARE(QFileInfo(file.absolutePath()).canonicalFilePath(), QFileInfo(folder).canonicalFilePath());
}

void TestShell::germanCatalogueTranslates()
{
    QTranslator german;
    QVERIFY(german.load(QStringLiteral("update_de"), vt3test::buildFile(QStringLiteral("translations"))));
    QCOMPARE(german.translate("UpdateClient", "Voxtera3 Client Update"),
             QStringLiteral("Voxtera3 Client Aktualisierung"));
    for (const char *caption : {"Lasted Version:", "&Details", "&Start Voxtera3", "&Update"})
        QVERIFY2(!german.translate("UpdateClient", caption).isEmpty(), caption);

    UpdateClient client;
    QVERIFY(QCoreApplication::installTranslator(&german));
    QTRY_COMPARE(client.windowTitle(), QStringLiteral("Voxtera3 Client Aktualisierung"));
    const QString details = UpdateClientProbe::ui(client)->btnDetails->text();
    QCoreApplication::removeTranslator(&german);
    QCOMPARE(details, german.translate("UpdateClient", "&Details"));
}

QProcess *TestShell::startSecond(int timeoutMs, const QString &message, const QString &program)
{
    auto *p = new QProcess(this);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(program.isEmpty() ? QCoreApplication::applicationFilePath() : program,
             {QString::fromLatin1(SecondaryFlag), QString::number(timeoutMs), message});
    return p;
}

QString TestShell::ownSocketName() const
{
    const QStringList locks = QDir::temp().entryList({QStringLiteral("vt3update-*.lock")}, QDir::Files | QDir::Hidden);
    return locks.size() == 1 ? serverOf(QDir::tempPath(), locks.first()) : QString();
}

void TestShell::secondStartActivates_data()
{
    QTest::addColumn<bool>("activateOnMessage");
    QTest::addColumn<int>("shape"); // 0 minimised, 1 hidden, 2 normal
    QTest::addColumn<bool>("expectMinimised");
    QTest::addColumn<bool>("expectVisible");

    QTest::newRow("minimised comes back") << true << 0 << false << true;
    QTest::newRow("hidden is shown") << true << 1 << false << true;
    QTest::newRow("normal stays normal") << true << 2 << false << true;
    QTest::newRow("without activation") << false << 0 << true << true;
}

void TestShell::secondStartActivates()
{
    QFETCH(bool, activateOnMessage);
    QFETCH(int, shape);
    QFETCH(bool, expectMinimised);
    QFETCH(bool, expectVisible);

    QVERIFY(!singleApp()->isRunning());
    UpdateClient client;
    singleApp()->setActivationWindow(&client, activateOnMessage);
    QCOMPARE(singleApp()->activationWindow(), &client);
    if (shape == 0)
        client.showMinimized();
    else if (shape == 2)
        client.show();
    QTest::qWait(20);
    QCOMPARE(client.isMinimized(), shape == 0);

    QSignalSpy received(singleApp(), &QtSingleApplication::messageReceived);
    QProcess *second = startSecond(5000, QString::fromLatin1(ActivationMessage));
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 10000);
    QCOMPARE(received.at(0).at(0).toString(), QString::fromLatin1(ActivationMessage));
    QVERIFY(finishes(second, SecondStartExitMs));
    QCOMPARE(second->exitCode(), SecondaryDelivered);

    QCOMPARE(client.isMinimized(), expectMinimised);
    QCOMPARE(client.isVisible(), expectVisible);
    singleApp()->setActivationWindow(nullptr, false);
}

void TestShell::undeliveredMessageStillArrives()
{
#ifdef Q_OS_WIN
    QSKIP("a Windows pipe takes the message of a second start that gave up waiting with it");
#endif
    QSignalSpy received(singleApp(), &QtSingleApplication::messageReceived);
    const QString text = QStringLiteral("while you were busy \u00e4\u00f6\u00fc");
    QProcess *second = startSecond(300, text);
    // Blocking here keeps this primary from answering, as a window busy
    // hashing files would.
    QVERIFY(finishes(second, SecondStartExitMs));
    QCOMPARE(second->exitCode(), SecondaryUndelivered);
    QCOMPARE(received.count(), 0);
    QTRY_COMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toString(), text);
}

void TestShell::identityIsTheExecutableFile()
{
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("other_updater"));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
    QVERIFY(QFile::setPermissions(copy, QFile::permissions(copy) | QFileDevice::ExeOwner));
    const QString link = dir.filePath(QStringLiteral("same_updater"));
    VT3_SKIP_WITHOUT_SYMLINKS();
    QVERIFY(QFile::link(QCoreApplication::applicationFilePath(), link));

    QSignalSpy received(singleApp(), &QtSingleApplication::messageReceived);
    QProcess *other = startSecond(2000, QStringLiteral("other"), copy);
    QVERIFY(finishes(other, SecondStartExitMs));
    QCOMPARE(other->exitCode(), SecondaryBecamePrimary);

    // A link leads to the same file, hence the same application.
    QProcess *same = startSecond(5000, QStringLiteral("same"), link);
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 10000);
    QVERIFY(finishes(same, SecondStartExitMs));
    QCOMPARE(same->exitCode(), SecondaryDelivered);
    QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("same"));
}

void TestShell::framing_data()
{
    auto frame = [](const QByteArray &payload) -> QByteArray {
        QByteArray f(4, Qt::Uninitialized);
        qToBigEndian(quint32(payload.size()), f.data());
        return f + payload;
    };
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<bool>("dropped");

    const QByteArray whole = frame("active exists window");
    QTest::newRow("split in pieces") << QList<QByteArray>{whole.left(2), whole.mid(2, 7), whole.mid(9)}
                                     << strings({"active exists window"}) << false;
    QTest::newRow("two in one write") << QList<QByteArray>{frame("one") + frame("two")} << strings({"one", "two"})
                                      << false;
    QTest::newRow("empty message") << QList<QByteArray>{frame("")} << strings({""}) << false;
    QByteArray huge(4, Qt::Uninitialized);
    qToBigEndian(quint32(1u << 30), huge.data());
    QTest::newRow("absurd length is refused") << QList<QByteArray>{huge + "x"} << QStringList{} << true;
}

void TestShell::framing()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, messages);
    QFETCH(bool, dropped);

    const QString name = ownSocketName();
    QVERIFY2(!name.isEmpty(), "the test process listens as primary");
    QSignalSpy received(singleApp(), &QtSingleApplication::messageReceived);
    QLocalSocket socket;
    socket.connectToServer(name);
    QVERIFY(socket.waitForConnected(2000));
    for (const QByteArray &chunk : chunks) {
        socket.write(chunk);
        socket.flush();
        QTest::qWait(20);
    }
    if (dropped) {
        QTRY_COMPARE(socket.state(), QLocalSocket::UnconnectedState);
    } else {
        QTRY_COMPARE(received.count(), messages.size());
        QTRY_COMPARE(socket.bytesAvailable(), qint64(messages.size()));
        QCOMPARE(socket.readAll(), QByteArray(messages.size(), '\x06'));
    }
    QTest::qWait(50);
    QStringList got;
    for (const auto &args : received)
        got << args.at(0).toString();
    QCOMPARE(got, messages);
}

void TestShell::secondStartExitsFirstStays()
{
    Starts starts;
    QProcess *first = starts.start();
    QTRY_VERIFY_WITH_TIMEOUT(starts.primaryReady(), 10000);
    QProcess *second = starts.start();
    QVERIFY(exitedAtOnce(second));
    QVERIFY(staysRunning(first));
    QVERIFY(starts.primaryListens());
}

void TestShell::killedPrimaryDoesNotBlock()
{
    Starts starts;
    QProcess *first = starts.start();
    QTRY_VERIFY_WITH_TIMEOUT(starts.primaryReady(), 10000);
    first->kill();
    QVERIFY(first->waitForFinished());
    QCOMPARE(first->exitStatus(), QProcess::CrashExit);
    // What a killed primary leaves behind is what the next start must cope with.
    QCOMPARE(starts.lockFiles().size(), 1);
#ifdef Q_OS_WIN
    // A pipe goes with its process.
    QCOMPARE(starts.sockets().size(), 0);
#else
    QCOMPARE(starts.sockets().size(), 1);
#endif

    QVERIFY(!starts.primaryListens());

    QProcess *next = starts.start();
    QVERIFY(staysRunning(next));
    QVERIFY(starts.primaryListens());
    // ... and it is a working primary, not just a lonely process.
    QVERIFY(exitedAtOnce(starts.start()));
    QVERIFY(next->state() == QProcess::Running);
}

void TestShell::oldLockOfLivePrimaryStillCounts()
{
    Starts starts;
    QProcess *first = starts.start();
    QTRY_VERIFY_WITH_TIMEOUT(starts.primaryReady(), 10000);
    QFile lock(QDir(starts.tmpDir()).filePath(starts.lockFiles().first()));
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QVERIFY(lock.setFileTime(QDateTime::currentDateTimeUtc().addDays(-1), QFileDevice::FileModificationTime));
    lock.close();

    QVERIFY(exitedAtOnce(starts.start()));
    QVERIFY(staysRunning(first));
}

void TestShell::racingStartsLeaveOnePrimary()
{
    constexpr int Racers = 4;
    Starts starts;
    QList<QProcess *> racers;
    for (int i = 0; i < Racers; ++i)
        racers << starts.start();

    auto finishedCount = [&] {
        int n = 0;
        for (QProcess *p : racers)
            n += p->state() == QProcess::NotRunning ? 1 : 0;
        return n;
    };
    QTRY_COMPARE_WITH_TIMEOUT(finishedCount(), Racers - 1, SecondStartExitMs);
    QProcess *primary = nullptr;
    for (QProcess *p : racers) {
        if (p->state() != QProcess::NotRunning) {
            primary = p;
            continue;
        }
        QCOMPARE(p->exitStatus(), QProcess::NormalExit);
        QCOMPARE(p->exitCode(), 0);
    }
    QVERIFY(primary);
    QVERIFY(staysRunning(primary));
    QCOMPARE(finishedCount(), Racers - 1);
}

void TestShell::showsWhatTheEngineReports()
{
    UpdateClient client;
    client.setUnattended(true);
    vt3::UpdateFace &face = client;
    const QDateTime released = QDateTime::fromSecsSinceEpoch(1733650000);
    face.versionKnown(QStringLiteral("1733650000"), QStringLiteral("3.6.1"), released);
    QCOMPARE(UpdateClientProbe::label(client)->text(),
             QStringLiteral("Lasted Version:3.6.1 (%1)").arg(released.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
    QVERIFY(UpdateClientProbe::btnStart(client)->isEnabled());
    face.runStarting();
    QVERIFY(!UpdateClientProbe::btnStart(client)->isEnabled());
    face.logLine(QStringLiteral("<font color=red>old</font>"));
    face.runStarted();
    QCOMPARE(vt3test::logLines(client), QStringList());

    Ui::UpdateClient *ui = UpdateClientProbe::ui(client);
    face.transferProgress(3 * 512 * 1024, 3 * 1024 * 1024, 2048.0);
    QCOMPARE(ui->progressBar->value(), 50);
    QCOMPARE(ui->completed->text(), QStringLiteral("1.50 MB/3.00 MB"));
    QCOMPARE(ui->downloadSpeed->text(), QStringLiteral("2 KB/s"));
    // No speed to tell: the last one stays.
    face.transferProgress(2 * 1024 * 1024, 3 * 1024 * 1024, -1.0);
    QCOMPARE(ui->downloadSpeed->text(), QStringLiteral("2 KB/s"));
    face.unpackProgress(70);
    QCOMPARE(ui->progressBar->value(), 70);
    face.detailLine(QStringLiteral("only on disk"));
    QCOMPARE(vt3test::logLines(client), QStringList());

    // A client that runs gives the button back; nobody is there to close a box.
    face.runStopped(vt3::RunStop::ClientRunning);
    QVERIFY(UpdateClientProbe::btnStart(client)->isEnabled());
    face.runStopped(vt3::RunStop::MirrorListMissing);
    QVERIFY(ui->btnDetails->isChecked());
    face.runFinished();
    QVERIFY(UpdateClientProbe::btnStart(client)->isHidden());
    QVERIFY(!UpdateClientProbe::btnRun(client)->isHidden());
}

void TestShell::noWriteAccessOffersAdministrator()
{
    QTemporaryDir app;
    QVERIFY(app.isValid());
    vt3::setApplicationDirForTesting(app.path());
    UpdateClient client;
    vt3::UpdateFace &face = client;
    constexpr quint64 Announced = 1733650000;
    face.versionKnown(QString::number(Announced), QStringLiteral("3.6.1"), QDateTime::fromSecsSinceEpoch(Announced));
    face.runStarting();
    face.runStopped(vt3::RunStop::NoWriteAccess);
    QPushButton *elevate = UpdateClientProbe::btnElevate(client);
    // Only the elevation is Windows': elsewhere the log's line is all.
    QCOMPARE(elevate->isHidden(), !vt3::ElevatedUpdate::available());
    QVERIFY(!UpdateClientProbe::btnStart(client)->isEnabled());
#ifdef Q_OS_WIN
    // A stand-in for the updater tells how it was started; it installs
    // nothing, so the first outcome is a failure.
    const QString standIn = app.filePath(QStringLiteral("vt3update.exe"));
    QVERIFY(vt3test::placeFakeProgram(app.path(), QStringLiteral("vt3update.exe")));
    UpdateClientProbe::setElevatedProgram(client, standIn);
    elevate->click();
    QVERIFY(!elevate->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(elevate->isEnabled(), 30000);
    QCOMPARE(vt3test::readFile(app.filePath(QStringLiteral("args.txt"))).trimmed(), QByteArray("--update"));
    QVERIFY2(vt3test::logLines(client).last().contains(QStringLiteral("did not finish (exit code 0)")),
             qPrintable(vt3test::logLines(client).join(QLatin1Char('\n'))));

    // The elevated run's log, written after the click, is shown; the
    // installed release is the announced one: the run is finished. (A
    // version server of another test suite on this machine may have
    // announced another release since.)
    QVERIFY(vt3::recordInstalledRelease(app.path(), UpdateClientProbe::announcedRelease(client)));
    QDir().mkpath(vt3::RunLog::directory());
    QVERIFY(vt3test::writeFile(vt3::RunLog::fileName(0), "2026-12-10T17:00:00.000Z elevated run's line\n"));
    QFile log(vt3::RunLog::fileName(0));
    QVERIFY(log.open(QIODevice::ReadWrite));
    QVERIFY(log.setFileTime(QDateTime::currentDateTimeUtc().addSecs(3600), QFileDevice::FileModificationTime));
    log.close();
    elevate->click();
    QTRY_VERIFY_WITH_TIMEOUT(!UpdateClientProbe::btnRun(client)->isHidden(), 30000);
    QVERIFY(elevate->isHidden());
    QVERIFY(vt3test::logLines(client).join(QLatin1Char('\n')).contains(QStringLiteral("elevated run's line")));
    QFile::remove(vt3::RunLog::fileName(0));
#endif
    vt3::setApplicationDirForTesting(QString());
}

// The window tests need an application object, and the single-instance
// tests need it to be ours; so this binary brings its own main.
int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], SecondaryFlag) == 0)
        return runAsSecondStart(argc, argv);

    // Lock and socket go below the temp directory: a private one keeps this
    // run apart from any other, and second starts inherit it.
    QTemporaryDir tmp;
    if (!tmp.isValid())
        return 2;
    vt3test::setTempDir(tmp.path());

    QtSingleApplication app(argc, argv, true);
    // Closing a test window must not end the application.
    app.setQuitOnLastWindowClosed(false);
    TestShell tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "tst_shell.moc"
