// Binary patches: the library on local files, the [patches] group's reader,
// and vt3-publish --previous run as the real program.
#include "binarypatch.h"
#include "patchformat.h"
#include "releasebuilder.h"
#include "signature.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

namespace patch = vt3::patch;
using vt3test::readFile;
using vt3test::writeFile;

QByteArray noise(int bytes, quint32 seed)
{
    QByteArray data;
    for (int i = 0; i < bytes; ++i) {
        seed = seed * 1103515245u + 12345u;
        data.append(char(seed >> 24));
    }
    return data;
}

// An earlier file with a few bytes changed, some inserted and a tail added.
QByteArray edited(QByteArray data)
{
    data.replace(100, 4, "edit");
    data.insert(data.size() / 2, "inserted in the middle");
    return data + "a new tail";
}

const QString Md5A(32, QLatin1Char('a'));
const QString Sha(64, QLatin1Char('b'));

} // namespace

Q_DECLARE_METATYPE(vt3::patch::Verdict)

class TestPatch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void roundTrip_data();
    void roundTrip();
    void applyRefused_data();
    void applyRefused();
    void verdicts_data();
    void verdicts();
    void publishPrevious_data();
    void publishPrevious();
    void signatureCoversPatches();
    void unreadableBaseRefused_data();
    void unreadableBaseRefused();

private:
    QString path(const QString &name) const { return work->path() + QLatin1Char('/') + name; }
    // Writes both files and the patch between them; the patch's path.
    QString makeFiles(const QByteArray &base, const QByteArray &next);
    vt3test::ToolRun publish(const QString &source, const QString &id, const QStringList &extra = {});
    QScopedPointer<QTemporaryDir> work;
};

void TestPatch::init()
{
    work.reset(new QTemporaryDir);
    QVERIFY(work->isValid());
}

QString TestPatch::makeFiles(const QByteArray &base, const QByteArray &next)
{
    if (!writeFile(path(QStringLiteral("base")), base) || !writeFile(path(QStringLiteral("new")), next))
        return QString();
    const patch::MadePatch made = patch::makePatch(path(QStringLiteral("base")), path(QStringLiteral("new")));
    if (made.status != patch::MakeStatus::Made || !writeFile(path(QStringLiteral("patch")), made.bytes))
        return QString();
    return path(QStringLiteral("patch"));
}

void TestPatch::roundTrip_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("next");
    const QByteArray file = noise(200000, 7);
    QTest::newRow("small file") << file << edited(file);
    QTest::newRow("empty base") << QByteArray() << file;
    QTest::newRow("base larger than the new file") << file << file.left(5000) + "end";
    QTest::newRow("identical files") << file << file;
    QTest::newRow("empty result") << file << QByteArray();
}

void TestPatch::roundTrip()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, next);
    const QString patchPath = makeFiles(base, next);
    QVERIFY(!patchPath.isEmpty());
    // The far matches are what a patch is for: an edited file costs a
    // fraction of its compressed self.
    if (!base.isEmpty() && !next.isEmpty())
        QVERIFY2(QFileInfo(patchPath).size() < 1000, qPrintable(QString::number(QFileInfo(patchPath).size())));
    patch::ApplyLimits limits;
    limits.baseBytes = base.size();
    limits.patchBytes = QFileInfo(patchPath).size();
    const patch::AppliedPatch applied =
        patch::applyPatch(path(QStringLiteral("base")), patchPath, path(QStringLiteral("out")), next.size(), limits);
    QVERIFY2(applied.ok, qPrintable(applied.error));
    QCOMPARE(readFile(path(QStringLiteral("out")), "missing"), next);
    QCOMPARE(applied.bytes, qint64(next.size()));
    QCOMPARE(QString::fromLatin1(applied.md5), vt3test::md5Hex(next));
}

enum class Fault { WrongBase, ShortBase, Truncated, Corrupted, Trailing, SmallerAnnounced, PatchSizeAnnounced };
Q_DECLARE_METATYPE(Fault)

void TestPatch::applyRefused_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("wrong base of the same size") << Fault::WrongBase << "checksum";
    QTest::newRow("base of another size") << Fault::ShortBase << "patch is made for";
    QTest::newRow("truncated patch") << Fault::Truncated << "ends before";
    QTest::newRow("corrupted patch") << Fault::Corrupted << "does not apply";
    QTest::newRow("bytes after the frame") << Fault::Trailing << "after its frame";
    QTest::newRow("result larger than announced") << Fault::SmallerAnnounced << "are announced";
    QTest::newRow("patch of another size than announced") << Fault::PatchSizeAnnounced << "are announced";
}

void TestPatch::applyRefused()
{
    QFETCH(Fault, fault);
    QFETCH(QString, reason);
    const QByteArray base = noise(100000, 3);
    const QByteArray next = edited(base);
    const QString patchPath = makeFiles(base, next);
    QVERIFY(!patchPath.isEmpty());
    QByteArray patchBytes = readFile(patchPath);
    patch::ApplyLimits limits;
    limits.baseBytes = base.size();
    qint64 expected = next.size();
    switch (fault) {
    case Fault::WrongBase:
        QVERIFY(writeFile(path(QStringLiteral("base")), noise(base.size(), 4)));
        break;
    case Fault::ShortBase:
        QVERIFY(writeFile(path(QStringLiteral("base")), base.left(base.size() - 1)));
        break;
    case Fault::Truncated:
        patchBytes.chop(5);
        break;
    case Fault::Corrupted:
        patchBytes[patchBytes.size() / 2] = char(patchBytes.at(patchBytes.size() / 2) ^ 0x55);
        break;
    case Fault::Trailing:
        patchBytes.append("junk");
        break;
    case Fault::SmallerAnnounced:
        expected -= 1;
        break;
    case Fault::PatchSizeAnnounced:
        limits.patchBytes = patchBytes.size() + 1;
        break;
    }
    QVERIFY(writeFile(patchPath, patchBytes));
    // Nothing is left at the output path, not even an earlier attempt's file.
    QVERIFY(writeFile(path(QStringLiteral("out")), "earlier attempt"));
    const patch::AppliedPatch applied =
        patch::applyPatch(path(QStringLiteral("base")), patchPath, path(QStringLiteral("out")), expected, limits);
    QVERIFY(!applied.ok);
    QVERIFY2(applied.error.contains(reason, Qt::CaseInsensitive), qPrintable(applied.error));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("out"))));
}

void TestPatch::verdicts_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<patch::Verdict>("verdict");
    const auto entry = [](const QString &fileKey, const QString &size = QStringLiteral("40"),
                          const QString &base = QStringLiteral("100"), const QString &md5 = Md5A) {
        return patch::Entry{Md5A, size, base, md5, fileKey, Sha, Sha}.join();
    };
    const QString appKey = patch::patchKey(QStringLiteral("app.dll.z"), Md5A);
    const QString subKey = patch::patchKey(QStringLiteral("data/notes.txt.z"), Md5A);
    using V = patch::Verdict;
    QTest::newRow("good") << appKey << entry(QStringLiteral("app.dll.z")) << V::Ok;
    QTest::newRow("good in a folder") << subKey << entry(QStringLiteral("data/notes.txt.z")) << V::Ok;
    QTest::newRow("six fields") << appKey << entry(QStringLiteral("app.dll.z")).section(QStringLiteral("::"), 0, 5)
                                << V::TooFewFields;
    QTest::newRow("empty patch") << appKey << entry(QStringLiteral("app.dll.z"), QStringLiteral("0"))
                                 << V::BadPatchSize;
    QTest::newRow("patch size not a number")
        << appKey << entry(QStringLiteral("app.dll.z"), QStringLiteral("4O")) << V::BadPatchSize;
    QTest::newRow("base over 1 GiB") << appKey
                                     << entry(QStringLiteral("app.dll.z"), QStringLiteral("40"),
                                              QString::number((1 << 30) + 1))
                                     << V::BadBaseSize;
    QTest::newRow("upper-case md5") << patch::patchKey(QStringLiteral("app.dll.z"), Md5A.toUpper())
                                    << entry(QStringLiteral("app.dll.z"), QStringLiteral("40"), QStringLiteral("100"),
                                             Md5A.toUpper())
                                    << V::BadDigest;
    QTest::newRow("short sha256") << appKey << entry(QStringLiteral("app.dll.z")).chopped(1) << V::BadDigest;
    QTest::newRow("file key leaves the release") << patch::patchKey(QStringLiteral("../app.dll.z"), Md5A)
                                                 << entry(QStringLiteral("../app.dll.z")) << V::UnsafeKey;
    QTest::newRow("key of another file") << subKey << entry(QStringLiteral("app.dll.z")) << V::KeyMismatch;
    QTest::newRow("file not in the release")
        << patch::patchKey(QStringLiteral("gone.dll.z"), Md5A) << entry(QStringLiteral("gone.dll.z")) << V::UnknownFile;
    QTest::newRow("file without unpacked md5")
        << patch::patchKey(QStringLiteral("old.txt.z"), Md5A) << entry(QStringLiteral("old.txt.z")) << V::FileUnchecked;
}

void TestPatch::verdicts()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(patch::Verdict, verdict);
    const QString manifestPath = path(QStringLiteral("client_win32.ini"));
    {
        QSettings manifest(manifestPath, QSettings::IniFormat);
        manifest.setValue(
            QStringLiteral("bin_win32/app.dll.z"),
            vt3test::descriptor(Md5A, QStringLiteral("50"), QStringLiteral("120"), Md5A, QStringLiteral("app.dll")));
        manifest.setValue(QStringLiteral("common_client/data/notes.txt.z"),
                          vt3test::descriptor(Md5A, QStringLiteral("50"), QStringLiteral("120"), Md5A,
                                              QStringLiteral("data/notes.txt")));
        manifest.setValue(QStringLiteral("common_client/old.txt.z"), QStringLiteral("%1::50::::old.txt").arg(Md5A));
        manifest.setValue(QStringLiteral("patches/") + key, value);
    }
    const QVector<patch::ListedPatch> listed = patch::readPatches(manifestPath, QStringLiteral("win32"));
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.constFirst().key, key);
    QVERIFY2(listed.constFirst().verdict == verdict, qPrintable(patch::verdictText(listed.constFirst().verdict)));
    if (verdict == patch::Verdict::Ok) {
        QCOMPARE(listed.constFirst().group,
                 key.startsWith(QLatin1String("app")) ? QStringLiteral("bin_win32") : QStringLiteral("common_client"));
        QCOMPARE(listed.constFirst().patchBytes, qint64(40));
        QCOMPARE(listed.constFirst().baseBytes, qint64(100));
        QCOMPARE(listed.constFirst().resultBytes, qint64(120));
    }
}

vt3test::ToolRun TestPatch::publish(const QString &source, const QString &id, const QStringList &extra)
{
    return vt3test::runTool(QStringLiteral("vt3-publish"),
                            QStringList{QStringLiteral("--source"), path(source), QStringLiteral("--out"),
                                        path(QStringLiteral("mirror")), QStringLiteral("--release-id"), id,
                                        QStringLiteral("--version"), QStringLiteral("3.6")} +
                                extra);
}

namespace {

const QByteArray Notes = QByteArray("line of the release notes\n").repeated(2000);

// Release A as source folder "a", release B in "b"; C is another earlier
// installation whose library differs from A's.
bool writeReleases(const QString &root)
{
    const QByteArray app = noise(150000, 11);
    return writeFile(root + QStringLiteral("/a/app.dll"), app) &&
           writeFile(root + QStringLiteral("/a/data/notes.txt"), Notes) &&
           writeFile(root + QStringLiteral("/a/same.txt"), Notes) &&
           writeFile(root + QStringLiteral("/c/app.dll"), edited(noise(150000, 11)).left(149000)) &&
           writeFile(root + QStringLiteral("/b/app.dll"), edited(app)) &&
           writeFile(root + QStringLiteral("/b/data/notes.txt"), Notes + "one more line\n") &&
           writeFile(root + QStringLiteral("/b/same.txt"), Notes) &&
           writeFile(root + QStringLiteral("/b/added.txt"), "only in B");
}

} // namespace

void TestPatch::publishPrevious_data()
{
    QTest::addColumn<QStringList>("previous");
    QTest::addColumn<int>("patches");
    QTest::newRow("published release") << QStringList{QStringLiteral("mirror/100")} << 2;
    QTest::newRow("installed tree") << QStringList{QStringLiteral("a")} << 2;
    QTest::newRow("both, same content") << QStringList{QStringLiteral("mirror/100"), QStringLiteral("a")} << 2;
    QTest::newRow("two distinct bases") << QStringList{QStringLiteral("mirror/100"), QStringLiteral("c")} << 3;
}

void TestPatch::publishPrevious()
{
    QFETCH(QStringList, previous);
    QFETCH(int, patches);
    QVERIFY(writeReleases(work->path()));
    QCOMPARE(publish(QStringLiteral("a"), QStringLiteral("100")).exitCode, 0);
    QStringList extra;
    for (const QString &dir : qAsConst(previous))
        extra << QStringLiteral("--previous") << path(dir);
    const vt3test::ToolRun run = publish(QStringLiteral("b"), QStringLiteral("200"), extra);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QStringLiteral("patches: %1 written").arg(patches)), qPrintable(run.out));

    const QString release = path(QStringLiteral("mirror/200"));
    const QVector<patch::ListedPatch> listed =
        patch::readPatches(release + QStringLiteral("/client_win32.ini"), QStringLiteral("win32"));
    QCOMPARE(listed.size(), patches);
    for (const patch::ListedPatch &entry : listed) {
        QVERIFY2(entry.verdict == patch::Verdict::Ok, qPrintable(entry.key));
        const QString patchPath = release + QLatin1Char('/') + entry.group + QLatin1Char('/') + entry.key;
        const QByteArray bytes = readFile(patchPath);
        QCOMPARE(entry.patchBytes, qint64(bytes.size()));
        QCOMPARE(entry.entry.patchMd5, vt3test::md5Hex(bytes));
        QCOMPARE(entry.entry.patchSha256.toLatin1(),
                 QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        // The base it names is one of the earlier files, and the patch
        // turns it into the new one.
        const QString name = entry.entry.fileKey.chopped(2);
        QString basePath;
        for (const QString &dir : {QStringLiteral("a"), QStringLiteral("c")})
            if (vt3test::md5Hex(readFile(path(dir + QLatin1Char('/') + name))) == entry.entry.baseMd5)
                basePath = path(dir + QLatin1Char('/') + name);
        QVERIFY2(!basePath.isEmpty(), qPrintable(entry.key));
        QCOMPARE(entry.entry.baseSha256.toLatin1(),
                 QCryptographicHash::hash(readFile(basePath), QCryptographicHash::Sha256).toHex());
        patch::ApplyLimits limits{entry.baseBytes, entry.patchBytes};
        const patch::AppliedPatch applied =
            patch::applyPatch(basePath, patchPath, path(QStringLiteral("out")), entry.resultBytes, limits);
        QVERIFY2(applied.ok, qPrintable(applied.error));
        QCOMPARE(QString::fromLatin1(applied.md5), entry.resultMd5);
        QCOMPARE(readFile(path(QStringLiteral("out"))), readFile(path(QStringLiteral("b/") + name)));
    }
}

void TestPatch::signatureCoversPatches()
{
    QVERIFY(writeReleases(work->path()));
    const vt3test::ToolRun keygen =
        vt3test::runTool(QStringLiteral("vt3-publish"),
                         {QStringLiteral("keygen"), QStringLiteral("--out"), path(QStringLiteral("keys"))});
    QCOMPARE(keygen.exitCode, 0);
    QCOMPARE(publish(QStringLiteral("a"), QStringLiteral("100")).exitCode, 0);
    QCOMPARE(publish(QStringLiteral("b"), QStringLiteral("200"),
                     {QStringLiteral("--previous"), path(QStringLiteral("mirror/100")), QStringLiteral("--sign-key"),
                      path(QStringLiteral("keys/vt3-signing.key"))})
                 .exitCode,
             0);
    const QByteArray publicKey =
        vt3::signature::parseTrustedKeys(readFile(path(QStringLiteral("keys/vt3-signing.pub")))).keys.value(0);
    const vt3::signature::SignatureFile signatures =
        vt3::signature::parseSignatureFile(readFile(path(QStringLiteral("mirror/200/client_win32.ini.sig"))));
    const QByteArray manifest = readFile(path(QStringLiteral("mirror/200/client_win32.ini")));
    QVERIFY(vt3::signature::verifyRelease(signatures, 200, manifest, {publicKey}));
    // One digit of a patch's size changed.
    const int group = manifest.indexOf("[patches]");
    QVERIFY(group > 0);
    QByteArray altered = manifest;
    const int size = altered.indexOf("::", group) + 2;
    altered[size] = altered.at(size) == '1' ? '2' : '1';
    QVERIFY(!vt3::signature::verifyRelease(signatures, 200, altered, {publicKey}));
}

void TestPatch::unreadableBaseRefused_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("message");
    QTest::newRow("packed file missing") << "remove"
                                         << "cannot read the earlier file";
    QTest::newRow("packed file damaged") << "damage"
                                         << "damaged";
    QTest::newRow("not a folder") << "file"
                                  << "not a folder";
}

void TestPatch::unreadableBaseRefused()
{
    QFETCH(QString, damage);
    QFETCH(QString, message);
    QVERIFY(writeReleases(work->path()));
    QCOMPARE(publish(QStringLiteral("a"), QStringLiteral("100")).exitCode, 0);
    const QString packed = path(QStringLiteral("mirror/100/bin_win32/app.dll.z"));
    QString previous = path(QStringLiteral("mirror/100"));
    if (damage == QLatin1String("remove"))
        QVERIFY(QFile::remove(packed));
    else if (damage == QLatin1String("damage"))
        QVERIFY(writeFile(packed, readFile(packed).left(40)));
    else
        previous = path(QStringLiteral("a/app.dll"));
    const vt3test::ToolRun run =
        publish(QStringLiteral("b"), QStringLiteral("200"), {QStringLiteral("--previous"), previous});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(QLatin1String("refused")) && run.err.contains(message), qPrintable(run.err));
    QCOMPARE(QDir(path(QStringLiteral("mirror"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("100")});
}

QTEST_GUILESS_MAIN(TestPatch)
#include "tst_patch.moc"
