// The network as users meet it: mirrors that redirect, answer with odd
// statuses, stall, continue broken files, speak TLS or sit behind a proxy.
// Every case is one whole run of the real window against local servers.

#include "appdir.h"
#include "httpfixture.h"
#include "httpproxy.h"
#include "nginxmirror.h"
#include "runlog.h"
#include "start/mirrormemory.h"
#include "testsupport.h"
#include "transfer/scheduler.h"
#include "updateclientprobe.h"

#include <QCryptographicHash>
#include <QHash>
#include <QNetworkProxyFactory>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
// windows.h first: the memory counters build on it.
#include <psapi.h>
#endif

namespace {

using Route = HttpFixture::Route;

const QString ReleaseId = QStringLiteral("1733650000");
const QString ManifestPath = QLatin1Char('/') + ReleaseId + QLatin1String("/client_win32.ini");
const QString OnePath = QLatin1Char('/') + ReleaseId + QLatin1String("/common_client/one.z");
const QString TwoPath = QLatin1Char('/') + ReleaseId + QLatin1String("/common_client/two.z");
const QByteArray UserAgent = "vt3update/" VT3_PROJECT_VERSION " (win32)";
const QString TlsDir = QStringLiteral(VT3_SOURCE_DIR "/tests/support/tls/");
// Short enough for a test, long enough that a local transfer never trips it.
constexpr int ShortStallMs = 400;
constexpr int RunTimeoutMs = 20000;
constexpr int StallAfterBytes = 3000;

QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray contentOf(int seed, int bytes = 40000)
{
    QByteArray data;
    for (int i = 0; data.size() < bytes; ++i)
        data += QByteArray::number(qint64(i) * 7919 + seed) + ' ';
    return data;
}

// Two release files, one.z and two.z, compressed as the mirrors serve them.
struct Release
{
    QByteArray one = contentOf('1');
    QByteArray two = contentOf('2');
    QByteArray servedOne = qCompress(one);
    QByteArray servedTwo = qCompress(two);

    static QString descriptor(const QByteArray &served, const QByteArray &content, const char *name)
    {
        return md5Hex(served) + QLatin1String("::") + QString::number(served.size()) + QLatin1String("::") +
               QString::number(content.size()) + QLatin1String("::") + md5Hex(content) + QLatin1String("::") +
               QLatin1String(name);
    }
    QByteArray manifest() const
    {
        return (QLatin1String("[common_client]\none.z=") + descriptor(servedOne, one, "one") +
                QLatin1String("\ntwo.z=") + descriptor(servedTwo, two, "two") + QLatin1Char('\n'))
            .toUtf8();
    }
    void publish(HttpFixture &http) const
    {
        http.serve(ManifestPath, manifest());
        http.serve(OnePath, servedOne);
        http.serve(TwoPath, servedTwo);
    }
};

// An application directory, a private temp directory and mirrors.
// Servers are kept in the order the updater tries them (ascending URL).
struct Net
{
    QTemporaryDir app;
    QTemporaryDir tmp;
    Release release;
    std::vector<std::unique_ptr<HttpFixture>> servers;
    vt3test::TempDirScope useTmp{tmp.path()};

    Net() { vt3::setApplicationDirForTesting(app.path()); }

    // count plain servers, or TLS ones named 127.0.0.1 and localhost
    // (trusted: the certificate of the test CA).
    void addServers(int count)
    {
        for (int i = 0; i < count; ++i) {
            servers.push_back(std::make_unique<HttpFixture>());
            QVERIFY(servers.back()->listen());
        }
        std::sort(servers.begin(), servers.end(),
                  [](const auto &a, const auto &b) { return a->baseUrl() < b->baseUrl(); });
    }
    void addTlsServer(const QString &host, bool trusted)
    {
        const QString name = trusted ? QStringLiteral("trusted") : QStringLiteral("untrusted");
        servers.push_back(std::make_unique<HttpFixture>());
        QVERIFY(servers.back()->listenTls(TlsDir + QLatin1String("server-") + name + QLatin1String(".pem"),
                                          TlsDir + QLatin1String("server-") + name + QLatin1String(".key"), host));
    }
    HttpFixture &at(int i) { return *servers.at(size_t(i)); }

    // mirrors.ini naming the first `listed` servers (all by default),
    // optionally by a host name instead of 127.0.0.1.
    void writeMirrors(int listed = -1, const QString &host = QString())
    {
        QSettings ini(app.filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
        const int count = listed < 0 ? int(servers.size()) : listed;
        ini.setValue(QStringLiteral("mirrors/size"), count + 1);
        for (int i = 0; i < count; ++i) {
            const QString group = QStringLiteral("m%1").arg(i);
            ini.setValue(QStringLiteral("mirrors/%1/mirror").arg(i + 1), group);
            QString url = at(i).baseUrl();
            if (!host.isEmpty())
                url.replace(QLatin1String("127.0.0.1"), host);
            ini.setValue(group + QLatin1String("/url"), url);
            ini.setValue(group + QLatin1String("/retries"), 1);
        }
    }

    QString workDir() const { return tmp.path() + QLatin1String("/voxtera_temp_0"); }

    // The work directory of a broken run holding `partial` as two.z.
    void prepareBrokenRun(const QByteArray &partial)
    {
        QDir().mkpath(workDir());
        QFile::setPermissions(workDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        vt3test::writeFile(workDir() + QLatin1String("/client_win32.ini"), release.manifest());
        vt3test::writeFile(workDir() + QLatin1String("/two.z"), partial);
    }

    bool installedIsRelease() const
    {
        return vt3test::readFile(app.filePath(QStringLiteral("one"))) == release.one &&
               vt3test::readFile(app.filePath(QStringLiteral("two"))) == release.two;
    }
};

// A run is over when it finished or stopped on one of its final lines.
bool runIsOver(UpdateClient &client)
{
    const QStringList lines = vt3test::logLines(client);
    return UpdateClientProbe::updateFinished(client) ||
           (!lines.isEmpty() &&
            (lines.last().endsWith(QLatin1String("not correct")) || lines.last().startsWith(QLatin1String("Failed"))));
}

// The run's red lines, but for the final "Update finished" one.
QStringList redLines(UpdateClient &client)
{
    QStringList red;
    const QStringList lines = vt3test::logLinesMarked(client);
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("red:")) && !line.startsWith(QLatin1String("red:Update finished")))
            red << line.mid(4);
    return red;
}

// Each pattern is a whole-line regular expression.
bool linesMatch(const QStringList &lines, const QStringList &patterns)
{
    if (lines.size() != patterns.size())
        return false;
    for (int i = 0; i < lines.size(); ++i)
        if (!QRegularExpression(QRegularExpression::anchoredPattern(patterns.at(i))).match(lines.at(i)).hasMatch())
            return false;
    return true;
}

#define RUN(client)                                                                                                    \
    do {                                                                                                               \
        vt3test::announceVersion(client, ReleaseId + QLatin1String("#1.0"));                                           \
        UpdateClientProbe::pressUpdate(client);                                                                        \
        QTRY_VERIFY_WITH_TIMEOUT(runIsOver(client), RunTimeoutMs);                                                     \
    } while (false)

#define VERIFY_RED_LINES(client, patterns)                                                                             \
    QVERIFY2(linesMatch(redLines(client), patterns), qPrintable(redLines(client).join(QLatin1String(" | "))))

// The requests, of any server, that did not name the updater.
QStringList withoutUserAgent(const Net &net)
{
    QStringList wrong;
    for (const auto &server : net.servers)
        for (const HttpFixture::Request &request : server->requests())
            if (request.headers.value("user-agent") != UserAgent)
                wrong << request.path + QLatin1Char(' ') + QString::fromLatin1(request.headers.value("user-agent"));
    return wrong;
}

Route redirectTo(const QString &location, int status)
{
    Route route;
    route.status = status;
    route.location = location.toUtf8();
    return route;
}

// A chain of `hops` redirects on server from path to target.
void redirectChain(HttpFixture &server, const QString &path, int hops, const QString &target)
{
    QString from = path;
    for (int i = 1; i <= hops; ++i) {
        const QString next = i == hops ? target : QStringLiteral("/hop%1").arg(i);
        server.setRoute(from, redirectTo(next, 302));
        from = next;
    }
}

// A release of `count` files f0.z, f1.z, ... in common_client, served by
// every server of net; the installed files are f0, f1, ...
struct ManyFiles
{
    QVector<QByteArray> contents;
    QVector<QByteArray> served;

    explicit ManyFiles(int count, int bytes = 40000)
    {
        for (int i = 0; i < count; ++i) {
            contents << contentOf('a' + i, bytes);
            served << qCompress(contents.last());
        }
    }
    static QString path(int i) { return QLatin1Char('/') + ReleaseId + QStringLiteral("/common_client/f%1.z").arg(i); }
    QByteArray manifest() const
    {
        QString text = QStringLiteral("[common_client]\n");
        for (int i = 0; i < served.size(); ++i)
            text += QStringLiteral("f%1.z=").arg(i) +
                    Release::descriptor(served.at(i), contents.at(i), qPrintable(QStringLiteral("f%1").arg(i))) +
                    QLatin1Char('\n');
        return text.toUtf8();
    }
    void publish(Net &net) const
    {
        for (const auto &server : net.servers) {
            server->serve(ManifestPath, manifest());
            for (int i = 0; i < served.size(); ++i)
                server->serve(path(i), served.at(i));
        }
    }
    // Into a folder a web server serves as the mirror's root.
    bool writeTo(const QString &root) const
    {
        if (!vt3test::writeFile(root + ManifestPath, manifest()))
            return false;
        for (int i = 0; i < served.size(); ++i)
            if (!vt3test::writeFile(root + path(i), served.at(i)))
                return false;
        return true;
    }
    bool installed(const Net &net) const
    {
        for (int i = 0; i < contents.size(); ++i)
            if (vt3test::readFile(net.app.filePath(QStringLiteral("f%1").arg(i))) != contents.at(i))
                return false;
        return true;
    }
};

void shortenLimits(UpdateClient &client, int stallMs, int paceWindowMs)
{
    vt3::RunLimits limits;
    limits.stallTimeoutMs = stallMs;
    limits.paceWindowMs = paceWindowMs;
    UpdateClientProbe::engine(client).setLimits(limits);
}

void setParallel(Net &net, int parallel)
{
    QSettings ini(net.app.filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
    ini.setValue(QStringLiteral("transfers/parallel"), parallel);
}

// The peak resident memory of this process so far, in kB (VmHWM).
qint64 peakResidentKb()
{
#ifdef Q_OS_WIN
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters))
        return -1;
    return qint64(counters.PeakWorkingSetSize / 1024);
#else
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
#endif
}

// The peak so far becomes what is resident now, so that each case measures
// its own peak (Linux; elsewhere the peak stays that of the process).
void resetPeakResident()
{
#ifndef Q_OS_WIN
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
#endif
}

} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void redirects_data();
    void redirects();
    void statusCodes_data();
    void statusCodes();
    void stalledFileMovesThroughMirrors();
    void drippingFileGivesWay();
    void severalTransfersAtOnce_data();
    void severalTransfersAtOnce();
    void brokenRunResumesEveryTransfer();
    void rangeContinuation_data();
    void rangeContinuation();
    void tls_data();
    void tls();
    void proxy_data();
    void proxy();
    void realMirror_data();
    void realMirror();
    void faultsOverHttp2_data();
    void faultsOverHttp2();
    void memoryStaysBounded_data();
    void memoryStaysBounded();
};

void TestNetwork::initTestCase()
{
    // The test CA is trusted by this process only, the way a system store
    // would trust a real one.
    if (QSslSocket::supportsSsl()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(TlsDir + QLatin1String("ca-trusted.pem"));
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    qunsetenv("http_proxy");
    qunsetenv("https_proxy");
    qunsetenv("no_proxy");
}

void TestNetwork::cleanup()
{
    qunsetenv("http_proxy");
}

void TestNetwork::redirects_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("red");
    QTest::newRow("every request 301 to a second mirror") << QStringLiteral("moved") << QStringList();
    QTest::newRow("302 on a file") << QStringLiteral("file") << QStringList();
    QTest::newRow("five hops are followed") << QStringLiteral("five") << QStringList();
    QTest::newRow("six hops fail over") << QStringLiteral("six") << QStringList{QStringLiteral("Error:.*")};
    QTest::newRow("HTTPS to HTTP refused")
        << QStringLiteral("downgrade") << QStringList{QStringLiteral("Error:.*[Ii]nsecure.*")};
}

void TestNetwork::redirects()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, red);
    Net net;
    int listed = 1;
    if (scenario == QLatin1String("downgrade")) {
        if (!QSslSocket::supportsSsl())
            QSKIP("TLS is not available to Qt here");
        // https://127.0.0.1 sorts before https://localhost; the first
        // sends the manifest request down to the plain server.
        net.addTlsServer(QStringLiteral("127.0.0.1"), true);
        net.addTlsServer(QStringLiteral("localhost"), true);
        net.servers.push_back(std::make_unique<HttpFixture>());
        QVERIFY(net.at(2).listen());
        net.release.publish(net.at(2));
        net.at(0).setRoute(ManifestPath, redirectTo(net.at(2).baseUrl() + ManifestPath.mid(1), 302));
        net.release.publish(net.at(1));
        listed = 2;
    } else {
        net.addServers(2);
    }
    if (scenario == QLatin1String("moved")) {
        net.at(0).redirectAll(net.at(1).baseUrl(), 301);
        net.release.publish(net.at(1));
    } else if (scenario == QLatin1String("file")) {
        net.release.publish(net.at(0));
        net.at(0).setRoute(TwoPath, redirectTo(net.at(1).baseUrl() + TwoPath.mid(1), 302));
        net.release.publish(net.at(1));
    } else if (scenario == QLatin1String("five") || scenario == QLatin1String("six")) {
        net.release.publish(net.at(0));
        redirectChain(net.at(0), ManifestPath, scenario == QLatin1String("five") ? 5 : 6, QStringLiteral("/real.ini"));
        net.at(0).serve(QStringLiteral("/real.ini"), net.release.manifest());
        net.release.publish(net.at(1));
        listed = 2;
    }
    net.writeMirrors(listed);

    UpdateClient client;
    RUN(client);
    VERIFY_RED_LINES(client, red);
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(net.installedIsRelease());
    QCOMPARE(withoutUserAgent(net), QStringList());
    if (scenario == QLatin1String("moved")) {
        // Files fetched at once reach each server in any order.
        QStringList asked = net.at(0).requestLog();
        QStringList served = net.at(1).requestLog();
        std::sort(asked.begin(), asked.end());
        std::sort(served.begin(), served.end());
        QCOMPARE(asked, served);
    }
    if (scenario == QLatin1String("file"))
        QCOMPARE(net.at(1).requestLog(), QStringList{TwoPath});
    if (scenario == QLatin1String("six"))
        QCOMPARE(net.at(0).requestCount(QStringLiteral("/real.ini")), 0);
    if (scenario == QLatin1String("downgrade"))
        QCOMPARE(net.at(2).requestCount(ManifestPath), 0); // the plain mirror was never asked
}

void TestNetwork::statusCodes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("secondMirrorServes");
    QTest::addColumn<QStringList>("red");
    const QString notFound = QStringLiteral("Error:.*Not Found.*");
    const QString sizeWrong = QStringLiteral(".*two.z file size not correct");
    QTest::newRow("manifest 204") << ManifestPath << 204 << true
                                  << QStringList{QStringLiteral("Error:HTTP status 204")};
    QTest::newRow("manifest 203 with a body")
        << ManifestPath << 203 << true << QStringList{QStringLiteral("Error:HTTP status 203")};
    QTest::newRow("file 404, next mirror serves") << TwoPath << 404 << true << QStringList{notFound, notFound};
    QTest::newRow("file 203 on the only mirror")
        << TwoPath << 203 << false
        << QStringList{QStringLiteral("Error:HTTP status 203"), QStringLiteral("Error:HTTP status 203"), sizeWrong};
    QTest::newRow("file 204 on the only mirror")
        << TwoPath << 204 << false
        << QStringList{QStringLiteral("Error:HTTP status 204"), QStringLiteral("Error:HTTP status 204"), sizeWrong};
}

void TestNetwork::statusCodes()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(bool, secondMirrorServes);
    QFETCH(QStringList, red);
    Net net;
    net.addServers(2);
    net.release.publish(net.at(0));
    net.release.publish(net.at(1));
    Route odd;
    odd.status = status;
    if (status != 204)
        odd.body = path == ManifestPath ? net.release.manifest() : net.release.servedTwo;
    net.at(0).setRoute(path, odd);
    net.writeMirrors(secondMirrorServes ? 2 : 1);

    UpdateClient client;
    RUN(client);
    VERIFY_RED_LINES(client, red);
    QCOMPARE(UpdateClientProbe::updateFinished(client), secondMirrorServes);
    QCOMPARE(net.installedIsRelease(), secondMirrorServes);
    // A failed file is asked for twice on its mirror, a manifest once.
    QCOMPARE(net.at(0).requestCount(path), path == ManifestPath ? 1 : 2);
}

void TestNetwork::stalledFileMovesThroughMirrors()
{
    // two.z stalls on the first mirror, is missing on the second and
    // continues on the third from where the first left it.
    Net net;
    net.addServers(3);
    for (int i = 0; i < 3; ++i)
        net.release.publish(net.at(i));
    Route stall;
    stall.body = net.release.servedTwo;
    stall.stallAfterBytes = StallAfterBytes;
    net.at(0).setRoute(TwoPath, stall);
    net.at(1).removeRoute(TwoPath);
    Route resumable;
    resumable.body = net.release.servedTwo;
    resumable.range = Route::HonourRange;
    net.at(2).setRoute(TwoPath, resumable);
    net.writeMirrors();

    UpdateClient client;
    shortenLimits(client, ShortStallMs, vt3::RunLimits().paceWindowMs);
    RUN(client);
    VERIFY_RED_LINES(client, (QStringList{QStringLiteral("Error:timeout"), QStringLiteral("Error:timeout"),
                                          QStringLiteral("Error:.*Not Found.*")}));
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(net.installedIsRelease());
    QCOMPARE(net.at(0).requestCount(TwoPath), 2);
    QCOMPARE(net.at(1).requestCount(TwoPath), 1);
    QCOMPARE(net.at(2).requestLog(), QStringList{TwoPath});
    QCOMPARE(net.at(2).requests().first().headers.value("range"), "bytes=" + QByteArray::number(StallAfterBytes) + '-');
}

void TestNetwork::drippingFileGivesWay()
{
    // two.z trickles from the first mirror, never silent for the stall
    // limit; the second has it at full speed.
    Net net;
    net.addServers(2);
    for (int i = 0; i < 2; ++i)
        net.release.publish(net.at(i));
    Route drip;
    drip.body = net.release.servedTwo;
    drip.dripBytes = 64;
    drip.dripIntervalMs = 100;
    net.at(0).setRoute(TwoPath, drip);
    net.writeMirrors();

    UpdateClient client;
    shortenLimits(client, vt3::RunLimits().stallTimeoutMs, 1000);
    RUN(client);
    const QString slow = QStringLiteral("Error:The transfer is too slow: less than 1 KB/s over the last 1 s.");
    VERIFY_RED_LINES(client, (QStringList{slow, slow}));
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(net.installedIsRelease());
    QCOMPARE(net.at(0).requestCount(TwoPath), 2);
    QCOMPARE(net.at(1).requestCount(TwoPath), 1);
}

void TestNetwork::severalTransfersAtOnce_data()
{
    QTest::addColumn<int>("parallel");
    QTest::newRow("one at a time") << 1;
    QTest::newRow("four") << 4;
    QTest::newRow("eight") << 8;
}

void TestNetwork::severalTransfersAtOnce()
{
    // Each file of the mix goes wrong its own way on the first mirror; the
    // second has them all. However many transfers run at once, the log and
    // the requests are those of one file at a time.
    QFETCH(int, parallel);
    Net net;
    net.addServers(2);
    const ManyFiles files(7);
    files.publish(net);
    HttpFixture &first = net.at(0);
    first.setRoute(ManyFiles::path(1), redirectTo(net.at(1).baseUrl() + ManyFiles::path(1).mid(1), 302));
    Route stall;
    stall.body = files.served.at(2);
    stall.stallAfterBytes = StallAfterBytes;
    first.setRoute(ManyFiles::path(2), stall);
    Route drip;
    drip.body = files.served.at(3);
    drip.dripBytes = 64;
    drip.dripIntervalMs = 100;
    first.setRoute(ManyFiles::path(3), drip);
    Route cut;
    cut.body = files.served.at(4);
    cut.closeAfterBytes = StallAfterBytes;
    first.setRoute(ManyFiles::path(4), cut);
    first.removeRoute(ManyFiles::path(5));
    net.writeMirrors();
    setParallel(net, parallel);

    UpdateClient client;
    shortenLimits(client, ShortStallMs, 1000);
    RUN(client);
    QStringList transfers;
    for (const QString &line : vt3test::logLinesMarked(client))
        if (line.startsWith(QLatin1String("Downloading f")) || line.startsWith(QLatin1String("red:Error")))
            transfers << line;
    const QString slow = QStringLiteral("red:Error:The transfer is too slow: less than 1 KB/s over the last 1 s\\.");
    QVERIFY2(linesMatch(transfers,
                        {QStringLiteral("Downloading f0\\.z\\.\\.\\."), QStringLiteral("Downloading f1\\.z\\.\\.\\."),
                         QStringLiteral("Downloading f2\\.z\\.\\.\\."), QStringLiteral("red:Error:timeout"),
                         QStringLiteral("red:Error:timeout"), QStringLiteral("Downloading f3\\.z\\.\\.\\."), slow, slow,
                         QStringLiteral("Downloading f4\\.z\\.\\.\\."), QStringLiteral("red:Error:.+"),
                         QStringLiteral("red:Error:.+"), QStringLiteral("Downloading f5\\.z\\.\\.\\."),
                         QStringLiteral("red:Error:.*Not Found.*"), QStringLiteral("red:Error:.*Not Found.*"),
                         QStringLiteral("Downloading f6\\.z\\.\\.\\.")}),
             qPrintable(transfers.join(QLatin1String(" | "))));
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(files.installed(net));
    const QVector<int> onFirst{1, 1, 2, 2, 2, 2, 1};
    const QVector<int> onSecond{0, 1, 1, 1, 1, 1, 0};
    for (int i = 0; i < files.served.size(); ++i) {
        QCOMPARE(first.requestCount(ManyFiles::path(i)), onFirst.at(i));
        QCOMPARE(net.at(1).requestCount(ManyFiles::path(i)), onSecond.at(i));
    }
}

void TestNetwork::brokenRunResumesEveryTransfer()
{
    // Four files stall half-way at once; the run is taken down as a killed
    // one would be, and the next continues each from where it stopped.
    Net net;
    net.addServers(1);
    const ManyFiles files(4);
    files.publish(net);
    Route half;
    half.stallAfterBytes = StallAfterBytes;
    half.range = Route::HonourRange;
    for (int i = 0; i < 4; ++i) {
        half.body = files.served.at(i);
        net.at(0).setRoute(ManyFiles::path(i), half);
    }
    net.writeMirrors();
    setParallel(net, 4);
    {
        UpdateClient broken;
        vt3test::announceVersion(broken, ReleaseId + QLatin1String("#1.0"));
        UpdateClientProbe::pressUpdate(broken);
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     for (int i = 0; i < 4; ++i)
                                         if (QFileInfo(net.workDir() + QStringLiteral("/f%1.z").arg(i)).size() !=
                                             StallAfterBytes)
                                             return false;
                                     return true;
                                 }()),
                                 RunTimeoutMs);
    }
    half.stallAfterBytes = -1;
    for (int i = 0; i < 4; ++i) {
        half.body = files.served.at(i);
        net.at(0).setRoute(ManyFiles::path(i), half);
    }
    net.at(0).resetLog();

    UpdateClient client;
    RUN(client);
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(files.installed(net));
    const QByteArray from = "bytes=" + QByteArray::number(StallAfterBytes) + '-';
    for (const HttpFixture::Request &request : net.at(0).requests())
        if (request.path != ManifestPath)
            QCOMPARE(request.headers.value("range"), from);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(net.at(0).requestCount(ManyFiles::path(i)), 1);
}

void TestNetwork::rangeContinuation_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("partial");
    QTest::addColumn<QList<QByteArray>>("ranges"); // of the requests for two.z, in order
    const QByteArray from = "bytes=" + QByteArray::number(StallAfterBytes) + '-';
    QTest::newRow("206 appends") << int(Route::HonourRange) << QStringLiteral("prefix") << QList<QByteArray>{from};
    QTest::newRow("200 starts over") << int(Route::IgnoreRange) << QStringLiteral("prefix") << QList<QByteArray>{from};
    QTest::newRow("wrong Content-Range starts over")
        << int(Route::WrongContentRange) << QStringLiteral("prefix") << QList<QByteArray>{from, QByteArray()};
    QTest::newRow("damaged prefix: whole file once more")
        << int(Route::HonourRange) << QStringLiteral("damaged") << QList<QByteArray>{from, QByteArray()};
    QTest::newRow("longer than announced: whole file")
        << int(Route::HonourRange) << QStringLiteral("longer") << QList<QByteArray>{QByteArray()};
}

void TestNetwork::rangeContinuation()
{
    QFETCH(int, mode);
    QFETCH(QString, partial);
    QFETCH(QList<QByteArray>, ranges);
    Net net;
    net.addServers(1);
    net.release.publish(net.at(0));
    Route two;
    two.body = net.release.servedTwo;
    two.range = Route::RangeMode(mode);
    net.at(0).setRoute(TwoPath, two);
    net.writeMirrors();
    QByteArray left = net.release.servedTwo.left(StallAfterBytes);
    if (partial == QLatin1String("damaged"))
        left[100] = char(left.at(100) ^ 0x01);
    else if (partial == QLatin1String("longer"))
        left = net.release.servedTwo + "trailing bytes";
    net.prepareBrokenRun(left);

    UpdateClient client;
    RUN(client);
    VERIFY_RED_LINES(client, QStringList());
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(net.installedIsRelease());
    QList<QByteArray> sent;
    for (const HttpFixture::Request &request : net.at(0).requests())
        if (request.path == TwoPath)
            sent << request.headers.value("range");
    QCOMPARE(sent, ranges);
    // The digests taken while the bytes arrived, also across a continued or
    // restarted transfer, are those of the file as served.
    const vt3::CheckedFile checked =
        UpdateClientProbe::run(client)->transfers()->checkedFiles().value(QStringLiteral("two.z"));
    QCOMPARE(checked.md5,
             QString::fromLatin1(QCryptographicHash::hash(net.release.servedTwo, QCryptographicHash::Md5).toHex()));
    QCOMPARE(checked.verification, vt3::Verification::Ok);
}

void TestNetwork::tls_data()
{
    QTest::addColumn<bool>("firstTrusted");
    QTest::addColumn<QStringList>("red");
    QTest::newRow("test CA") << true << QStringList();
    QTest::newRow("unknown CA fails over") << false << QStringList{QStringLiteral("Error:SSL handshake failed.*")};
}

void TestNetwork::tls()
{
    QFETCH(bool, firstTrusted);
    QFETCH(QStringList, red);
    if (!QSslSocket::supportsSsl())
        QSKIP("TLS is not available to Qt here");
    Net net;
    net.addTlsServer(QStringLiteral("127.0.0.1"), firstTrusted);
    net.addTlsServer(QStringLiteral("localhost"), true);
    net.release.publish(net.at(0));
    net.release.publish(net.at(1));
    net.writeMirrors();

    UpdateClient client;
    RUN(client);
    VERIFY_RED_LINES(client, red);
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(net.installedIsRelease());
    // Nothing is asked of a server whose certificate failed.
    QCOMPARE(net.at(0).requestLog().size(), firstTrusted ? 3 : 0);
    QCOMPARE(withoutUserAgent(net), QStringList());
}

void TestNetwork::proxy_data()
{
    QTest::addColumn<bool>("credentials");
    QTest::addColumn<QStringList>("red");
    QTest::newRow("forwarded") << false << QStringList();
    QTest::newRow("407") << true
                         << QStringList{QStringLiteral("Error:The proxy server asks for a user name and password\\."),
                                        QStringLiteral("Failed to download client_win32.ini!")};
}

void TestNetwork::proxy()
{
    QFETCH(bool, credentials);
    QFETCH(QStringList, red);
#ifdef Q_OS_WIN
    QSKIP("Windows takes the proxy from the system's settings, not from the environment");
#endif
    // The framework never proxies loopback names, so the mirror goes by a
    // name that does not resolve: only the proxy can reach it.
    const QString host = QStringLiteral("vt3-mirror.invalid");
    Net net;
    net.addServers(1);
    net.release.publish(net.at(0));
    net.writeMirrors(1, host);
    HttpProxy proxy;
    QVERIFY(proxy.listen());
    proxy.setRequireCredentials(credentials);
    qputenv("http_proxy", proxy.url().toLatin1());
    // On Linux the framework reads http_proxy even without being told; on
    // Windows only the explicit choice brings in the system's settings.
    QNetworkProxyFactory::setUseSystemConfiguration(false);

    UpdateClient client;
    QVERIFY(QNetworkProxyFactory::usesSystemConfiguration());
    RUN(client);
    VERIFY_RED_LINES(client, red);
    QCOMPARE(UpdateClientProbe::updateFinished(client), !credentials);
    const QString base = net.at(0).baseUrl().replace(QLatin1String("127.0.0.1"), host);
    QStringList viaProxy;
    for (const QString &path : net.at(0).requestLog())
        viaProxy << base + path.mid(1);
    if (credentials)
        viaProxy << base + ManifestPath.mid(1);
    // Files fetched at once pass the proxy and reach the server in any order.
    QStringList forwarded = proxy.requestLog();
    std::sort(forwarded.begin(), forwarded.end());
    std::sort(viaProxy.begin(), viaProxy.end());
    QCOMPARE(forwarded, viaProxy);
    QCOMPARE(net.at(0).requestLog().size(), credentials ? 0 : 3);
    QCOMPARE(withoutUserAgent(net), QStringList());
}

void TestNetwork::realMirror_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("offersHttp2");
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<int>("keepaliveRequests");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<int>("maxConnections");
    QTest::newRow("HTTP/2: one connection") << true << true << QByteArray() << 0 << QStringLiteral("HTTP/2.0") << 1;
    // Far more requests in flight than one connection may carry: GOAWAY
    // strands many of them each time.
    QTest::newRow("HTTP/2, GOAWAY every 40 requests")
        << true << true << QByteArray() << 40 << QStringLiteral("HTTP/2.0") << -1;
    QTest::newRow("mirror without HTTP/2") << true << false << QByteArray() << 0 << QStringLiteral("HTTP/1.1") << 6;
    QTest::newRow("http2=off") << true << true << QByteArray("off") << 0 << QStringLiteral("HTTP/1.1") << 6;
    // No negotiation without TLS: a plain server is met as HTTP/1.1.
    // Its connections are not all kept yet: the framework opens a few more
    // than six over a run, for reasons not found out.
    QTest::newRow("plain http://") << false << false << QByteArray() << 0 << QStringLiteral("HTTP/1.1") << -1;
}

void TestNetwork::realMirror()
{
    QFETCH(bool, tls);
    QFETCH(bool, offersHttp2);
    QFETCH(QByteArray, setting);
    QFETCH(int, keepaliveRequests);
    QFETCH(QString, protocol);
    QFETCH(int, maxConnections);
    if (!QSslSocket::supportsSsl())
        QSKIP("TLS is not available to Qt here");
    constexpr int FileCount = 200;
    constexpr int FileBytes = 3000;
    Net net;
    QTemporaryDir root;
    const ManyFiles files(FileCount, FileBytes);
    QVERIFY(files.writeTo(root.path()));
    NginxMirror::Options options;
    options.tls = tls;
    options.http2 = offersHttp2;
    options.keepaliveRequests = keepaliveRequests;
    NginxMirror mirror(root.path(), TlsDir, options);
    const QString why = mirror.start();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(vt3test::writeFile(net.app.filePath(QStringLiteral("mirrors.ini")),
                               "[mirrors]\nsize=2\n1\\mirror=m\n[m]\nurl=" + mirror.baseUrl().toLatin1() +
                                   "\nretries=1\n" +
                                   (setting.isEmpty() ? QByteArray() : "[transfers]\nhttp2=" + setting) + '\n'));

    UpdateClient client;
    // A lost request is found out well before the stall limit; a reply
    // that hangs for good fails the run here, not the test's patience.
    shortenLimits(client, 5000, 60000);
    RUN(client);
    VERIFY_RED_LINES(client, QStringList());
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(files.installed(net));
    // Every file asked for once and served whole, in the protocol expected.
    QHash<QString, int> served;
    QSet<qint64> connections;
    for (const NginxMirror::Entry &entry : mirror.entries()) {
        QCOMPARE(entry.protocol, protocol);
        QCOMPARE(entry.status, 200);
        ++served[entry.path];
        connections.insert(entry.connection);
    }
    QCOMPARE(served.size(), FileCount + 1);
    for (auto it = served.cbegin(); it != served.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));
    if (maxConnections > 0)
        QVERIFY2(connections.size() <= maxConnections, qPrintable(QString::number(connections.size())));
    if (keepaliveRequests <= 0)
        return;
    // The server did end its connections under the run, and what it left
    // unstarted was sent again with a line in the disk log only.
    QVERIFY(connections.size() >= (FileCount + 1) / keepaliveRequests);
    const QByteArray log = vt3test::readFile(vt3::RunLog::fileName(0));
    QVERIFY2(log.contains("was not started by the server"), log.right(2000).constData());
}

void TestNetwork::faultsOverHttp2_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("red");
    const QString timeout = QStringLiteral("Error:timeout");
    const QString slow = QStringLiteral("Error:The transfer is too slow: less than 1 KB/s over the last 1 s.");
    QTest::newRow("stalls midway") << QStringLiteral("stall") << QStringList{timeout, timeout};
    QTest::newRow("never answers") << QStringLiteral("silent") << QStringList{timeout, timeout};
    QTest::newRow("drips") << QStringLiteral("drip") << QStringList{slow, slow};
    // nginx ends the stream with INTERNAL_ERROR when the file behind it is cut.
    const QString reset = QStringLiteral("Error:Internal server error");
    QTest::newRow("cut short") << QStringLiteral("cut") << QStringList{reset, reset};
    // No reason phrase comes over HTTP/2; the line says what 404 means.
    const QString notFound = QStringLiteral("Error:.*server replied: Not Found");
    QTest::newRow("404") << QStringLiteral("404") << QStringList{notFound, notFound};
    // Relative ones: the framework would ask no host at all over HTTP/2.
    QTest::newRow("redirect") << QStringLiteral("redirect") << QStringList();
    QTest::newRow("manifest redirect") << QStringLiteral("manifest redirect") << QStringList();
}

void TestNetwork::faultsOverHttp2()
{
    // The first mirror is nginx over HTTP/2, passing on what a test server
    // behind it does with two.z; the second, over HTTPS too, has it whole.
    QFETCH(QString, fault);
    QFETCH(QStringList, red);
    if (!QSslSocket::supportsSsl())
        QSKIP("TLS is not available to Qt here");
    Net net;
    net.addServers(1);
    net.addTlsServer(QStringLiteral("localhost"), true);
    net.release.publish(net.at(0));
    net.release.publish(net.at(1));
    Route route;
    route.body = net.release.servedTwo;
    if (fault == QLatin1String("stall"))
        route.stallAfterBytes = StallAfterBytes;
    else if (fault == QLatin1String("silent"))
        route.firstByteDelayMs = -1;
    else if (fault == QLatin1String("cut"))
        route.closeAfterBytes = StallAfterBytes;
    if (fault == QLatin1String("drip")) {
        route.dripBytes = 64;
        route.dripIntervalMs = 100;
    }
    if (fault == QLatin1String("404")) {
        net.at(0).removeRoute(TwoPath);
    } else if (fault.endsWith(QLatin1String("redirect"))) {
        const QString moved = fault == QLatin1String("redirect") ? TwoPath : ManifestPath;
        net.at(0).setRoute(moved, redirectTo(QStringLiteral("/moved") + moved, 302));
        net.at(0).serve(QStringLiteral("/moved") + moved,
                        moved == TwoPath ? net.release.servedTwo : net.release.manifest());
    } else {
        net.at(0).setRoute(TwoPath, route);
    }
    NginxMirror::Options options;
    options.upstream = net.at(0).baseUrl();
    NginxMirror front(QString(), TlsDir, options);
    const QString why = front.start();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(vt3test::writeFile(net.app.filePath(QStringLiteral("mirrors.ini")),
                               "[mirrors]\nsize=3\n1\\mirror=a\n2\\mirror=b\n[a]\nurl=" + front.baseUrl().toLatin1() +
                                   "\nretries=1\n[b]\nurl=" + net.at(1).baseUrl().toLatin1() + "\nretries=1\n"));

    UpdateClient client;
    const bool stalls = fault == QLatin1String("stall") || fault == QLatin1String("silent");
    shortenLimits(client, stalls ? ShortStallMs * 4 : vt3::RunLimits().stallTimeoutMs,
                  fault == QLatin1String("drip") ? 1000 : vt3::RunLimits().paceWindowMs);
    RUN(client);
    VERIFY_RED_LINES(client, red);
    QVERIFY(UpdateClientProbe::updateFinished(client));
    QVERIFY(net.installedIsRelease());
    // Everything the front answered went over HTTP/2, two.z included.
    int twoAnswers = 0;
    for (const NginxMirror::Entry &entry : front.entries()) {
        QCOMPARE(entry.protocol, QStringLiteral("HTTP/2.0"));
        twoAnswers += entry.path == TwoPath ? 1 : 0;
    }
    QVERIFY(twoAnswers >= 1);
    QCOMPARE(net.at(1).requestCount(TwoPath), red.isEmpty() ? 0 : 1);
    if (fault.endsWith(QLatin1String("redirect")))
        QCOMPARE(net.at(0).requestCount(QStringLiteral("/moved") +
                                        (fault == QLatin1String("redirect") ? TwoPath : ManifestPath)),
                 1);
}

void TestNetwork::memoryStaysBounded_data()
{
    QTest::addColumn<bool>("http2");
    QTest::addColumn<int>("smallFiles");
    QTest::newRow("HTTP/1.1, six transfers") << false << 7;
    // Streams of one connection are not held back by the read buffer the
    // way a connection of its own is.
    QTest::newRow("HTTP/2, a hundred transfers") << true << 99;
}

void TestNetwork::memoryStaysBounded()
{
    QFETCH(bool, http2);
    QFETCH(int, smallFiles);
#ifdef Q_OS_WIN
    QSKIP("the mirrors of this case run on the build machine, which a Windows program cannot start");
#endif
#if defined(__SANITIZE_ADDRESS__)
    // Freed blocks wait in the sanitizer's quarantine instead of being
    // reused, so the peak says nothing about the transfer; the plain build
    // measures it.
    QSKIP("the address sanitizer keeps freed memory in quarantine");
#endif
    if (http2 && !QSslSocket::supportsSsl())
        QSKIP("TLS is not available to Qt here");
    // 256 MB from a server in its own process: only the updater's side of
    // the transfer counts in this process's peak. A transfer buffered faster
    // than it is written grows by a good part of the file.
    constexpr qint64 BigFileBytes = qint64(256) << 20;
    constexpr qint64 AllowedGrowthKb = 32 * 1024;
    Net net;
    QTemporaryDir root;
    const QString release = root.path() + QLatin1Char('/') + ReleaseId;
    QVERIFY(QDir().mkpath(release + QLatin1String("/common_client")));
    QFile big(release + QLatin1String("/common_client/big.z"));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(BigFileBytes));
    big.close();
    // A digest that cannot match: the run stops once the file is in. The
    // small files after it are fetched beside it, as many at once as the
    // connection allows.
    QByteArray manifest =
        "[common_client]\nbig.z=00000000000000000000000000000000::" + QByteArray::number(BigFileBytes) +
        "::1::x::big\n";
    for (int i = 0; i < smallFiles; ++i) {
        const QByteArray content = contentOf('a' + i);
        const QByteArray served = qCompress(content);
        const QString name = QStringLiteral("s%1").arg(i);
        QVERIFY(vt3test::writeFile(release + QLatin1String("/common_client/") + name + QLatin1String(".z"), served));
        manifest += name.toLatin1() + ".z=" + Release::descriptor(served, content, qPrintable(name)).toLatin1() + '\n';
    }
    QVERIFY(vt3test::writeFile(release + QLatin1String("/client_win32.ini"), manifest));
    QString url;
    QProcess server;
    std::unique_ptr<NginxMirror> nginx;
    if (http2) {
        nginx = std::make_unique<NginxMirror>(root.path(), TlsDir, NginxMirror::Options());
        const QString why = nginx->start();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        url = nginx->baseUrl();
    } else {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString port = QString::number(probe.serverPort());
        probe.close();
        server.start(QStringLiteral("python3"),
                     {QStringLiteral("-m"), QStringLiteral("http.server"), QStringLiteral("--bind"),
                      QStringLiteral("127.0.0.1"), QStringLiteral("--directory"), root.path(), port});
        QVERIFY(server.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     QTcpSocket s;
                                     s.connectToHost(QHostAddress::LocalHost, quint16(port.toUInt()));
                                     return s.waitForConnected(200);
                                 }()),
                                 10000);
        url = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    }
    QVERIFY(vt3test::writeFile(net.app.filePath(QStringLiteral("mirrors.ini")),
                               "[mirrors]\nsize=2\n1\\mirror=m\n[m]\nurl=" + url.toLatin1() + "\nretries=1\n"));

    QFile::remove(vt3::MirrorMemory::path());
    UpdateClient client;
    resetPeakResident();
    const qint64 before = peakResidentKb();
    RUN(client);
    const qint64 growth = peakResidentKb() - before;
    if (server.state() != QProcess::NotRunning) {
        server.kill();
        server.waitForFinished();
    }
    QVERIFY2(redLines(client).value(0).endsWith(QLatin1String("big.z file MD5 not correct")),
             qPrintable(redLines(client).join(QLatin1String(" | "))));
    QVERIFY2(before > 0 && growth < AllowedGrowthKb, qPrintable(QStringLiteral("grew by %1 kB").arg(growth)));
    // Bytes that came whole but are not the manifest's count against the
    // mirror that sent them, however well it served the rest.
    const QByteArray memory = vt3test::readFile(vt3::MirrorMemory::path());
    QVERIFY2(memory.contains("\twrong digest\t"), memory.constData());
    if (!nginx)
        return;
    // The small files shared one HTTP/2 connection; the large one had a
    // connection of its own, which its read buffer holds back.
    for (const NginxMirror::Entry &entry : nginx->entries())
        QCOMPARE(entry.protocol, entry.path.endsWith(QLatin1String("/big.z")) ? QStringLiteral("HTTP/1.1")
                                                                              : QStringLiteral("HTTP/2.0"));
}

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
