// vt3-versiond, the real binary, on a free loopback port.

#include "replycheck.h"
#include "replysignature.h"
#include "signature.h"
#include "testsupport.h"

#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <memory>

#ifndef Q_OS_WIN
#include <signal.h>
#include <sys/types.h>
#endif

namespace {
const QByteArray GoodReply = "1733650000#3.6.1";
// Long enough for a reply over loopback, short enough to repeat.
constexpr int SilenceMs = 300;
// Only bounds a hang: a program started under the emulator the Windows
// tests run in, on a busy machine, takes seconds to reach its first line.
constexpr int ListeningWithinMs = 30000;

quint16 freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

// A client socket on its own port (and, if asked, its own source address).
struct Client
{
    QUdpSocket socket;
    quint16 serverPort;

    Client(quint16 serverPort, const QHostAddress &source = QHostAddress(QHostAddress::LocalHost))
        : serverPort(serverPort)
    {
        socket.bind(source, 0);
    }
    void send(const QByteArray &bytes) { socket.writeDatagram(bytes, QHostAddress::LocalHost, serverPort); }
    // Replies that arrive within the wait, with the port they came from.
    QList<QByteArray> collect(int waitMs, QList<quint16> *fromPorts = nullptr)
    {
        QList<QByteArray> replies;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < waitMs) {
            if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(20))
                continue;
            while (socket.hasPendingDatagrams()) {
                QByteArray data(static_cast<int>(qMax<qint64>(socket.pendingDatagramSize(), 0)), '\0');
                quint16 port = 0;
                socket.readDatagram(data.data(), data.size(), nullptr, &port);
                replies << data;
                if (fromPorts)
                    *fromPorts << port;
            }
        }
        return replies;
    }
    // Sends one request and waits for one reply.
    QByteArray ask(int waitMs = 2000)
    {
        send("3");
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < waitMs) {
            const QList<QByteArray> replies = collect(20);
            if (!replies.isEmpty())
                return replies.last();
        }
        return QByteArray();
    }
};

struct Server
{
    QProcess process;
    quint16 port = 0;
    QByteArray log;

    // Starts the daemon and waits until it says it listens (or ends).
    bool start(const QStringList &args, quint16 onPort)
    {
        port = onPort;
        process.setReadChannel(QProcess::StandardError);
        process.start(vt3test::toolFile(QStringLiteral("vt3-versiond")),
                      args + QStringList{QStringLiteral("--port"), QString::number(port)});
        if (!process.waitForStarted())
            return false;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ListeningWithinMs) {
            process.waitForReadyRead(50);
            log += process.readAllStandardError();
            if (log.contains("listening on"))
                return true;
            if (process.state() == QProcess::NotRunning)
                return false;
        }
        return false;
    }
    QByteArray readLog()
    {
        log += process.readAllStandardError();
        return log;
    }
    bool stop(int signal = SIGTERM)
    {
#ifdef Q_OS_WIN
        Q_UNUSED(signal);
        process.kill();
#else
        ::kill(static_cast<pid_t>(process.processId()), signal);
#endif
        const bool ended = process.waitForFinished(5000);
        readLog();
        return ended;
    }
    ~Server()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
};
} // namespace

class TestVersiond : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void repliesToSender_data();
    void repliesToSender();
    void requestSizes_data();
    void requestSizes();
    void rateLimit();
    void rereadsReplyFile();
    void signsAnswers();
    void stopsCleanly_data();
    void stopsCleanly();
    void refusesTakenPort_data();
    void refusesTakenPort();
    void refusesBadOptions_data();
    void refusesBadOptions();

private:
    QTemporaryDir dir;
};

void TestVersiond::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QFileInfo::exists(vt3test::toolFile(QStringLiteral("vt3-versiond"))));
    // Two version keys, to roll over from one to the other, and a release
    // key, which must not sign answers.
    const QStringList roles{QStringLiteral("version"), QStringLiteral("version"), QStringLiteral("release")};
    for (int i = 0; i < roles.size(); ++i) {
        const QString &role = roles.at(i);
        const QString out = dir.filePath(QStringLiteral("keys-%1").arg(i));
        const vt3test::ToolRun keygen =
            vt3test::runTool(QStringLiteral("vt3-publish"),
                             {QStringLiteral("keygen"), QStringLiteral("--out"), out, QStringLiteral("--role"), role});
        QVERIFY2(keygen.exitCode == 0, qPrintable(keygen.err));
    }
}

namespace {
// The version key the answer was signed with, of those keygen wrote; -1
// for none. Also checks the answer as a reader without keys takes it.
int signerOf(const QByteArray &answer, const QString &keysDir, const QByteArray &record, qint64 from, qint64 to)
{
    // Every reader so far takes the text before the first "," and splits
    // it at "#": the record must come out exactly as the file has it.
    const QString text = QString::fromUtf8(answer);
    const QStringList fields = text.split(QLatin1Char(',')).constFirst().split(QLatin1Char('#'));
    if (fields.join(QLatin1Char('#')).toUtf8() != record || fields.size() < 2)
        return -1;
    for (int i = 0; i < 2; ++i) {
        const QByteArray pub = vt3test::readFile(keysDir + QStringLiteral("/keys-%1/vt3-version.pub").arg(i));
        vt3::ReplyRules rules;
        rules.required = true;
        rules.keys = vt3::signature::parseTrustedKeys(pub).versionKeys;
        const vt3::ReplyJudgement judged = vt3::judgeReply(text, rules, to);
        if (judged.verdict == vt3::ReplyVerdict::Accepted && judged.time >= from && judged.time <= to)
            return i;
    }
    return -1;
}
} // namespace

void TestVersiond::signsAnswers()
{
    const QString keyFile = dir.filePath(QStringLiteral("online.key"));
    QFile::remove(keyFile);
    QVERIFY(QFile::copy(dir.filePath(QStringLiteral("keys-0/vt3-version.key")), keyFile));
    const QString replyFile = dir.filePath(QStringLiteral("signed.txt"));
    // Whatever followed the record in the file gives way to the signature.
    QVERIFY(vt3test::writeFile(replyFile, GoodReply + ",anything\n"));

    Server server;
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    QVERIFY2(server.start({QStringLiteral("--reply-file"), replyFile, QStringLiteral("--sign-key"), keyFile,
                           QStringLiteral("--rate"), QStringLiteral("0")},
                          freePort()),
             server.log.constData());
    Client client(server.port);
    QCOMPARE(signerOf(client.ask(), dir.path(), GoodReply, before, QDateTime::currentSecsSinceEpoch()), 0);

    // Rolled over: the new key file replaces the old one in place.
    const QByteArray next = vt3test::readFile(dir.filePath(QStringLiteral("keys-1/vt3-version.key")));
    QVERIFY(vt3test::writeFile(keyFile, next));
    QTRY_COMPARE(signerOf(client.ask(), dir.path(), GoodReply, before, QDateTime::currentSecsSinceEpoch()), 1);
    QVERIFY(vt3test::writeFile(replyFile, "1733660000#3.7.0"));
    QTRY_COMPARE(signerOf(client.ask(), dir.path(), "1733660000#3.7.0", before, QDateTime::currentSecsSinceEpoch()), 1);
    QTRY_VERIFY(server.readLog().contains("now signing with version key"));
}

void TestVersiond::repliesToSender_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("fileContent");
    QTest::newRow("--reply") << QStringList{QStringLiteral("--reply"), QString::fromLatin1(GoodReply)} << QByteArray();
    // A file ending in a newline, as editors write it.
    QTest::newRow("--reply-file") << QStringList{QStringLiteral("--reply-file")} << (GoodReply + "\n");
}

void TestVersiond::repliesToSender()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, fileContent);
    if (!fileContent.isEmpty()) {
        const QString path = dir.filePath(QStringLiteral("version.txt"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(fileContent);
        file.close();
        args << path;
    }

    Server server;
    QVERIFY2(server.start(args, freePort()), server.log.constData());
    Client first(server.port), second(server.port);
    first.send("3");
    second.send("3");
    QList<quint16> fromPorts;
    QCOMPARE(first.collect(SilenceMs, &fromPorts), QList<QByteArray>{GoodReply});
    QCOMPARE(fromPorts, QList<quint16>{server.port});
    QCOMPARE(second.collect(SilenceMs), QList<QByteArray>{GoodReply});

    QVERIFY(server.stop());
    const QByteArray log = server.readLog();
    // One line per answered request, naming the sender.
    QVERIFY2(log.contains("127.0.0.1:" + QByteArray::number(first.socket.localPort()) + " 1 byte(s), answered"),
             log.constData());
    QVERIFY(log.contains("127.0.0.1:" + QByteArray::number(second.socket.localPort()) + " 1 byte(s), answered"));
}

void TestVersiond::requestSizes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("answered");
    QTest::newRow("empty") << 0 << false;
    QTest::newRow("one byte") << 1 << true;
    QTest::newRow("64 bytes") << 64 << true;
    QTest::newRow("65 bytes") << 65 << false;
    QTest::newRow("1400 bytes") << 1400 << false;
}

void TestVersiond::requestSizes()
{
    QFETCH(int, size);
    QFETCH(bool, answered);
    Server server;
    QVERIFY2(server.start({QStringLiteral("--reply"), QString::fromLatin1(GoodReply)}, freePort()),
             server.log.constData());
    Client client(server.port);
    client.send(QByteArray(size, '3'));
    QCOMPARE(client.collect(SilenceMs).size(), answered ? 1 : 0);
    // The server is still there for the next request either way.
    QCOMPARE(client.ask(), GoodReply);

    QVERIFY(server.stop());
#ifndef Q_OS_WIN
    // The summary comes with a polite stop, which only a console of its own
    // can ask of a Windows program.
    const QByteArray log = server.readLog();
    const QByteArray expected = size == 0   ? "dropped 1 empty, 0 oversize"
                                : size > 64 ? "dropped 0 empty, 1 oversize"
                                            : "dropped 0 empty, 0 oversize";
    QVERIFY2(log.contains(expected), log.constData());
#endif
}

void TestVersiond::rateLimit()
{
    Server server;
    // A rate too low to refill during the test: only the burst is answered.
    QVERIFY2(server.start({QStringLiteral("--reply"), QString::fromLatin1(GoodReply), QStringLiteral("--rate"),
                           QStringLiteral("0.01"), QStringLiteral("--burst"), QStringLiteral("5"),
                           QStringLiteral("--quiet")},
                          freePort()),
             server.log.constData());
    // Two client ports on one address share a bucket: the limit is per source address.
    Client one(server.port), two(server.port);
    for (int i = 0; i < 10; ++i) {
        one.send("3");
        two.send("3");
    }
    const int answered = one.collect(SilenceMs).size() + two.collect(SilenceMs).size();
    QCOMPARE(answered, 5);

    // Another source address has its own bucket.
    VT3_SKIP_WITHOUT_LOOPBACK_ALIASES();
    Client other(server.port, QHostAddress(QStringLiteral("127.0.0.7")));
    QCOMPARE(other.ask(), GoodReply);

    QVERIFY(server.stop());
    const QByteArray log = server.readLog();
    QVERIFY2(log.contains("answered 6, dropped 0 empty, 0 oversize, 15 over the rate limit"), log.constData());
    // --quiet: no line per request.
    QVERIFY(!log.contains("byte(s), answered"));
}

void TestVersiond::rereadsReplyFile()
{
    const QString path = dir.filePath(QStringLiteral("reread.txt"));
    auto writeInPlace = [&](const QByteArray &content) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    };
    writeInPlace("1#first\n");

    Server server;
    QVERIFY2(
        server.start({QStringLiteral("--reply-file"), path, QStringLiteral("--rate"), QStringLiteral("0")}, freePort()),
        server.log.constData());
    Client client(server.port);
    QCOMPARE(client.ask(), QByteArray("1#first"));

    writeInPlace("2#second");
    QTRY_COMPARE(client.ask(), QByteArray("2#second"));

    // Replaced by rename, as publishing tools and editors do it. Windows
    // refuses to replace a file while the server has it open to read it;
    // a tool there tries again, and so does this.
    bool replaced = false;
    for (int attempt = 0; attempt < 20 && !replaced; ++attempt) {
        QSaveFile replacement(path);
        QVERIFY(replacement.open(QIODevice::WriteOnly));
        replacement.write("3#third\n");
        replaced = replacement.commit();
        if (!replaced)
            QTest::qWait(50);
    }
    QVERIFY(replaced);
    QTRY_COMPARE(client.ask(), QByteArray("3#third"));

    // A file caught empty keeps the last good reply; the next good one counts.
    writeInPlace("");
    QTest::qWait(SilenceMs);
    QCOMPARE(client.ask(), QByteArray("3#third"));
    writeInPlace("4#fourth");
    QTRY_COMPARE(client.ask(), QByteArray("4#fourth"));
    QVERIFY(server.readLog().contains("keeping the old reply"));
}

void TestVersiond::stopsCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestVersiond::stopsCleanly()
{
    QFETCH(int, signal);
#ifdef Q_OS_WIN
    QSKIP("Windows stops a console program by a console event, which only a process on the same console can send");
#endif
    Server server;
    QVERIFY2(server.start({QStringLiteral("--reply"), QString::fromLatin1(GoodReply)}, freePort()),
             server.log.constData());
    Client client(server.port);
    QCOMPARE(client.ask(), GoodReply);
    QVERIFY(server.stop(signal));
    QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.process.exitCode(), 0);
    QVERIFY2(server.readLog().contains("stopping: answered 1"), server.log.constData());
    // The port is free again.
    QUdpSocket again;
    QVERIFY(again.bind(QHostAddress::LocalHost, server.port, QAbstractSocket::DontShareAddress));
}

void TestVersiond::refusesTakenPort_data()
{
    QTest::addColumn<int>("mode");
    // The updater's own default bind allows reuse; the server must still refuse.
    QTest::newRow("held with the platform default") << int(QAbstractSocket::DefaultForPlatform);
    QTest::newRow("held with reuse") << int(QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    QTest::newRow("held exclusively") << int(QAbstractSocket::DontShareAddress);
}

void TestVersiond::refusesTakenPort()
{
    QFETCH(int, mode);
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::Any, 0, QAbstractSocket::BindMode(mode)));
    Server server;
    QVERIFY(!server.start({QStringLiteral("--reply"), QString::fromLatin1(GoodReply)}, holder.localPort()));
    QVERIFY(server.process.state() == QProcess::NotRunning || server.process.waitForFinished(5000));
    QCOMPARE(server.process.exitCode(), 1);
    QVERIFY2(server.readLog().contains("cannot bind"), server.log.constData());
}

void TestVersiond::refusesBadOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no reply") << QStringList();
    QTest::newRow("both replies") << QStringList{QStringLiteral("--reply"), QStringLiteral("1#2"),
                                                 QStringLiteral("--reply-file"), QStringLiteral("x")};
    QTest::newRow("missing file") << QStringList{QStringLiteral("--reply-file"), dir.filePath(QStringLiteral("none"))};
    QTest::newRow("reply too long") << QStringList{QStringLiteral("--reply"), QString(2000, QLatin1Char('x'))};
    QTest::newRow("bad address") << QStringList{QStringLiteral("--reply"), QStringLiteral("1#2"),
                                                QStringLiteral("--bind"), QStringLiteral("nowhere")};
    QTest::newRow("zero burst") << QStringList{QStringLiteral("--reply"), QStringLiteral("1#2"),
                                               QStringLiteral("--burst"), QStringLiteral("0")};
    QTest::newRow("missing version key") << QStringList{QStringLiteral("--reply"), QStringLiteral("1#2"),
                                                        QStringLiteral("--sign-key"),
                                                        dir.filePath(QStringLiteral("none.key"))};
    QTest::newRow("release key as version key")
        << QStringList{QStringLiteral("--reply"), QStringLiteral("1#2"), QStringLiteral("--sign-key"),
                       dir.filePath(QStringLiteral("keys-2/vt3-signing.key"))};
}

void TestVersiond::refusesBadOptions()
{
    QFETCH(QStringList, args);
    Server server;
    QVERIFY(!server.start(args, freePort()));
    QVERIFY(server.process.state() == QProcess::NotRunning || server.process.waitForFinished(5000));
    QCOMPARE(server.process.exitCode(), 1);
    QVERIFY(server.readLog().startsWith("vt3-versiond: "));
}

QTEST_MAIN(TestVersiond)
#include "tst_versiond.moc"
