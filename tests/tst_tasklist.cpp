// The process list stand-in, run against real processes: copies of the
// stand-in chat client under the names asked for.

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace {

const char NoTasks[] = "INFO: No tasks are running which match the specified criteria.";

struct ToolResult
{
    int exitCode = -1;
    QStringList lines;
    QString errors;
};

ToolResult runTool(const QStringList &args)
{
    const vt3test::ToolRun run = vt3test::runTool(QStringLiteral("tasklist.exe"), args);
    // Windows ends lines with CR LF.
    QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line = line.trimmed();
    lines.removeAll(QString());
    return {run.exitCode, lines, run.err};
}

QStringList query(const QString &name)
{
    return {QStringLiteral("/fi"), QStringLiteral("IMAGENAME eq ") + name, QStringLiteral("/FO"), QStringLiteral("CSV"),
            QStringLiteral("/NH")};
}

} // namespace

class TestTasklist : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void matches_data();
    void matches();
    void noMatch();
    void otherCommandLines_data();
    void otherCommandLines();

private:
    qint64 startProcess(const QString &fileName);

    std::unique_ptr<QTemporaryDir> dir;
    std::vector<std::unique_ptr<QProcess>> processes;
};

void TestTasklist::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void TestTasklist::cleanup()
{
    for (auto &p : processes) {
        p->kill();
        p->waitForFinished();
    }
    processes.clear();
    dir.reset();
}

qint64 TestTasklist::startProcess(const QString &fileName)
{
    const QString path = dir->path() + QLatin1Char('/') + fileName;
    if (!QFile::exists(path)) {
        QFile::copy(QStringLiteral(VT3_FAKECLIENT), path);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VT3_FAKECLIENT_SECONDS"), QStringLiteral("30"));
    env.insert(QStringLiteral("VT3_FAKECLIENT_LOG"), dir->filePath(QStringLiteral("client.log")));
    processes.emplace_back(new QProcess);
    processes.back()->setProcessEnvironment(env);
    processes.back()->start(path, QStringList());
    processes.back()->waitForStarted();
    return processes.back()->processId();
}

void TestTasklist::matches_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("asked");

    QTest::newRow("one process") << QStringLiteral("vt3client_win32.exe") << 1 << QStringLiteral("vt3client_win32.exe");
    QTest::newRow("two processes") << QStringLiteral("vt3client_win32.exe") << 2
                                   << QStringLiteral("vt3client_win32.exe");
    // The filter ignores case; the answer keeps the file's own spelling.
    QTest::newRow("file in other case") << QStringLiteral("VT3Client_Win32.exe") << 1
                                        << QStringLiteral("vt3client_win32.exe");
    QTest::newRow("asked in other case") << QStringLiteral("vt3client_win32.exe") << 1
                                         << QStringLiteral("VT3CLIENT_WIN32.EXE");
}

void TestTasklist::matches()
{
    QFETCH(QString, fileName);
    QFETCH(int, count);
    QFETCH(QString, asked);

    QStringList pids;
    for (int i = 0; i < count; ++i)
        pids << QString::number(startProcess(fileName));
    // Another program must not show up.
    startProcess(QStringLiteral("vt3client_win32.exe.old"));

    const ToolResult result = runTool(query(asked));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines.size(), count);
    // Windows groups the thousands of the memory column.
    const QRegularExpression shape(QStringLiteral("^\"([^\"]+)\",\"(\\d+)\",\"Console\",\"1\",\"([\\d,]+) K\"$"));
    QStringList seenPids;
    for (const QString &line : result.lines) {
        const QRegularExpressionMatch match = shape.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QCOMPARE(match.captured(1), fileName);
        QVERIFY(match.captured(3).remove(QLatin1Char(',')).toLongLong() > 0);
        seenPids << match.captured(2);
    }
    seenPids.sort();
    pids.sort();
    QCOMPARE(seenPids, pids);
}

void TestTasklist::noMatch()
{
    startProcess(QStringLiteral("vt3client_win32.exe.old"));
    const ToolResult result = runTool(query(QStringLiteral("vt3client_win32.exe")));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.lines, QStringList{QLatin1String(NoTasks)});
}

void TestTasklist::otherCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("no header switch missing") << QStringList{
        QStringLiteral("/fi"), QStringLiteral("IMAGENAME eq a.exe"), QStringLiteral("/FO"), QStringLiteral("CSV")};
    QTest::newRow("other filter") << QStringList{QStringLiteral("/fi"), QStringLiteral("PID eq 1"),
                                                 QStringLiteral("/FO"), QStringLiteral("CSV"), QStringLiteral("/NH")};
    QTest::newRow("other format") << QStringList{QStringLiteral("/fi"), QStringLiteral("IMAGENAME eq a.exe"),
                                                 QStringLiteral("/FO"), QStringLiteral("LIST"), QStringLiteral("/NH")};
    QTest::newRow("filter split up") << QStringList{
        QStringLiteral("/fi"), QStringLiteral("IMAGENAME"), QStringLiteral("eq"), QStringLiteral("a.exe"),
        QStringLiteral("/FO"), QStringLiteral("CSV"),       QStringLiteral("/NH")};
    QTest::newRow("no name") << QStringList{QStringLiteral("/fi"), QStringLiteral("IMAGENAME eq "),
                                            QStringLiteral("/FO"), QStringLiteral("CSV"), QStringLiteral("/NH")};
}

void TestTasklist::otherCommandLines()
{
    QFETCH(QStringList, args);
    const ToolResult result = runTool(args);
    // Nothing on standard output that a caller could take for an answer.
    QVERIFY(result.exitCode != 0);
    QCOMPARE(result.lines, QStringList());
    QVERIFY(!result.errors.isEmpty());
}

QTEST_GUILESS_MAIN(TestTasklist)
#include "tst_tasklist.moc"
