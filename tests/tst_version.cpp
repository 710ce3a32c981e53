// The version query and its display, driven through the real version client
// and the real window against a UDP version server on loopback.

#include "appdir.h"
#include "releasedversion.h"
#include "releasestate.h"
#include "runlog.h"
#include "testsupport.h"
#include "udpversionserver.h"
#include "updateclientprobe.h"
#include "versionkey.h"

#include <QHostInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <ctime>
#include <memory>

namespace {
constexpr quint16 VersionPort = 17384;
constexpr quint16 LastLocalPort = 17484;
// Other test programs' windows may hold the server port for a while.
constexpr int PortWaitMs = 60000;
const QString Caption = QStringLiteral("Lasted Version:");
const QString Failure = QStringLiteral("Failed to retrieve Version number.");
const QString GoodReply = QStringLiteral("1733650000#3.6.1");
const QString GoodLabel = QStringLiteral("Lasted Version:3.6.1 (2024-12-08 09:26:40)");
const QString Unverified = QStringLiteral("The version server's answer could not be verified.");
const QString WrongClock = Unverified + QStringLiteral(" This computer's clock looks wrong.");
constexpr qint64 Hour = 3600;
constexpr qint64 Day = 24 * Hour;

QStringList debugLines;
QtMessageHandler previousHandler = nullptr;

void collectDebug(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg)
        debugLines << text;
    previousHandler(type, context, text);
}

void setTimeZone(const QByteArray &tz)
{
    qputenv("TZ", tz);
    tzset();
}

// Every reply the version client hands on, in order.
struct ReplyLog
{
    QStringList texts;
    void follow(releasedVersion *version)
    {
        QObject::connect(version, &releasedVersion::finished, [this](QString &reply) { texts << reply; });
    }
    void followEach(releasedVersion *version)
    {
        QObject::connect(version, &releasedVersion::datagramRead, [this](QString &reply) { texts << reply; });
    }
};

releasedVersion *versionOf(UpdateClient &client)
{
    return client.findChild<releasedVersion *>();
}

// Local port of the client's socket, 0 until it is bound.
quint16 boundPort(releasedVersion *version)
{
    QUdpSocket *socket = version->socket();
    return socket ? socket->localPort() : 0;
}
} // namespace

class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void requestBytesAndPort();
    void addressChoice_data();
    void addressChoice();
    void portWalk_data();
    void portWalk();
    void noFreePortSendsNothing();
    void replyDecoding_data();
    void replyDecoding();
    void laterDatagramsFromAnySource();
    void ownRequestIsNoReply();
    void datagramFilter_data();
    void datagramFilter();

    void display_data();
    void display();
    void checkAfterReply_data();
    void checkAfterReply();
    void laterReplies_data();
    void laterReplies();
    void windowTimeOut();
    void signedAnswers_data();
    void signedAnswers();

private:
    QTemporaryDir appDir;
    QTemporaryDir tmpDir;
    std::unique_ptr<UdpVersionServer> server;
};

void TestVersion::initTestCase()
{
    QVERIFY(appDir.isValid());
    QVERIFY(tmpDir.isValid());
    vt3test::setTempDir(tmpDir.path());
    vt3::setApplicationDirForTesting(appDir.path());
    setTimeZone("UTC");
    previousHandler = qInstallMessageHandler(collectDebug);
}

void TestVersion::init()
{
    debugLines.clear();
    for (const QString &name : {QStringLiteral("trusted-keys.txt"), QStringLiteral("mirrors.ini")})
        QFile::remove(appDir.filePath(name));
    QFile::remove(vt3::replyTimePath(appDir.path()));
    server = std::make_unique<UdpVersionServer>();
    QVERIFY2(server->listenWhenFree(PortWaitMs), "port 17384 is held by something else");
}

void TestVersion::cleanup()
{
    server.reset();
    setTimeZone("UTC");
}

void TestVersion::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void TestVersion::requestBytesAndPort()
{
    QObject holder;
    auto *version = new releasedVersion(&holder);
    QTRY_VERIFY(boundPort(version) != 0);
    const quint16 local = boundPort(version);
    QVERIFY(server->waitForRequestFrom(local));
    QTest::qWait(100);

    const QList<UdpVersionServer::Request> requests = server->requestsFrom(local);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().bytes, QByteArray("\x33", 1));
    QCOMPARE(version->server(), QHostAddress(QStringLiteral("127.0.0.1")));
    // The server holds 17384, so the client had to move on.
    QVERIFY(local > VersionPort && local <= LastLocalPort);

    const QString ip = debugLines.filter(QStringLiteral("IP:")).value(0);
    QVERIFY2(ip.contains(QLatin1String("127.0.0.1")), qPrintable(debugLines.join(QLatin1Char('\n'))));
    QCOMPARE(debugLines.filter(QStringLiteral("Send:")).size(), 1);
}

void TestVersion::addressChoice_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<bool>("lookupFailed");
    QTest::addColumn<QString>("chosen");

    const QStringList v4v4{QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")};
    QTest::newRow("IPv6 first") << QStringList{QStringLiteral("::1"), QStringLiteral("127.0.0.3")} << false
                                << QStringLiteral("127.0.0.3");
    QTest::newRow("several IPv4") << v4v4 << false << QStringLiteral("127.0.0.2");
    QTest::newRow("several IPv4, other order") << QStringList{QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.2")}
                                               << false << QStringLiteral("127.0.0.3");
    QTest::newRow("IPv4-mapped skipped") << QStringList{QStringLiteral("::ffff:127.0.0.2"), QStringLiteral("127.0.0.3")}
                                         << false << QStringLiteral("127.0.0.3");
    QTest::newRow("only IPv6") << QStringList{QStringLiteral("::1"), QStringLiteral("::ffff:127.0.0.2")} << false
                               << QString();
    QTest::newRow("empty result") << QStringList() << false << QString();
    QTest::newRow("lookup error") << v4v4 << true << QString();
}

void TestVersion::addressChoice()
{
    QFETCH(QStringList, addresses);
    QFETCH(bool, lookupFailed);
    QFETCH(QString, chosen);

    // One server per candidate address, so a request to the wrong one shows.
    VT3_SKIP_WITHOUT_LOOPBACK_ALIASES();
    UdpVersionServer second, third, six;
    QVERIFY(second.listen(VersionPort, QHostAddress(QStringLiteral("127.0.0.2"))));
    QVERIFY(third.listen(VersionPort, QHostAddress(QStringLiteral("127.0.0.3"))));
    QVERIFY(six.listen(VersionPort, QHostAddress(QHostAddress::LocalHostIPv6)));

    QObject holder;
    auto *version = new releasedVersion(&holder);
    QTRY_VERIFY(boundPort(version) != 0);
    version->forgetLookup();

    QHostInfo info;
    QList<QHostAddress> list;
    for (const QString &text : qAsConst(addresses))
        list << QHostAddress(text);
    info.setAddresses(list);
    if (lookupFailed)
        info.setError(QHostInfo::HostNotFound);
    version->getFirstAddr(info);

    // The socket work waits for the event loop.
    QVERIFY(version->socket() == nullptr);
    if (chosen.isEmpty()) {
        QVERIFY(version->server().isNull());
        QTest::qWait(200);
        QVERIFY(version->socket() == nullptr);
        QVERIFY(holder.findChildren<QUdpSocket *>().isEmpty());
        return;
    }

    QCOMPARE(version->server(), QHostAddress(chosen));
    QTRY_VERIFY(boundPort(version) != 0);
    const quint16 local = boundPort(version);
    UdpVersionServer &target = chosen == QLatin1String("127.0.0.2") ? second : third;
    UdpVersionServer &other = chosen == QLatin1String("127.0.0.2") ? third : second;
    QVERIFY(target.waitForRequestFrom(local));
    QTest::qWait(100);
    QCOMPARE(target.requestsFrom(local).size(), 1);
    QCOMPARE(other.requestsFrom(local).size(), 0);
    QCOMPARE(six.requestsFrom(local).size(), 0);
    QCOMPARE(holder.findChildren<QUdpSocket *>().size(), 1);
}

void TestVersion::portWalk_data()
{
    QTest::addColumn<int>("taken");
    // The server always holds 17384; these are further ports held locally.
    QTest::newRow("only the server's port") << 0;
    QTest::newRow("ten more") << 10;
    QTest::newRow("all but the last") << 99;
}

void TestVersion::portWalk()
{
    QFETCH(int, taken);
    std::vector<std::unique_ptr<QUdpSocket>> holders;
    for (int i = 1; i <= taken; ++i) {
        auto socket = std::make_unique<QUdpSocket>();
        // Held by someone else already is just as taken.
        socket->bind(QHostAddress::LocalHost, static_cast<quint16>(VersionPort + i), QAbstractSocket::DontShareAddress);
        holders.push_back(std::move(socket));
    }

    QObject holder;
    auto *version = new releasedVersion(&holder);
    QTRY_VERIFY(boundPort(version) != 0);
    const quint16 local = boundPort(version);
    QVERIFY2(local > VersionPort + taken && local <= LastLocalPort, qPrintable(QString::number(local)));
    // Whatever port the client got, the request goes to the server's port.
    QVERIFY(server->waitForRequestFrom(local));
    QCOMPARE(server->requestsFrom(local).first().bytes, QByteArray("3"));
}

void TestVersion::noFreePortSendsNothing()
{
    std::vector<std::unique_ptr<QUdpSocket>> holders;
    for (quint16 port = VersionPort + 1; port <= LastLocalPort; ++port) {
        auto socket = std::make_unique<QUdpSocket>();
        socket->bind(QHostAddress::LocalHost, port, QAbstractSocket::DontShareAddress);
        holders.push_back(std::move(socket));
    }
    server->setReply(GoodReply.toUtf8());

    QObject holder;
    auto *version = new releasedVersion(&holder);
    ReplyLog replies;
    replies.follow(version);
    QTRY_VERIFY(version->socket() != nullptr);
    QTest::qWait(300);
    QCOMPARE(boundPort(version), quint16(0));
    QCOMPARE(version->socket()->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(server->requests().isEmpty());
    QVERIFY(replies.texts.isEmpty());
    QVERIFY(debugLines.filter(QStringLiteral("Send:")).isEmpty());
}

void TestVersion::replyDecoding_data()
{
    QTest::addColumn<QList<QByteArray>>("datagrams");
    QTest::addColumn<QString>("text");

    QTest::newRow("plain") << QList<QByteArray>{"1733650000#3.6.1"} << GoodReply;
    QTest::newRow("zero byte ends the text")
        << QList<QByteArray>{QByteArray("1733650000#3.6\0.1#x", 19)} << QStringLiteral("1733650000#3.6");
    QTest::newRow("zero byte first") << QList<QByteArray>{QByteArray("\0"
                                                                     "1#2",
                                                                     4)}
                                     << QString();
    QTest::newRow("two pending, last wins") << QList<QByteArray>{"1#first", "2#second"} << QStringLiteral("2#second");
    QTest::newRow("longer then shorter") << QList<QByteArray>{"1#a much longer first one", "2#b"}
                                         << QStringLiteral("2#b");
    QTest::newRow("empty datagram") << QList<QByteArray>{QByteArray()} << QString();
    QTest::newRow("UTF-8") << QList<QByteArray>{"1#Gr\xc3\xbc\xc3\x9f"} << QStringLiteral("1#Gr\u00fc\u00df");
}

void TestVersion::replyDecoding()
{
    QFETCH(QList<QByteArray>, datagrams);
    QFETCH(QString, text);
    server->setReplies(datagrams);

    QObject holder;
    auto *version = new releasedVersion(&holder);
    ReplyLog replies;
    replies.follow(version);
    QTRY_VERIFY(boundPort(version) != 0);
    QVERIFY(server->waitForRequestFrom(boundPort(version)));
    QTRY_VERIFY(!replies.texts.isEmpty());
    QTest::qWait(100);
    // All datagrams were pending at the one notification.
    QCOMPARE(replies.texts, QStringList{text});
    QCOMPARE(debugLines.filter(QStringLiteral("reply:")).size(), 1);
}

void TestVersion::laterDatagramsFromAnySource()
{
    server->setReply(GoodReply.toUtf8());
    QObject holder;
    auto *version = new releasedVersion(&holder);
    ReplyLog replies;
    replies.follow(version);
    QTRY_COMPARE(replies.texts.size(), 1);
    const quint16 local = boundPort(version);

    server->sendTo(local, "2#again");
    QTRY_COMPARE(replies.texts.size(), 2);
    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.9")), 0));
    stranger.writeDatagram("3#stranger", QHostAddress::LocalHost, local);
    QTRY_COMPARE(replies.texts.size(), 3);
    QCOMPARE(replies.texts, (QStringList{GoodReply, QStringLiteral("2#again"), QStringLiteral("3#stranger")}));
    // Nothing is ever sent again.
    QCOMPARE(server->requestsFrom(local).size(), 1);
}

void TestVersion::ownRequestIsNoReply()
{
    // No server: the client's default bind gets the server port itself and
    // its request comes back to it.
    server.reset();
    QObject holder;
    auto *version = new releasedVersion(&holder);
    ReplyLog replies;
    replies.follow(version);
    QTRY_VERIFY(boundPort(version) != 0);
    if (boundPort(version) != VersionPort)
        QSKIP("another program took port 17384 meanwhile");
    QTRY_VERIFY(!debugLines.filter(QStringLiteral("Send:")).isEmpty());
    QTest::qWait(300);
    QVERIFY(replies.texts.isEmpty());

    // Any other sender is still heard, even with the same one-byte text.
    VT3_SKIP_WITHOUT_LOOPBACK_ALIASES();
    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.9")), 0));
    stranger.writeDatagram("3", QHostAddress::LocalHost, VersionPort);
    QTRY_COMPARE(replies.texts, QStringList{QStringLiteral("3")});
}

void TestVersion::datagramFilter_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("passedOn");

    // 127.0.0.1 is this machine's loopback address; 127.0.0.9 is on no
    // interface, so it stands for another host.
    const QString here = QStringLiteral("127.0.0.1");
    QTest::newRow("our bytes from this machine") << here << QByteArray("3") << false;
    QTest::newRow("other bytes from this machine") << here << QByteArray("1#2") << true;
    QTest::newRow("our bytes and more from this machine") << here << QByteArray("33") << true;
    QTest::newRow("our bytes from another host") << QStringLiteral("127.0.0.9") << QByteArray("3") << true;
}

void TestVersion::datagramFilter()
{
    QFETCH(QString, sender);
    QFETCH(QByteArray, datagram);
    QFETCH(bool, passedOn);
    server->setSilent();

    QObject holder;
    auto *version = new releasedVersion(&holder);
    ReplyLog replies;
    replies.follow(version);
    QTRY_VERIFY(boundPort(version) != 0);
    QVERIFY(server->waitForRequestFrom(boundPort(version)));

    if (sender != QLatin1String("127.0.0.1"))
        VT3_SKIP_WITHOUT_LOOPBACK_ALIASES();
    QUdpSocket from;
    QVERIFY(from.bind(QHostAddress(sender), 0));
    from.writeDatagram(datagram, QHostAddress::LocalHost, boundPort(version));
    QTRY_VERIFY(!replies.texts.isEmpty() || !debugLines.filter(QStringLiteral("own request:")).isEmpty());
    QCOMPARE(replies.texts, passedOn ? QStringList{QString::fromUtf8(datagram)} : QStringList());
}

void TestVersion::display_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("info");

    const QStringList good{QStringLiteral("1733650000"), QStringLiteral("3.6.1")};
    QTest::newRow("two fields") << GoodReply << QByteArray("UTC") << GoodLabel << true << good;
    QTest::newRow("local time") << GoodReply << QByteArray("XST-8")
                                << QStringLiteral("Lasted Version:3.6.1 (2024-12-08 17:26:40)") << true << good;
    QTest::newRow("three fields") << QStringLiteral("1733650000#3.6.1#beta") << QByteArray("UTC") << GoodLabel << true
                                  << (good + QStringList{QStringLiteral("beta")});
    QTest::newRow("text after comma") << QStringLiteral("1733650000#3.6.1,1800000000#9.9") << QByteArray("UTC")
                                      << GoodLabel << true << good;
    QTest::newRow("largest id") << QStringLiteral("4294967295#3.6.1") << QByteArray("UTC")
                                << QStringLiteral("Lasted Version:3.6.1 (2106-02-07 06:28:15)") << true
                                << QStringList{QStringLiteral("4294967295"), QStringLiteral("3.6.1")};
    QTest::newRow("id over 2^32") << QStringLiteral("4294967296#3.6.1") << QByteArray("XST-8")
                                  << QStringLiteral("Lasted Version:3.6.1 (1970-01-01 08:00:00)") << true
                                  << QStringList{QStringLiteral("4294967296"), QStringLiteral("3.6.1")};
    QTest::newRow("id with letters") << QStringLiteral("17336x0000#3.6.1") << QByteArray("XST-8")
                                     << QStringLiteral("Lasted Version:3.6.1 (1970-01-01 08:00:00)") << true
                                     << QStringList{QStringLiteral("17336x0000"), QStringLiteral("3.6.1")};
    QTest::newRow("negative id") << QStringLiteral("-1#3.6.1") << QByteArray("UTC")
                                 << QStringLiteral("Lasted Version:3.6.1 (1970-01-01 00:00:00)") << true
                                 << QStringList{QStringLiteral("-1"), QStringLiteral("3.6.1")};
    QTest::newRow("empty version text") << QStringLiteral("1733650000#") << QByteArray("UTC")
                                        << QStringLiteral("Lasted Version: (2024-12-08 09:26:40)") << true
                                        << QStringList{QStringLiteral("1733650000"), QString()};
    QTest::newRow("markup stays text") << QStringLiteral("1733650000#<b>3.6.1</b>") << QByteArray("UTC")
                                       << QStringLiteral("Lasted Version:<b>3.6.1</b> (2024-12-08 09:26:40)") << true
                                       << QStringList{QStringLiteral("1733650000"), QStringLiteral("<b>3.6.1</b>")};
    QTest::newRow("no hash") << QStringLiteral("1733650000") << QByteArray("UTC") << Failure << false
                             << QStringList{QStringLiteral("1733650000")};
    QTest::newRow("hash only after comma") << QStringLiteral("1733650000,1#2") << QByteArray("UTC") << Failure << false
                                           << QStringList{QStringLiteral("1733650000")};
    QTest::newRow("empty") << QString() << QByteArray("UTC") << Failure << false << QStringList{QString()};
}

void TestVersion::display()
{
    QFETCH(QString, reply);
    QFETCH(QByteArray, tz);
    QFETCH(QString, label);
    QFETCH(bool, enabled);
    QFETCH(QStringList, info);
    setTimeZone(tz);
    server->setReply(reply.toUtf8());

    UpdateClient client;
    ReplyLog replies;
    replies.follow(versionOf(client));
    QCOMPARE(UpdateClientProbe::label(client)->text(), Caption);
    QTRY_COMPARE(replies.texts.size(), 1);

    QCOMPARE(UpdateClientProbe::label(client)->text(), label);
    QCOMPARE(UpdateClientProbe::btnStart(client)->isEnabled(), enabled);
    QCOMPARE(client.focusWidget() == UpdateClientProbe::btnStart(client), enabled);
    QCOMPARE(UpdateClientProbe::engine(client).versionQuery().info(), info);
    QVERIFY(UpdateClientProbe::engine(client).versionQuery().received());
    // Text from the network is never rendered as markup.
    if (label.contains(QLatin1Char('<')))
        QCOMPARE(UpdateClientProbe::label(client)->textFormat(), Qt::PlainText);
}

void TestVersion::checkAfterReply_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("good reply") << GoodReply << GoodLabel << true;
    QTest::newRow("malformed reply") << QStringLiteral("nothing") << Failure << false;
}

void TestVersion::checkAfterReply()
{
    QFETCH(QString, reply);
    QFETCH(QString, label);
    QFETCH(bool, enabled);
    server->setReply(reply.toUtf8());

    UpdateClient client;
    ReplyLog replies;
    replies.follow(versionOf(client));
    // Before any reply the check writes the failure text.
    UpdateClient early;
    UpdateClientProbe::engine(early).versionQuery().timedOut();
    QCOMPARE(UpdateClientProbe::label(early)->text(), Failure);

    QTRY_COMPARE(replies.texts.size(), 1);
    UpdateClientProbe::engine(client).versionQuery().timedOut();
    QCOMPARE(UpdateClientProbe::label(client)->text(), label);
    QCOMPARE(UpdateClientProbe::btnStart(client)->isEnabled(), enabled);
}

void TestVersion::laterReplies_data()
{
    QTest::addColumn<QStringList>("sequence");
    // A run started between the replies disables the button.
    QTest::addColumn<bool>("runStarted");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("info");

    const QStringList good{QStringLiteral("1733650000"), QStringLiteral("3.6.1")};
    const QString other = QStringLiteral("1800000000#9.9");
    QTest::newRow("second good reply") << QStringList{GoodReply, other} << false << GoodLabel << true << good;
    QTest::newRow("second good reply during a run")
        << QStringList{GoodReply, other} << true << GoodLabel << false << good;
    QTest::newRow("malformed after good") << QStringList{GoodReply, QString()} << false << GoodLabel << true << good;
    QTest::newRow("malformed after good during a run")
        << QStringList{GoodReply, QStringLiteral("x")} << true << GoodLabel << false << good;
    QTest::newRow("good after malformed")
        << QStringList{QStringLiteral("x"), GoodReply} << false << GoodLabel << true << good;
    QTest::newRow("two malformed") << QStringList{QStringLiteral("x"), QStringLiteral("y,1#2")} << false << Failure
                                   << false << QStringList{QStringLiteral("y")};
    QTest::newRow("malformed, good, good")
        << QStringList{QString(), GoodReply, other} << false << GoodLabel << true << good;
}

void TestVersion::laterReplies()
{
    QFETCH(QStringList, sequence);
    QFETCH(bool, runStarted);
    QFETCH(QString, label);
    QFETCH(bool, enabled);
    QFETCH(QStringList, info);
    server->setSilent();

    UpdateClient client;
    releasedVersion *version = versionOf(client);
    ReplyLog replies;
    replies.follow(version);
    QTRY_VERIFY(boundPort(version) != 0);
    const quint16 local = boundPort(version);

    for (int i = 0; i < sequence.size(); ++i) {
        server->sendTo(local, sequence.at(i).toUtf8());
        QTRY_COMPARE(replies.texts.size(), i + 1);
        if (i == 0 && runStarted)
            UpdateClientProbe::btnStart(client)->setEnabled(false);
    }
    QCOMPARE(UpdateClientProbe::label(client)->text(), label);
    QCOMPARE(UpdateClientProbe::btnStart(client)->isEnabled(), enabled);
    QCOMPARE(UpdateClientProbe::engine(client).versionQuery().info(), info);
}

void TestVersion::windowTimeOut()
{
    // One wait of the window's own 10 s for four windows: no reply, a good
    // reply, a malformed reply, and a good reply that comes too late.
    server->setSilent();
    UpdateClient silent, answered, malformed;
    for (UpdateClient *client : {&silent, &answered, &malformed})
        QTRY_VERIFY(boundPort(versionOf(*client)) != 0);
    server->sendTo(boundPort(versionOf(answered)), GoodReply.toUtf8());
    server->sendTo(boundPort(versionOf(malformed)), "no record");
    QTRY_COMPARE(UpdateClientProbe::label(answered)->text(), GoodLabel);
    QTRY_COMPARE(UpdateClientProbe::label(malformed)->text(), Failure);

    QElapsedTimer elapsed;
    elapsed.start();
    QTest::qWait(8000);
    QCOMPARE(UpdateClientProbe::label(silent)->text(), Caption);
    QTRY_COMPARE_WITH_TIMEOUT(UpdateClientProbe::label(silent)->text(), Failure, 4000);
    QVERIFY(!UpdateClientProbe::btnStart(silent)->isEnabled());
    QCOMPARE(UpdateClientProbe::label(answered)->text(), GoodLabel);
    QVERIFY(UpdateClientProbe::btnStart(answered)->isEnabled());
    QCOMPARE(UpdateClientProbe::label(malformed)->text(), Failure);

    // Late but good: the caption comes back, not the failure text.
    server->sendTo(boundPort(versionOf(silent)), GoodReply.toUtf8());
    QTRY_COMPARE(UpdateClientProbe::label(silent)->text(), GoodLabel);
    QVERIFY(UpdateClientProbe::btnStart(silent)->isEnabled());
}

void TestVersion::signedAnswers_data()
{
    QTest::addColumn<QByteArray>("trustedKeys");
    // What the record of accepted times holds before; empty for no file.
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("mirrorsIni");
    QTest::addColumn<QList<QByteArray>>("datagrams");
    QTest::addColumn<QString>("label");
    // A line of the disk log, or of the notes kept for the next run's log
    // when the answer was shown.
    QTest::addColumn<QString>("logged");
    // The accepted time recorded afterwards; 0 for no record.
    QTest::addColumn<qint64>("recorded");

    const vt3test::VersionKey key('a');
    const vt3test::VersionKey second('b');
    const vt3test::VersionKey unknown('c');
    const QString record = GoodReply;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray fresh = key.answer(record, now);
    const QByteArray trusted = key.trustedLine();
    const QByteArray none;
    auto row = [](const char *name) { return &QTest::newRow(name); };
    auto timeRecord = [](qint64 time) -> QByteArray {
        return "[version]\naccepted=" + QByteArray::number(time) + '\n';
    };
    // The signature of `record` at `now`, carried by another text.
    auto carried = [&](const QString &text, qint64 time) {
        return vt3::replysignature::compose(text, time, key.signature(record, now));
    };

    *row("signed and fresh") << trusted << none << none << QList<QByteArray>{fresh} << GoodLabel << QString() << now;
    *row("unsigned") << trusted << none << none << QList<QByteArray>{record.toUtf8()} << Unverified
                     << QStringLiteral("Version answer dropped (unsigned): ") + record << qint64(0);
    *row("signed by an unknown key") << trusted << none << none << QList<QByteArray>{unknown.answer(record, now)}
                                     << Unverified << "(not signed by a trusted version key)" << qint64(0);
    *row("signature over another record")
        << trusted << none << none << QList<QByteArray>{carried(QStringLiteral("1800000000#9.9"), now)} << Unverified
        << "(not signed by a trusted version key): 1800000000#9.9" << qint64(0);
    *row("record changed after signing") << trusted << none << none
                                         << QList<QByteArray>{carried(QStringLiteral("1733650000#3.6.2"), now)}
                                         << Unverified << "(not signed by a trusted version key)" << qint64(0);
    *row("time changed after signing") << trusted << none << none << QList<QByteArray>{carried(record, now + 1)}
                                       << Unverified << "(not signed by a trusted version key)" << qint64(0);
    *row("replay of an older answer") << trusted << timeRecord(now) << none
                                      << QList<QByteArray>{key.answer(record, now - Hour)} << Unverified
                                      << "(older than an answer accepted before)" << now;
    *row("older than the maximum age") << trusted << none << none
                                       << QList<QByteArray>{key.answer(record, now - 8 * Day)} << Unverified
                                       << "(older than the maximum age)" << qint64(0);
    *row("47 hours ahead") << trusted << none << none << QList<QByteArray>{key.answer(record, now + 47 * Hour)}
                           << GoodLabel << "ahead of this computer's clock" << now + 47 * Hour;
    *row("49 hours ahead") << trusted << none << none << QList<QByteArray>{key.answer(record, now + 49 * Hour)}
                           << WrongClock << "(too far ahead of this computer's clock)" << qint64(0);
    *row("forged unsigned datagram first")
        << trusted << none << none << QList<QByteArray>{QByteArray("1733649000#3.5.0"), fresh} << GoodLabel
        << "Version answer dropped (unsigned): 1733649000#3.5.0" << now;
    *row("forged after the genuine one") << trusted << none << none
                                         << QList<QByteArray>{fresh, key.answer(QStringLiteral("1#0"), now - Hour)}
                                         << GoodLabel << QString() << now;
    *row("two trusted version keys") << trusted + second.trustedLine() << none << none
                                     << QList<QByteArray>{second.answer(record, now)} << GoodLabel << QString() << now;
    *row("maximum age from mirrors.ini, refused") << trusted << none << QByteArray("[version]\nmax-age=1h\n")
                                                  << QList<QByteArray>{key.answer(record, now - 2 * Hour)} << Unverified
                                                  << "(older than the maximum age)" << qint64(0);
    *row("maximum age from mirrors.ini, shown")
        << trusted << none << QByteArray("[version]\nmax-age=10d\n")
        << QList<QByteArray>{key.answer(record, now - 8 * Day)} << GoodLabel << QString() << now - 8 * Day;
    // Release keys say nothing about answers; old servers' readers stop at
    // the first ",".
    *row("no version key, signed answer")
        << QByteArray(32, 'k').toBase64() + '\n'
        << none << none << QList<QByteArray>{fresh} << GoodLabel << QString() << qint64(0);
    *row("corrupt record of accepted times")
        << trusted << QByteArray("[version]\naccepted=yesterday\n") << none << QList<QByteArray>{fresh} << GoodLabel
        << "The record of accepted version answers could not be read" << now;
}

void TestVersion::signedAnswers()
{
    QFETCH(QByteArray, trustedKeys);
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, mirrorsIni);
    QFETCH(QList<QByteArray>, datagrams);
    QFETCH(QString, label);
    QFETCH(QString, logged);
    QFETCH(qint64, recorded);
    QVERIFY(vt3test::writeFile(appDir.filePath(QStringLiteral("trusted-keys.txt")), trustedKeys));
    if (!record.isEmpty())
        QVERIFY(vt3test::writeFile(vt3::replyTimePath(appDir.path()), record));
    if (!mirrorsIni.isEmpty())
        QVERIFY(vt3test::writeFile(appDir.filePath(QStringLiteral("mirrors.ini")), mirrorsIni));
    QFile::remove(vt3::RunLog::fileName(0));
    server->setSilent();

    UpdateClient client;
    releasedVersion *version = versionOf(client);
    ReplyLog replies;
    replies.followEach(version);
    QTRY_VERIFY(boundPort(version) != 0);
    for (const QByteArray &datagram : datagrams)
        server->sendTo(boundPort(version), datagram);
    QTRY_COMPARE(replies.texts.size(), datagrams.size());
    // What the window shows once the time for an answer is up.
    vt3::VersionQuery &query = UpdateClientProbe::engine(client).versionQuery();
    query.timedOut();

    QCOMPARE(UpdateClientProbe::label(client)->text(), label);
    QCOMPARE(UpdateClientProbe::btnStart(client)->isEnabled(), label == GoodLabel);
    QCOMPARE(vt3::readAcceptedTime(appDir.path()).newest, recorded);
    if (logged.isEmpty()) {
        QVERIFY2(query.notes().isEmpty(), qPrintable(query.notes().join(QLatin1Char('\n'))));
    } else if (label == GoodLabel) {
        const QString notes = query.notes().join(QLatin1Char('\n'));
        QVERIFY2(notes.contains(logged), qPrintable(notes));
    } else {
        const QString diskLog = QString::fromUtf8(vt3test::readFile(vt3::RunLog::fileName(0)));
        QVERIFY2(diskLog.contains(logged), qPrintable(diskLog));
        QVERIFY2(diskLog.contains(label), qPrintable(diskLog));
    }
}

QTEST_MAIN(TestVersion)
#include "tst_version.moc"
