// The release tool, run as the real program on a temporary source tree.
#include "httpfixture.h"
#include "releasebuilder.h"
#include "signature.h"
#include "testsupport.h"
#include "unpack.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

using vt3test::readFile;

const QString ReleaseId = QStringLiteral("1733650000");
const QString Version = QStringLiteral("3.6.1");
using vt3test::ToolRun;

ToolRun runTool(const QStringList &args)
{
    return vt3test::runTool(QStringLiteral("vt3-publish"), args);
}

// Crosses several of the tool's read and write pieces, and is partly
// compressible so the packed side differs in length from the source.
QByteArray largeContent()
{
    QByteArray data;
    quint32 seed = 12345;
    for (int i = 0; i < 400 * 1024; ++i) {
        seed = seed * 1103515245u + 12345u;
        data.append(char(seed >> 24));
    }
    data.append(QByteArray("voxtera ").repeated(100000));
    return data;
}

// Every file of the release tree, relative to the release folder.
QStringList treeFiles(const QString &releaseDir)
{
    QStringList files;
    QDirIterator it(releaseDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(releaseDir).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void layout_data();
    void layout();
    void descriptors_data();
    void descriptors();
    void subdirectoryKeyReadsBack();
    void platformGlobChoosesGroup_data();
    void platformGlobChoosesGroup();
    void deleteFlags();
    void versionFile();
    void summaryCountsGroups();
    void refusals_data();
    void refusals();
    void keygenWritesKeyPair();
    void signedPublishVerifies();
    void signAddsAndKeepsSignatures();
    void unsafeKeyRefused_data();
    void unsafeKeyRefused();
    void checkMirror_data();
    void checkMirror();

private:
    struct Key
    {
        QString secretPath;
        QByteArray publicKey;
        QByteArray printedId;
    };
    Key keygen(const QString &name);
    QByteArray manifestBytes() const { return readFile(releaseDir() + QStringLiteral("/client_win32.ini")); }
    QByteArray signatureText() const { return readFile(releaseDir() + QStringLiteral("/client_win32.ini.sig")); }
    bool verifiesWith(const QByteArray &publicKey) const;
    void makeSource();
    ToolRun publish(const QStringList &extra = QStringList());
    QString releaseDir() const { return mirror->path() + QLatin1Char('/') + ReleaseId; }

    QScopedPointer<QTemporaryDir> work;
    QScopedPointer<QTemporaryDir> mirror;
    QString source;
    QMap<QString, QByteArray> contents;
};

void TestPublish::init()
{
    work.reset(new QTemporaryDir);
    mirror.reset(new QTemporaryDir);
    QVERIFY(work->isValid() && mirror->isValid());
    source = work->path() + QStringLiteral("/client");
    makeSource();
}

void TestPublish::makeSource()
{
    contents.clear();
    contents.insert(QStringLiteral("readme.txt"), QByteArray("Voxtera 3\n"));
    contents.insert(QStringLiteral("vt3client_win32.exe"), QByteArray("MZ fake client"));
    contents.insert(QStringLiteral("dir/file.dll"), QByteArray("dll bytes"));
    contents.insert(QStringLiteral("Plugins/CODEC.DLL"), QByteArray("upper case extension"));
    contents.insert(QStringLiteral("sounds/deep/ring.wav"), largeContent());
    contents.insert(QStringLiteral("empty.cfg"), QByteArray());
    contents.insert(QStringLiteral(".hidden"), QByteArray("dot file"));
    contents.insert(QStringLiteral("name with spaces.txt"), QByteArray("spaces"));
    contents.insert(QStringLiteral("\u00fcbersicht.txt"), QByteArray("non-ASCII name"));
    for (auto it = contents.cbegin(); it != contents.cend(); ++it)
        QVERIFY(vt3test::writeFile(source + QLatin1Char('/') + it.key(), it.value()));
}

ToolRun TestPublish::publish(const QStringList &extra)
{
    return runTool(QStringList{QStringLiteral("--source"), source, QStringLiteral("--out"), mirror->path(),
                               QStringLiteral("--release-id"), ReleaseId, QStringLiteral("--version"), Version} +
                   extra);
}

void TestPublish::layout_data()
{
    QTest::addColumn<QString>("installName");
    QTest::addColumn<QString>("group");
    QTest::newRow("text file") << "readme.txt"
                               << "common_client";
    QTest::newRow("exe") << "vt3client_win32.exe"
                         << "bin_win32";
    QTest::newRow("dll in a folder") << "dir/file.dll"
                                     << "bin_win32";
    QTest::newRow("upper-case DLL") << "Plugins/CODEC.DLL"
                                    << "bin_win32";
    QTest::newRow("two folders deep") << "sounds/deep/ring.wav"
                                      << "common_client";
    QTest::newRow("empty file") << "empty.cfg"
                                << "common_client";
    QTest::newRow("hidden file") << ".hidden"
                                 << "common_client";
}

void TestPublish::layout()
{
    QFETCH(QString, installName);
    QFETCH(QString, group);
    const ToolRun run = publish();
    QCOMPARE(run.exitCode, 0);
    const QStringList files = treeFiles(releaseDir());
    QVERIFY2(files.contains(group + QLatin1Char('/') + installName + QStringLiteral(".z")),
             qPrintable(files.join(QLatin1Char(' '))));
    // One packed file per source file, plus the manifest and version.txt.
    QCOMPARE(files.size(), contents.size() + 2);
    QVERIFY(files.contains(QStringLiteral("client_win32.ini")));
    QVERIFY(files.contains(QStringLiteral("version.txt")));
    // Nothing of the build is left beside the release.
    QCOMPARE(QDir(mirror->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{ReleaseId});
}

void TestPublish::descriptors_data()
{
    QTest::addColumn<QString>("installName");
    for (const QString &name :
         {QStringLiteral("readme.txt"), QStringLiteral("vt3client_win32.exe"), QStringLiteral("dir/file.dll"),
          QStringLiteral("sounds/deep/ring.wav"), QStringLiteral("empty.cfg"), QStringLiteral("name with spaces.txt"),
          QStringLiteral("\u00fcbersicht.txt")})
        QTest::newRow(qPrintable(name)) << name;
}

void TestPublish::descriptors()
{
    QFETCH(QString, installName);
    QCOMPARE(publish().exitCode, 0);
    const QString group = installName.endsWith(QLatin1String(".exe")) || installName.endsWith(QLatin1String(".dll"))
                              ? QStringLiteral("bin_win32")
                              : QStringLiteral("common_client");
    const QString key = installName + QStringLiteral(".z");
    QSettings manifest(releaseDir() + QStringLiteral("/client_win32.ini"), QSettings::IniFormat);
    const QString descriptor = manifest.value(group + QLatin1Char('/') + key).toString();
    const QStringList fields = descriptor.split(QStringLiteral("::"), Qt::KeepEmptyParts);
    QCOMPARE(fields.size(), 5);

    const QByteArray packed = readFile(releaseDir() + QLatin1Char('/') + group + QLatin1Char('/') + key);
    const QByteArray original = contents.value(installName);
    QCOMPARE(fields.at(0), vt3test::md5Hex(packed));
    QCOMPARE(fields.at(1).toLongLong(), qint64(packed.size()));
    QCOMPARE(fields.at(2).toLongLong(), qint64(original.size()));
    QCOMPARE(fields.at(3), vt3test::md5Hex(original));
    QCOMPARE(fields.at(4), installName);
    // Only with this marker does the updater rely on fields 2 and 3.
    QCOMPARE(manifest.value(QStringLiteral("format/unpacked")).toString(), QStringLiteral("md5"));
    QCOMPARE(manifest.value(QStringLiteral("sha256/") + key).toByteArray(),
             QCryptographicHash::hash(packed, QCryptographicHash::Sha256).toHex());
    QCOMPARE(qUncompress(packed), original);
    // And the updater's own streaming unpacker takes it as well.
    QBuffer in;
    in.setData(packed);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QBuffer unpacked;
    QVERIFY(unpacked.open(QIODevice::WriteOnly));
    QCOMPARE(int(vt3::unpackStream(in, unpacked, vt3::MaxUnpackedLength)), int(vt3::UnpackResult::Ok));
    QCOMPARE(unpacked.data(), original);
    // The header announces the unpacked length, big-endian.
    QVERIFY(packed.size() >= 4);
    const quint32 announced = (quint32(quint8(packed[0])) << 24) | (quint32(quint8(packed[1])) << 16) |
                              (quint32(quint8(packed[2])) << 8) | quint32(quint8(packed[3]));
    QCOMPARE(qint64(announced), qint64(original.size()));
}

void TestPublish::subdirectoryKeyReadsBack()
{
    QCOMPARE(publish().exitCode, 0);
    QSettings manifest(releaseDir() + QStringLiteral("/client_win32.ini"), QSettings::IniFormat);
    manifest.beginGroup(QStringLiteral("bin_win32"));
    QVERIFY2(manifest.allKeys().contains(QStringLiteral("dir/file.dll.z")),
             qPrintable(manifest.allKeys().join(QLatin1Char(' '))));
    QVERIFY(manifest.value(QStringLiteral("dir/file.dll.z")).toString().endsWith(QLatin1String("::dir/file.dll")));
    // The file lies where the updater fetches it: group + "/" + key.
    QVERIFY(QFileInfo::exists(releaseDir() + QStringLiteral("/bin_win32/dir/file.dll.z")));
}

void TestPublish::platformGlobChoosesGroup_data()
{
    QTest::addColumn<QString>("globs");
    QTest::addColumn<QString>("installName");
    QTest::addColumn<QString>("group");
    QTest::newRow("txt as platform") << "*.txt"
                                     << "readme.txt"
                                     << "bin_win32";
    QTest::newRow("exe no longer platform") << "*.txt"
                                            << "vt3client_win32.exe"
                                            << "common_client";
    QTest::newRow("second pattern") << "*.exe, *.wav"
                                    << "sounds/deep/ring.wav"
                                    << "bin_win32";
    QTest::newRow("pattern on the name only") << "dir*"
                                              << "dir/file.dll"
                                              << "common_client";
}

void TestPublish::platformGlobChoosesGroup()
{
    QFETCH(QString, globs);
    QFETCH(QString, installName);
    QFETCH(QString, group);
    QCOMPARE(publish({QStringLiteral("--platform-glob"), globs}).exitCode, 0);
    QSettings manifest(releaseDir() + QStringLiteral("/client_win32.ini"), QSettings::IniFormat);
    const QString key = installName + QStringLiteral(".z");
    QVERIFY(manifest.contains(group + QLatin1Char('/') + key));
    const QString other =
        group == QLatin1String("bin_win32") ? QStringLiteral("common_client") : QStringLiteral("bin_win32");
    QVERIFY(!manifest.contains(other + QLatin1Char('/') + key));
    QVERIFY(QFileInfo::exists(releaseDir() + QLatin1Char('/') + group + QLatin1Char('/') + key));
}

void TestPublish::deleteFlags()
{
    const ToolRun run =
        publish({QStringLiteral("--delete"), QStringLiteral("old.txt"), QStringLiteral("--delete"),
                 QStringLiteral("plugins/gone.dll"), QStringLiteral("--keep"), QStringLiteral("cfg/user.ini")});
    QCOMPARE(run.exitCode, 0);
    QSettings manifest(releaseDir() + QStringLiteral("/client_win32.ini"), QSettings::IniFormat);
    manifest.beginGroup(QStringLiteral("delete"));
    QStringList keys = manifest.allKeys();
    keys.sort();
    QCOMPARE(keys, (QStringList{QStringLiteral("cfg/user.ini"), QStringLiteral("old.txt"),
                                QStringLiteral("plugins/gone.dll")}));
    QCOMPARE(manifest.value(QStringLiteral("old.txt")).toInt(), 1);
    QCOMPARE(manifest.value(QStringLiteral("plugins/gone.dll")).toInt(), 1);
    QCOMPARE(manifest.value(QStringLiteral("cfg/user.ini"), -1).toInt(), 0);
}

void TestPublish::versionFile()
{
    QCOMPARE(publish().exitCode, 0);
    QCOMPARE(readFile(releaseDir() + QStringLiteral("/version.txt")),
             (ReleaseId + QLatin1Char('#') + Version).toUtf8());
}

void TestPublish::summaryCountsGroups()
{
    const ToolRun run = publish();
    QCOMPARE(run.exitCode, 0);
    qint64 unpacked = 0;
    for (const QByteArray &data : qAsConst(contents))
        unpacked += data.size();
    // Three of the nine files match the default platform patterns.
    QVERIFY2(run.out.contains(QRegularExpression(QStringLiteral("bin_win32\\s+3 files"))), qPrintable(run.out));
    QVERIFY2(run.out.contains(QRegularExpression(QStringLiteral("common_client\\s+6 files"))), qPrintable(run.out));
    QVERIFY2(run.out.contains(QStringLiteral("9 files, %1 bytes -> ").arg(unpacked)), qPrintable(run.out));
}

enum class Setup { None, ExtraFile, EmptySource, ExistingRelease, SparseFile };
Q_DECLARE_METATYPE(Setup)

void TestPublish::refusals_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("message");
    const QStringList none;
    QTest::newRow("comma in a name") << Setup::ExtraFile << "a,b.txt" << none << "\",\"";
    QTest::newRow("double colon in a name") << Setup::ExtraFile << "dir/a::b.dll" << none << "\"::\"";
    QTest::newRow("backslash in a name") << Setup::ExtraFile << "a\\b.txt" << none << "backslash";
    QTest::newRow("the manifest's name") << Setup::ExtraFile << "client_win32.ini" << none << "manifest";
    QTest::newRow("name of another's packed file") << Setup::ExtraFile << "readme.txt.z" << none << "same name";
    QTest::newRow("device name") << Setup::ExtraFile << "sounds/nul.wav" << none << "device name";
    QTest::newRow("names differing in case") << Setup::ExtraFile << "README.TXT" << none << "same name";
    QTest::newRow("dot-dot in a delete path")
        << Setup::None << "" << QStringList{QStringLiteral("--delete"), QStringLiteral("../outside.txt")} << "\"..\"";
    QTest::newRow("absolute delete path")
        << Setup::None << "" << QStringList{QStringLiteral("--keep"), QStringLiteral("/etc/passwd")} << "absolute";
    QTest::newRow("drive delete path") << Setup::None << ""
                                       << QStringList{QStringLiteral("--delete"), QStringLiteral("C:/x.txt")}
                                       << "absolute";
    QTest::newRow("deleting a released file")
        << Setup::None << "" << QStringList{QStringLiteral("--delete"), QStringLiteral("readme.txt")} << "deletion";
    QTest::newRow("empty source") << Setup::EmptySource << "" << none << "no files";
    QTest::newRow("existing release") << Setup::ExistingRelease << "" << none << "already exists";
    QTest::newRow("file over 1 GiB") << Setup::SparseFile << QString::number((1LL << 30) + 1) << none << "1 GiB";
    QTest::newRow("file over 4 GiB") << Setup::SparseFile << QString::number(1LL << 32) << none << "at most";
    QTest::newRow("hash in the version") << Setup::None << ""
                                         << QStringList{QStringLiteral("--version"), QStringLiteral("3#6")}
                                         << "version";
    QTest::newRow("release id not a number")
        << Setup::None << "" << QStringList{QStringLiteral("--release-id"), QStringLiteral("12ab")} << "release id";
}

void TestPublish::refusals()
{
    QFETCH(Setup, setup);
    QFETCH(QString, detail);
    QFETCH(QStringList, extra);
    QFETCH(QString, message);

    const QString marker = releaseDir() + QStringLiteral("/marker");
    switch (setup) {
    case Setup::None:
        break;
    case Setup::ExtraFile:
#ifdef Q_OS_WIN
        // A backslash separates folders there, a device name opens the
        // device, and names that differ in case are one name.
        if (detail.contains(QLatin1Char('\\')) || detail.contains(QLatin1String("nul.")) ||
            detail == QLatin1String("README.TXT"))
            QSKIP("Windows cannot hold a file of that name");
#endif
        QVERIFY(vt3test::writeFile(source + QLatin1Char('/') + detail, QByteArray("x")));
        break;
    case Setup::EmptySource:
        QVERIFY(QDir(source).removeRecursively());
        QVERIFY(QDir().mkpath(source + QStringLiteral("/only/folders")));
        break;
    case Setup::ExistingRelease:
        QVERIFY(vt3test::writeFile(marker, QByteArray("published before")));
        break;
    case Setup::SparseFile: {
        QFile big(source + QStringLiteral("/huge.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(detail.toLongLong()));
        break;
    }
    }
    // Later options win, so --version and --release-id can be overridden.
    const ToolRun run = publish(extra);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(QLatin1String("refused")), qPrintable(run.err));
    QVERIFY2(run.err.contains(message), qPrintable(run.err));

    // No half-written release: the mirror holds what it held before.
    const QStringList left = QDir(mirror->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (setup == Setup::ExistingRelease) {
        QCOMPARE(left, QStringList{ReleaseId});
        QCOMPARE(treeFiles(releaseDir()), QStringList{QStringLiteral("marker")});
    } else {
        QCOMPARE(left, QStringList());
    }
}

TestPublish::Key TestPublish::keygen(const QString &name)
{
    const QString dir = work->path() + QLatin1Char('/') + name;
    const ToolRun run = runTool({QStringLiteral("keygen"), QStringLiteral("--out"), dir});
    Key key;
    if (run.exitCode != 0)
        return key;
    key.secretPath = dir + QStringLiteral("/vt3-signing.key");
    const vt3::signature::TrustedKeys pub =
        vt3::signature::parseTrustedKeys(readFile(dir + QStringLiteral("/vt3-signing.pub")));
    key.publicKey = pub.keys.value(0);
    const QRegularExpressionMatch id = QRegularExpression(QStringLiteral("Key id ([0-9a-f]{16})")).match(run.out);
    key.printedId = id.captured(1).toLatin1();
    return key;
}

bool TestPublish::verifiesWith(const QByteArray &publicKey) const
{
    const vt3::signature::SignatureFile file = vt3::signature::parseSignatureFile(signatureText());
    return vt3::signature::verifyRelease(file, ReleaseId.toULongLong(), manifestBytes(), {publicKey});
}

void TestPublish::keygenWritesKeyPair()
{
    const Key key = keygen(QStringLiteral("keys"));
    QCOMPARE(key.publicKey.size(), vt3::signature::PublicKeyBytes);
    QCOMPARE(key.printedId, vt3::signature::keyId(key.publicKey));
#ifndef Q_OS_WIN
    // Windows guards the file by its access list, not by these bits.
    QCOMPARE(QFile::permissions(key.secretPath),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
#endif
    // The public file is exactly one line for trusted-keys.txt.
    const QByteArray pub = readFile(work->path() + QStringLiteral("/keys/vt3-signing.pub"));
    QCOMPARE(pub.count('\n'), 1);
    QVERIFY(vt3::signature::parseTrustedKeys(pub).malformedLines.isEmpty());

    // A second keygen into the same folder never replaces the key.
    const QByteArray secret = readFile(key.secretPath);
    const ToolRun again =
        runTool({QStringLiteral("keygen"), QStringLiteral("--out"), work->path() + QStringLiteral("/keys")});
    QCOMPARE(again.exitCode, 2);
    QCOMPARE(readFile(key.secretPath), secret);
    // And another keygen makes another key.
    QVERIFY(keygen(QStringLiteral("second")).publicKey != key.publicKey);
}

void TestPublish::signedPublishVerifies()
{
    const Key key = keygen(QStringLiteral("keys"));
    QVERIFY(!key.secretPath.isEmpty());
    QCOMPARE(publish({QStringLiteral("--sign-key"), key.secretPath}).exitCode, 0);
    QVERIFY(verifiesWith(key.publicKey));
    QVERIFY(!verifiesWith(keygen(QStringLiteral("stranger")).publicKey));
    // An unsigned release has no signature file at all.
    QVERIFY(QDir(mirror->path()).removeRecursively());
    QCOMPARE(publish().exitCode, 0);
    QVERIFY(!QFileInfo::exists(releaseDir() + QStringLiteral("/client_win32.ini.sig")));
}

void TestPublish::signAddsAndKeepsSignatures()
{
    const Key oldKey = keygen(QStringLiteral("old"));
    const Key newKey = keygen(QStringLiteral("new"));
    QCOMPARE(publish({QStringLiteral("--sign-key"), oldKey.secretPath}).exitCode, 0);
    const QByteArray manifest = manifestBytes();
    const QStringList sign{QStringLiteral("sign"), QStringLiteral("--release"), releaseDir(),
                           QStringLiteral("--sign-key"), newKey.secretPath};
    QCOMPARE(runTool(sign).exitCode, 0);
    QCOMPARE(vt3::signature::parseSignatureFile(signatureText()).entries.size(), 2);
    QVERIFY(verifiesWith(oldKey.publicKey));
    QVERIFY(verifiesWith(newKey.publicKey));
    // Signing again with the same key replaces its entry instead of adding.
    QCOMPARE(runTool(sign).exitCode, 0);
    QCOMPARE(vt3::signature::parseSignatureFile(signatureText()).entries.size(), 2);
    QCOMPARE(manifestBytes(), manifest);
    QCOMPARE(QDir(releaseDir()).entryList({QStringLiteral("*.sig*")}, QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("client_win32.ini.sig")});
}

void TestPublish::unsafeKeyRefused_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("publicFile");
    QTest::addColumn<QString>("message");
    QTest::newRow("world-readable") << 0644 << false << "group or others";
    QTest::newRow("group-readable") << 0640 << false << "group or others";
    QTest::newRow("others may write") << 0602 << false << "group or others";
    QTest::newRow("public key given as the secret") << 0600 << true << "not a key file";
}

void TestPublish::unsafeKeyRefused()
{
    QFETCH(int, mode);
    QFETCH(bool, publicFile);
    QFETCH(QString, message);
    const Key key = keygen(QStringLiteral("keys"));
    const QString path = publicFile ? work->path() + QStringLiteral("/keys/vt3-signing.pub") : key.secretPath;
#ifdef Q_OS_WIN
    // Access lists guard a file there; the mode bits mean nothing.
    if (!publicFile)
        QSKIP("Windows guards files by access lists, not by mode bits");
    Q_UNUSED(mode);
#else
    QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
#endif

    // Nothing is published with a key that is refused...
    const ToolRun run = publish({QStringLiteral("--sign-key"), path});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(QDir(mirror->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());

    // ...and an existing release's signatures stay as they were.
    QCOMPARE(publish().exitCode, 0);
    const ToolRun sign = runTool(
        {QStringLiteral("sign"), QStringLiteral("--release"), releaseDir(), QStringLiteral("--sign-key"), path});
    QCOMPARE(sign.exitCode, 2);
    QVERIFY2(sign.err.contains(message), qPrintable(sign.err));
    QVERIFY(!QFileInfo::exists(releaseDir() + QStringLiteral("/client_win32.ini.sig")));
}

void TestPublish::checkMirror_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("quick");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::newRow("whole") << QString() << false << 0 << QStringLiteral(": OK");
    QTest::newRow("whole, quick") << QString() << true << 0 << QStringLiteral(": OK");
    QTest::newRow("missing file") << "missing" << false << 1 << QStringLiteral(": missing sounds/deep/ring.wav.z");
    QTest::newRow("missing file, quick") << "missing" << true << 1
                                         << QStringLiteral(": missing sounds/deep/ring.wav.z");
    QTest::newRow("wrong file") << "wrong" << false << 1 << QStringLiteral(": wrong readme.txt.z (MD5 differs)");
    QTest::newRow("other manifest") << "manifest" << false << 1
                                    << QStringLiteral(": wrong client_win32.ini (not the published one)");
    QTest::newRow("dead mirror") << "dead" << false << 1 << QStringLiteral(": unreachable: ");
}

void TestPublish::checkMirror()
{
    QFETCH(QString, damage);
    QFETCH(bool, quick);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QCOMPARE(publish().exitCode, 0);
    HttpFixture http;
    QVERIFY(http.listen());
    http.serveDirectory(QStringLiteral("/"), mirror->path());
    const QString root = QLatin1Char('/') + ReleaseId + QLatin1Char('/');
    QString url = http.baseUrl();
    if (damage == QLatin1String("missing"))
        http.removeRoute(root + QStringLiteral("common_client/sounds/deep/ring.wav.z"));
    // The same size, other bytes: only the digests tell.
    if (damage == QLatin1String("wrong"))
        http.serve(root + QStringLiteral("common_client/readme.txt.z"),
                   vt3test::edited(readFile(releaseDir() + QStringLiteral("/common_client/readme.txt.z")), 7));
    if (damage == QLatin1String("manifest"))
        http.serve(root + QStringLiteral("client_win32.ini"), manifestBytes() + "\n");
    if (damage == QLatin1String("dead"))
        url = QStringLiteral("http://127.0.0.1:1/");
    QStringList args{QStringLiteral("check-mirror"), url,         QStringLiteral("--release"), ReleaseId,
                     QStringLiteral("--published"),  releaseDir()};
    if (quick)
        args << QStringLiteral("--quick");
    const ToolRun run = runTool(args);
    QVERIFY2(run.out.contains(url + said), qPrintable(run.out + run.err));
    QCOMPARE(run.exitCode, exitCode);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
