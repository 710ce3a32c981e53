// Release signatures as pure functions: the signature file, the trusted
// keys, the signed message and the Ed25519 check, and the installed-release
// record that downgrade refusal reads.
#include "releasestate.h"
#include "signature.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sodium.h>

namespace sig = vt3::signature;

namespace {

constexpr quint64 ReleaseId = 1733650000;
const QByteArray Manifest("[common_client]\nreadme.txt.z=0123::10::4::abcd::readme.txt\n");

struct KeyPair
{
    QByteArray publicKey;
    QByteArray secret;
};

KeyPair makeKey()
{
    KeyPair key;
    key.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    key.secret.resize(crypto_sign_SECRETKEYBYTES);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(key.publicKey.data()),
                        reinterpret_cast<unsigned char *>(key.secret.data()));
    return key;
}

QByteArray signWith(const KeyPair &key, const QByteArray &message)
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(message.constData()), quint64(message.size()),
                         reinterpret_cast<const unsigned char *>(key.secret.constData()));
    return signature;
}

QByteArray entryLines(int n, const QByteArray &keyId, const QByteArray &sigText)
{
    const QByteArray number = QByteArray::number(n);
    return number + "\\key=" + keyId + "\n" + number + "\\sig=" + sigText + "\n";
}

enum class Case {
    Good,
    ManifestByteChanged,
    ReleaseIdChanged,
    WrongKey,
    KeyIdOfAnotherKey,
    TruncatedSignature,
    NotBase64,
    TwoSignaturesOneGood,
    TwoSignaturesNoneTrusted,
    SizeZero,
};

} // namespace

Q_DECLARE_METATYPE(Case)

class TestSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void knownAnswer();
    void messageLayout();
    void verification_data();
    void verification();
    void signatureFileText_data();
    void signatureFileText();
    void trustedKeys_data();
    void trustedKeys();
    void releaseState_data();
    void releaseState();

private:
    KeyPair trusted;
    KeyPair other;
};

void TestSignature::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    trusted = makeKey();
    other = makeKey();
}

// RFC 8032, Ed25519 test 1: the empty message. Its key id is the first 8
// bytes of SHA-256 of the public key, taken by hand from sha256sum.
void TestSignature::knownAnswer()
{
    const QByteArray publicKey =
        QByteArray::fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    const QByteArray signature =
        QByteArray::fromHex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e"
                            "39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
    QVERIFY(sig::verifyDetached(QByteArray(), signature, publicKey));
    QVERIFY(!sig::verifyDetached(QByteArray("x"), signature, publicKey));
    QCOMPARE(sig::keyId(publicKey), QByteArray("21fe31dfa154a261"));
}

void TestSignature::messageLayout()
{
    // What the release tool signs and the updater checks, byte for byte.
    QCOMPARE(sig::signedMessage(ReleaseId, Manifest), QByteArray("vt3-release-v1\n1733650000\n") + Manifest);
    QCOMPARE(sig::signedMessage(7, QByteArray()), QByteArray("vt3-release-v1\n7\n"));
}

void TestSignature::verification_data()
{
    QTest::addColumn<Case>("signatureCase");
    QTest::addColumn<bool>("verified");
    QTest::newRow("good") << Case::Good << true;
    QTest::newRow("one manifest byte changed") << Case::ManifestByteChanged << false;
    QTest::newRow("release id changed") << Case::ReleaseIdChanged << false;
    QTest::newRow("signed by a key not trusted") << Case::WrongKey << false;
    QTest::newRow("good signature under another key's id") << Case::KeyIdOfAnotherKey << false;
    QTest::newRow("truncated signature") << Case::TruncatedSignature << false;
    QTest::newRow("signature not base64") << Case::NotBase64 << false;
    QTest::newRow("two signatures, the second good") << Case::TwoSignaturesOneGood << true;
    QTest::newRow("two signatures, neither trusted") << Case::TwoSignaturesNoneTrusted << false;
    QTest::newRow("size zero") << Case::SizeZero << false;
}

void TestSignature::verification()
{
    QFETCH(Case, signatureCase);
    QFETCH(bool, verified);

    QByteArray manifest = Manifest;
    quint64 releaseId = ReleaseId;
    const QByteArray goodSig = signWith(trusted, sig::signedMessage(ReleaseId, Manifest)).toBase64();
    const QByteArray trustedId = sig::keyId(trusted.publicKey);
    const QByteArray otherId = sig::keyId(other.publicKey);
    const QByteArray otherSig = signWith(other, sig::signedMessage(ReleaseId, Manifest)).toBase64();
    QByteArray entries = entryLines(1, trustedId, goodSig);
    int size = 1;
    switch (signatureCase) {
    case Case::Good:
        break;
    case Case::ManifestByteChanged:
        manifest[manifest.size() / 2] = char(manifest.at(manifest.size() / 2) ^ 0x01);
        break;
    case Case::ReleaseIdChanged:
        releaseId = ReleaseId + 1;
        break;
    case Case::WrongKey:
        entries = entryLines(1, otherId, otherSig);
        break;
    case Case::KeyIdOfAnotherKey:
        entries = entryLines(1, otherId, goodSig);
        break;
    case Case::TruncatedSignature:
        entries = entryLines(1, trustedId, goodSig.left(goodSig.size() - 8));
        break;
    case Case::NotBase64:
        entries = entryLines(1, trustedId, QByteArray(goodSig).replace(4, 2, "!*"));
        break;
    case Case::TwoSignaturesOneGood:
        entries = entryLines(1, otherId, otherSig) + entryLines(2, trustedId, goodSig);
        size = 2;
        break;
    case Case::TwoSignaturesNoneTrusted:
        entries = entryLines(1, otherId, otherSig) + entryLines(2, otherId, otherSig);
        size = 2;
        break;
    case Case::SizeZero:
        size = 0;
        break;
    }
    const QByteArray text = "[signatures]\nsize=" + QByteArray::number(size) + "\n" + entries;
    const sig::SignatureFile file = sig::parseSignatureFile(text);
    QCOMPARE(sig::verifyRelease(file, releaseId, manifest, {trusted.publicKey}), verified);
    // Trusting the other key as well never makes the trusted key's failures
    // pass; it only admits the other key's own good signatures.
    const bool otherSigned = signatureCase == Case::WrongKey || signatureCase == Case::TwoSignaturesOneGood ||
                             signatureCase == Case::TwoSignaturesNoneTrusted;
    QCOMPARE(sig::verifyRelease(file, releaseId, manifest, {trusted.publicKey, other.publicKey}),
             verified || otherSigned);
}

void TestSignature::signatureFileText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("decoded");
    const QByteArray b64 = QByteArray(64, 'a').toBase64();
    QTest::newRow("as the tool writes it")
        << sig::formatSignatureFile({{"00ff", QByteArray(64, 'a')}}) << true << 1 << 1;
    QTest::newRow("CR LF, comments, spaces")
        << QByteArray("; made by hand\r\n[signatures]\r\nsize = 1\r\n# c\r\n1\\key = 00FF\r\n1\\sig = " + b64 + "\r\n")
        << true << 1 << 1;
    QTest::newRow("slash keys, quoted value")
        << QByteArray("[signatures]\nsize=1\n1/key=00ff\n1/sig=\"" + b64 + "\"\n") << true << 1 << 1;
    QTest::newRow("entries beyond size ignored")
        << QByteArray("[signatures]\nsize=1\n" + entryLines(1, "aa", b64) + entryLines(2, "bb", b64)) << true << 1 << 1;
    QTest::newRow("entry without signature dropped")
        << QByteArray("[signatures]\nsize=2\n1\\key=aa\n" + entryLines(2, "bb", b64)) << true << 1 << 1;
    QTest::newRow("short signature kept undecoded")
        << QByteArray("[signatures]\nsize=1\n" + entryLines(1, "aa", QByteArray(63, 'a').toBase64())) << true << 1 << 0;
    QTest::newRow("other group") << QByteArray("[other]\nsize=1\n" + entryLines(1, "aa", b64)) << false << 0 << 0;
    QTest::newRow("no size") << QByteArray("[signatures]\n" + entryLines(1, "aa", b64)) << false << 0 << 0;
    QTest::newRow("size not a number") << QByteArray("[signatures]\nsize=1x\n" + entryLines(1, "aa", b64)) << false << 0
                                       << 0;
    QTest::newRow("size negative") << QByteArray("[signatures]\nsize=-1\n") << false << 0 << 0;
    QTest::newRow("size above the limit")
        << QByteArray("[signatures]\nsize=" + QByteArray::number(sig::MaxSignatures + 1) + "\n" +
                      entryLines(1, "aa", b64))
        << false << 0 << 0;
    QTest::newRow("empty") << QByteArray() << false << 0 << 0;
    QTest::newRow("HTML error page") << QByteArray("<html><body>404 Not Found</body></html>") << false << 0 << 0;
}

void TestSignature::signatureFileText()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, usable);
    QFETCH(int, entries);
    QFETCH(int, decoded);
    const sig::SignatureFile file = sig::parseSignatureFile(text);
    QCOMPARE(file.usable, usable);
    QCOMPARE(file.entries.size(), entries);
    int withSignature = 0;
    for (const sig::Entry &entry : file.entries) {
        QCOMPARE(entry.keyId, entry.keyId.toLower());
        if (!entry.signature.isEmpty()) {
            QCOMPARE(entry.signature.size(), sig::SignatureBytes);
            ++withSignature;
        }
    }
    QCOMPARE(withSignature, decoded);
}

void TestSignature::trustedKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    // Release keys, then version keys, found by the reading.
    QTest::addColumn<int>("keys");
    QTest::addColumn<int>("versionKeys");
    QTest::addColumn<QVector<int>>("malformed");
    QTest::addColumn<QVector<int>>("malformedVersion");
    QTest::addColumn<bool>("required");
    QTest::addColumn<bool>("versionRequired");
    const QByteArray a = QByteArray(32, 'a').toBase64();
    const QByteArray b = QByteArray(32, 'b').toBase64();
    const QVector<int> none;
    QTest::newRow("empty file") << QByteArray() << 0 << 0 << none << none << false << false;
    QTest::newRow("only comments and blanks")
        << QByteArray("# keys\n\n   \n# none yet\n") << 0 << 0 << none << none << false << false;
    QTest::newRow("two keys with comments")
        << QByteArray("# release keys\n" + a + "  # old\r\n\n  " + b + "\n") << 2 << 0 << none << none << true << false;
    QTest::newRow("same key twice") << QByteArray(a + "\n" + a + "\n") << 1 << 0 << none << none << true << false;
    QTest::newRow("malformed line beside a key")
        << QByteArray(a + "\nnot a key\n" + QByteArray(31, 'c').toBase64() + "\n") << 1 << 0 << QVector<int>{2, 3}
        << none << true << false;
    // A broken file must not switch verification off.
    QTest::newRow("only a malformed line")
        << QByteArray("ssh-ed25519 AAAA\n") << 0 << 0 << QVector<int>{1} << none << true << false;
    // The same key may hold both roles; each role counts on its own.
    QTest::newRow("version key beside a release key")
        << QByteArray(a + "\nversion " + b + " # online\n\tversion\t" + a + "\n") << 1 << 2 << none << none << true
        << true;
    QTest::newRow("only version keys") << QByteArray("version " + a + "\nversion " + b + "\n") << 0 << 2 << none << none
                                       << false << true;
    QTest::newRow("malformed version line")
        << QByteArray(a + "\nversion nokey\nversion\n") << 1 << 0 << QVector<int>{3} << QVector<int>{2} << true << true;
    QTest::newRow("role word glued to a key")
        << QByteArray("version" + a + "\n") << 0 << 0 << QVector<int>{1} << none << true << false;
}

void TestSignature::trustedKeys()
{
    QFETCH(QByteArray, text);
    QFETCH(int, keys);
    QFETCH(int, versionKeys);
    QFETCH(QVector<int>, malformed);
    QFETCH(QVector<int>, malformedVersion);
    QFETCH(bool, required);
    QFETCH(bool, versionRequired);
    const sig::TrustedKeys read = sig::parseTrustedKeys(text);
    QCOMPARE(read.keys.size(), keys);
    QCOMPARE(read.versionKeys.size(), versionKeys);
    for (const QByteArray &key : read.keys + read.versionKeys)
        QCOMPARE(key.size(), sig::PublicKeyBytes);
    QCOMPARE(read.malformedLines, malformed);
    QCOMPARE(read.malformedVersionLines, malformedVersion);
    QCOMPARE(read.required(), required);
    QCOMPARE(read.versionRequired(), versionRequired);
}

void TestSignature::releaseState_data()
{
    QTest::addColumn<QByteArray>("fileText");
    QTest::addColumn<quint64>("recorded");
    QTest::newRow("no file") << QByteArray() << quint64(0);
    QTest::newRow("recorded") << QByteArray("[installed]\nrelease=1733650000\n") << quint64(1733650000);
    QTest::newRow("not a number") << QByteArray("[installed]\nrelease=soon\n") << quint64(0);
    QTest::newRow("another group") << QByteArray("[other]\nrelease=5\n") << quint64(0);
}

void TestSignature::releaseState()
{
    QFETCH(QByteArray, fileText);
    QFETCH(quint64, recorded);
    QTemporaryDir appDir;
    QVERIFY(appDir.isValid());
    if (!fileText.isEmpty())
        QVERIFY(vt3test::writeFile(vt3::releaseStatePath(appDir.path()), fileText));
    QCOMPARE(vt3::installedRelease(appDir.path()), recorded);
    // A record replaces whatever was there and reads back.
    QVERIFY(vt3::recordInstalledRelease(appDir.path(), ReleaseId + 5));
    QCOMPARE(vt3::installedRelease(appDir.path()), ReleaseId + 5);
}

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
