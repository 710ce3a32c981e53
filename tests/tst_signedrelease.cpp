// Whole runs against local mirrors with and without trusted-keys.txt, and
// the refusal of releases older than the installed one.
#include "appdir.h"
#include "httpfixture.h"
#include "releasebuilder.h"
#include "releasestate.h"
#include "signature.h"
#include "streamdigest.h"
#include "testsupport.h"
#include "updateclientprobe.h"

#include <QCryptographicHash>
#include <QSettings>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <sodium.h>

namespace {

constexpr int RunTimeoutMs = 15000;
constexpr quint64 ReleaseId = 1733650000;
const QString Finished = QStringLiteral("red:Update finished.Press \"Start Voxtera3\" run Voxtera3.");
const QString NotVerified =
    QStringLiteral("Release 1733650000 is not verified: this installation trusts no signing keys.");
const QString Invalid = QStringLiteral("red:Error:The signature of release 1733650000 is not valid.");
const QString Missing = QStringLiteral("red:Error:The signature of release 1733650000 is missing.");
const QString FailedLine = QStringLiteral("red:Failed to download client_win32.ini!");
const QByteArray Content("the signed client\n");

QString path(const QString &mirror, const QString &name)
{
    return QStringLiteral("/%1/%2/%3").arg(mirror).arg(ReleaseId).arg(name);
}

// Two mirrors on one local server, "/a/" tried before "/b/", both serving
// the same release; an application directory holding only mirrors.ini.
struct Env
{
    QTemporaryDir app;
    QTemporaryDir tmp;
    QTemporaryDir scratch;
    HttpFixture http;
    QByteArray publicKey;
    QByteArray secretKey;
    QByteArray manifest;
    QByteArray signature;
    QByteArray served;
    vt3test::TempDirScope useTmp{tmp.path()};

    // digest: what the signed manifest's [sha256] group says of the one
    // file; empty leaves the group out.
    explicit Env(const QByteArray &digest = QByteArray())
    {
        vt3::setApplicationDirForTesting(app.path());
        http.listen();
        QSettings mirrors(app.filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
        mirrors.setValue(QStringLiteral("mirrors/size"), 3);
        mirrors.setValue(QStringLiteral("mirrors/1/mirror"), QStringLiteral("a"));
        mirrors.setValue(QStringLiteral("mirrors/2/mirror"), QStringLiteral("b"));
        mirrors.setValue(QStringLiteral("a/url"), QString(http.baseUrl() + QStringLiteral("a/")));
        mirrors.setValue(QStringLiteral("a/retries"), 1);
        mirrors.setValue(QStringLiteral("b/url"), QString(http.baseUrl() + QStringLiteral("b/")));
        mirrors.setValue(QStringLiteral("b/retries"), 1);
        publicKey.resize(crypto_sign_PUBLICKEYBYTES);
        secretKey.resize(crypto_sign_SECRETKEYBYTES);
        crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                            reinterpret_cast<unsigned char *>(secretKey.data()));
        for (const QString &mirror : {QStringLiteral("a"), QStringLiteral("b")}) {
            vt3test::ReleaseBuilder release(QStringLiteral("/%1/%2/").arg(mirror).arg(ReleaseId));
            release.add(vt3test::CommonGroup, QStringLiteral("readme.txt.z"), Content, QStringLiteral("readme.txt"));
            manifest = release.manifest(scratch.path());
            if (!digest.isEmpty())
                manifest += "\n[sha256]\nreadme.txt.z=" + digest + "\n";
            release.publish(http, manifest);
            served = release.files.first().served;
        }
        signature = sign(manifest);
    }

    QByteArray sign(const QByteArray &bytes) const
    {
        const QByteArray message = vt3::signature::signedMessage(ReleaseId, bytes);
        QByteArray sig(crypto_sign_BYTES, '\0');
        crypto_sign_detached(reinterpret_cast<unsigned char *>(sig.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(message.constData()), quint64(message.size()),
                             reinterpret_cast<const unsigned char *>(secretKey.constData()));
        return vt3::signature::formatSignatureFile({{vt3::signature::keyId(publicKey), sig}});
    }
    void trustKey() { vt3test::writeFile(app.filePath(QStringLiteral("trusted-keys.txt")), publicKey.toBase64()); }
    QString installed() const { return app.filePath(QStringLiteral("readme.txt")); }
    QStringList tmpEntries() const
    {
        return QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
};

void run(UpdateClient &client, const QString &lastLine)
{
    vt3test::announceVersion(client, QString::number(ReleaseId) + QStringLiteral("#1.0"));
    UpdateClientProbe::pressUpdate(client);
    QTRY_VERIFY_WITH_TIMEOUT(vt3test::logLinesMarked(client).contains(lastLine), RunTimeoutMs);
}

enum class Mirror { Good, TamperedManifest, NoSignature, BadSignatureText };

} // namespace

Q_DECLARE_METATYPE(Mirror)

class TestSignedRelease : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }
    void signedRuns_data();
    void signedRuns();
    void sha256Checked_data();
    void sha256Checked();
    void downgrade_data();
    void downgrade();
    void digestsInPieces_data();
    void digestsInPieces();
};

void TestSignedRelease::signedRuns_data()
{
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<Mirror>("first");
    QTest::addColumn<Mirror>("second");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<bool>("installs");
    QTest::newRow("good release installs") << true << Mirror::Good << Mirror::Good << QStringList() << true;
    QTest::newRow("tampered manifest, then a good mirror")
        << true << Mirror::TamperedManifest << Mirror::Good << QStringList{Invalid} << true;
    QTest::newRow("signature file not a signature file")
        << true << Mirror::BadSignatureText << Mirror::Good << QStringList{Invalid} << true;
    QTest::newRow("signature missing everywhere")
        << true << Mirror::NoSignature << Mirror::NoSignature << QStringList{Missing, Missing, FailedLine} << false;
    QTest::newRow("tampered everywhere") << true << Mirror::TamperedManifest << Mirror::TamperedManifest
                                         << QStringList{Invalid, Invalid, FailedLine} << false;
    QTest::newRow("no trusted keys: as before, unverified")
        << false << Mirror::NoSignature << Mirror::NoSignature << QStringList() << true;
}

void TestSignedRelease::signedRuns()
{
    QFETCH(bool, trusted);
    QFETCH(Mirror, first);
    QFETCH(Mirror, second);
    QFETCH(QStringList, errors);
    QFETCH(bool, installs);

    Env env;
    if (trusted)
        env.trustKey();
    const QString manifestName = QStringLiteral("client_win32.ini");
    const QString sigName = QStringLiteral("client_win32.ini.sig");
    const QList<QPair<QString, Mirror>> setups{{QStringLiteral("a"), first}, {QStringLiteral("b"), second}};
    for (const auto &setup : setups) {
        switch (setup.second) {
        case Mirror::Good:
            env.http.serve(path(setup.first, sigName), env.signature);
            break;
        case Mirror::TamperedManifest: {
            QByteArray changed = env.manifest;
            changed[changed.size() - 2] = char(changed.at(changed.size() - 2) ^ 0x01);
            env.http.serve(path(setup.first, manifestName), changed);
            env.http.serve(path(setup.first, sigName), env.signature);
            break;
        }
        case Mirror::BadSignatureText:
            env.http.serve(path(setup.first, sigName), QByteArray("<html>not here</html>"));
            break;
        case Mirror::NoSignature:
            break;
        }
    }

    UpdateClient client;
    run(client, installs ? Finished : FailedLine);
    const QStringList log = vt3test::logLinesMarked(client);
    QStringList red;
    for (const QString &line : log)
        if (line.startsWith(QLatin1String("red:")) && line != Finished)
            red << line;
    QCOMPARE(red, errors);
    QCOMPARE(log.count(NotVerified), trusted ? 0 : 1);

    if (installs) {
        QCOMPARE(vt3test::readFile(env.installed()), Content);
        QCOMPARE(vt3::installedRelease(env.app.path()), ReleaseId);
        return;
    }
    // Refused everywhere: only manifests and signatures were asked for,
    // nothing of the installation changed and no work directory is left.
    for (const QString &request : env.http.requestLog())
        QVERIFY2(request.endsWith(manifestName) || request.endsWith(sigName), qPrintable(request));
    QCOMPARE(env.http.requestLog().size(), 4);
    QVERIFY(!QFileInfo::exists(env.installed()));
    QCOMPARE(QDir(env.app.path()).entryList(QDir::Files),
             (QStringList{QStringLiteral("mirrors.ini"), QStringLiteral("trusted-keys.txt")}));
    QCOMPARE(env.tmpEntries(), QStringList());
}

void TestSignedRelease::sha256Checked_data()
{
    QTest::addColumn<bool>("matches");
    QTest::newRow("digest matches") << true;
    QTest::newRow("digest differs") << false;
}

void TestSignedRelease::sha256Checked()
{
    QFETCH(bool, matches);
    // MD5 and size are right either way; only the SHA-256 tells them apart.
    Env probe;
    const QByteArray right = QCryptographicHash::hash(probe.served, QCryptographicHash::Sha256).toHex();
    QByteArray wrong = right;
    wrong[0] = wrong.at(0) == '0' ? '1' : '0';
    Env env(matches ? right : wrong);
    env.trustKey();
    env.http.serve(path(QStringLiteral("a"), QStringLiteral("client_win32.ini.sig")), env.signature);
    UpdateClient client;
    const QString work = env.tmp.path() + QStringLiteral("/voxtera_temp_0");
    const QString stop = QStringLiteral("red:%1 file MD5 not correct")
                             .arg(QDir::toNativeSeparators(work + QStringLiteral("/readme.txt.z")));
    run(client, matches ? Finished : stop);
    if (matches) {
        QCOMPARE(vt3test::readFile(env.installed()), Content);
    } else {
        QVERIFY(!vt3test::logLinesMarked(client).contains(Finished));
        QVERIFY(!QFileInfo::exists(env.installed()));
        QCOMPARE(vt3::installedRelease(env.app.path()), quint64(0));
    }
}

void TestSignedRelease::downgrade_data()
{
    QTest::addColumn<quint64>("recorded");
    QTest::addColumn<bool>("refused");
    QTest::newRow("older than installed") << ReleaseId + 1 << true;
    QTest::newRow("same as installed") << ReleaseId << false;
    QTest::newRow("newer than installed") << ReleaseId - 1 << false;
}

void TestSignedRelease::downgrade()
{
    QFETCH(quint64, recorded);
    QFETCH(bool, refused);
    Env env;
    QVERIFY(vt3::recordInstalledRelease(env.app.path(), recorded));
    UpdateClient client;
    const QString refusal =
        QStringLiteral("red:Release %1 is older than the installed release %2; it is not installed.")
            .arg(ReleaseId)
            .arg(recorded);
    run(client, refused ? refusal : Finished);
    if (refused) {
        QCOMPARE(vt3test::logLinesMarked(client), QStringList{refusal});
        QCOMPARE(env.http.requestLog(), QStringList());
        QCOMPARE(vt3::installedRelease(env.app.path()), recorded);
        QVERIFY(!QFileInfo::exists(env.installed()));
    } else {
        QCOMPARE(vt3test::readFile(env.installed()), Content);
        QCOMPARE(vt3::installedRelease(env.app.path()), ReleaseId);
    }
}

void TestSignedRelease::digestsInPieces_data()
{
    QTest::addColumn<int>("piece");
    QTest::addColumn<bool>("helped");
    // Pieces below and above the size at which the SHA-256 moves to the
    // helper thread, with and without one.
    QTest::newRow("small pieces") << 1000 << true;
    QTest::newRow("large pieces, helped") << 1024 * 1024 << true;
    QTest::newRow("large pieces, alone") << 1024 * 1024 << false;
    QTest::newRow("odd pieces, helped") << 65537 << true;
}

void TestSignedRelease::digestsInPieces()
{
    QFETCH(int, piece);
    QFETCH(bool, helped);
    QByteArray data(5 * 1024 * 1024 + 3, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((quint32(i) * 7919u) >> 5);
    QThreadPool helper;
    vt3::StreamDigest digest;
    if (helped)
        digest.setHelper(&helper);
    for (int at = 0; at < data.size(); at += piece)
        digest.addData(data.constData() + at, qMin(piece, data.size() - at));
    QCOMPARE(digest.length(), qint64(data.size()));
    QCOMPARE(digest.md5Hex(), QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex()));
    QCOMPARE(digest.sha256Hex(),
             QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()));
}

QTEST_MAIN(TestSignedRelease)
#include "tst_signedrelease.moc"
