// Whole runs against local mirrors, each compared line by line with a
// transcript kept in tests/transcripts/: every call the face hears, every
// line of the disk log. They pin what a user and whoever reads the log
// later see, so that the run can be rebuilt inside without a word of that
// changing. VT3_RECORD_TRANSCRIPTS=1 writes the files anew instead.
#include "appdir.h"
#include "binarypatch.h"
#include "httpfixture.h"
#include "patchformat.h"
#include "recordingface.h"
#include "releasebuilder.h"
#include "releasestate.h"
#include "runlog.h"
#include "signature.h"
#include "testsupport.h"
#include "updateengine.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int RunTimeoutMs = 30000;
// Short enough for a test, long enough that a local transfer never trips it.
constexpr int ShortStallMs = 400;
constexpr int ShortPaceWindowMs = 1000;
constexpr int StallAfterBytes = 3000;
const QString ReleaseId = QStringLiteral("1733650000");
const QString TranscriptDir = QStringLiteral(VT3_SOURCE_DIR "/tests/transcripts/");

QByteArray contentOf(char seed, int size = 40000)
{
    QByteArray data;
    for (int i = 0; data.size() < size; ++i)
        data += QByteArray::number(qint64(i) * 7919 + seed) + ' ';
    return data;
}

QString sha256Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

using Route = HttpFixture::Route;

// An installation, a private temp directory and mirrors serving one
// release. Servers are kept in the order the updater tries them.
struct Scene
{
    QTemporaryDir app;
    QTemporaryDir tmp;
    QTemporaryDir scratch;
    vt3test::TempDirScope useTmp{tmp.path()};
    std::vector<std::unique_ptr<HttpFixture>> servers;
    vt3test::ReleaseBuilder release{QLatin1Char('/') + ReleaseId + QLatin1Char('/')};
    QByteArray manifest;

    explicit Scene(int serverCount)
    {
        vt3::setApplicationDirForTesting(app.path());
        for (int i = 0; i < serverCount; ++i) {
            servers.push_back(std::make_unique<HttpFixture>());
            servers.back()->listen();
        }
        std::sort(servers.begin(), servers.end(),
                  [](const auto &a, const auto &b) { return a->baseUrl() < b->baseUrl(); });
    }
    ~Scene() { vt3::setApplicationDirForTesting(QString()); }

    HttpFixture &at(int i) { return *servers.at(size_t(i)); }
    QString workDir() const { return QDir(tmp.path()).filePath(QStringLiteral("voxtera_temp_0")); }
    QString path(const vt3test::ReleaseBuilder::File &file) const { return release.filePath(file); }

    // mirrors.ini naming every server, or `urls` as given.
    void writeMirrors(QStringList urls = QStringList(), int parallel = 0)
    {
        if (urls.isEmpty())
            for (const auto &server : servers)
                urls << server->baseUrl();
        QSettings ini(app.filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
        ini.setValue(QStringLiteral("mirrors/size"), urls.size() + 1);
        for (int i = 0; i < urls.size(); ++i) {
            const QString group = QStringLiteral("m%1").arg(i);
            ini.setValue(QStringLiteral("mirrors/%1/mirror").arg(i + 1), group);
            ini.setValue(group + QLatin1String("/url"), urls.at(i));
            ini.setValue(group + QLatin1String("/retries"), 1);
        }
        if (parallel > 0)
            ini.setValue(QStringLiteral("transfers/parallel"), parallel);
    }
    void publish(const QByteArray &extra = QByteArray())
    {
        manifest = release.manifest(scratch.path()) + extra;
        for (const auto &server : servers)
            release.publish(*server, manifest);
    }
    // A broken run's work directory holding `partial` under `key`.
    void leaveBrokenRun(const QString &key, const QByteArray &partial)
    {
        QVERIFY(QDir().mkpath(workDir()));
        QFile::setPermissions(workDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(vt3test::writeFile(QDir(workDir()).filePath(vt3test::ManifestName), manifest));
        QVERIFY(vt3test::writeFile(QDir(workDir()).filePath(key), partial));
    }
};

enum class Case {
    Plain,
    Resume,
    DamagedPartial,
    PatchUsed,
    PatchDamaged,
    PatchMissing,
    Faults,
    SignatureMissing,
    SignatureBad,
    Downgrade,
    UnwritableTarget,
    Oversized,
    FailOver,
    NoMirrorList,
};

// The scene's timings, set through the run's own settings.
void useShortLimits(vt3::UpdateEngine &engine)
{
    vt3::RunLimits limits;
    limits.stallTimeoutMs = ShortStallMs;
    limits.paceWindowMs = ShortPaceWindowMs;
    engine.setLimits(limits);
}

// What changes from machine to machine and run to run: folders, ports,
// versions of the build and its libraries, the time of each disk-log line.
QString normalized(QString text, const Scene &scene)
{
    const auto both = [&text](const QString &path, const QString &name) {
        text.replace(path, name);
        text.replace(QDir::toNativeSeparators(path), name);
    };
    both(scene.workDir(), QStringLiteral("<work>"));
    both(scene.tmp.path(), QStringLiteral("<tmp>"));
    both(scene.app.path(), QStringLiteral("<app>"));
    for (size_t i = 0; i < scene.servers.size(); ++i)
        text.replace(scene.servers.at(i)->baseUrl(), QStringLiteral("<mirror%1>/").arg(i));
    static const QRegularExpression port(QStringLiteral("127\\.0\\.0\\.1:\\d+"));
    text.replace(port, QStringLiteral("127.0.0.1:<port>"));
    static const QRegularExpression updater(QStringLiteral("vt3update \\S+ starts"));
    text.replace(updater, QStringLiteral("vt3update <version> starts"));
    static const QRegularExpression libraries(QStringLiteral("Qt \\S+, OpenSSL .*"));
    text.replace(libraries, QStringLiteral("Qt <version>, OpenSSL <version>"));
    return text;
}

QStringList diskLog()
{
    QFile file(vt3::RunLog::fileName(0));
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("(no disk log)")};
    QStringList lines;
    static const QRegularExpression stamp(QStringLiteral("^\\S+ "));
    for (const QByteArray &line : file.readAll().split('\n'))
        if (!line.isEmpty())
            lines << QString::fromUtf8(line).trimmed().remove(stamp);
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(Case)

class TestTranscripts : public QObject
{
    Q_OBJECT

private slots:
    void runReadsAsBefore_data();
    void runReadsAsBefore();

private:
    void prepare(Case which, Scene &scene, int parallel);
};

void TestTranscripts::runReadsAsBefore_data()
{
    QTest::addColumn<Case>("which");
    QTest::addColumn<int>("parallel");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << Case::Plain << 0 << "plain";
    QTest::newRow("resume") << Case::Resume << 0 << "resume";
    QTest::newRow("damaged partial file") << Case::DamagedPartial << 0 << "damaged-partial";
    QTest::newRow("patch used") << Case::PatchUsed << 0 << "patch-used";
    QTest::newRow("patch damaged") << Case::PatchDamaged << 0 << "patch-damaged";
    QTest::newRow("patch missing") << Case::PatchMissing << 0 << "patch-missing";
    QTest::newRow("faults, one at a time") << Case::Faults << 1 << "faults-1";
    QTest::newRow("faults, four at once") << Case::Faults << 4 << "faults-4";
    QTest::newRow("faults, eight at once") << Case::Faults << 8 << "faults-8";
    QTest::newRow("signature missing") << Case::SignatureMissing << 0 << "signature-missing";
    QTest::newRow("signature bad") << Case::SignatureBad << 0 << "signature-bad";
    QTest::newRow("downgrade") << Case::Downgrade << 0 << "downgrade";
    QTest::newRow("unwritable target") << Case::UnwritableTarget << 0 << "unwritable-target";
    QTest::newRow("oversized file") << Case::Oversized << 0 << "oversized";
    QTest::newRow("mirror fail-over") << Case::FailOver << 0 << "fail-over";
    QTest::newRow("no mirror list") << Case::NoMirrorList << 0 << "no-mirror-list";
}

void TestTranscripts::prepare(Case which, Scene &scene, int parallel)
{
    const QByteArray readme = QByteArray("read me\n").repeated(300);
    const QByteArray library = vt3test::noise(40000);
    if (which == Case::Faults) {
        // Each file of the mix goes wrong its own way on the first mirror;
        // the second has them all.
        for (int i = 0; i < 7; ++i)
            scene.release.add(vt3test::CommonGroup, QStringLiteral("f%1.z").arg(i), contentOf(char('a' + i)),
                              QStringLiteral("f%1").arg(i));
        scene.publish();
        HttpFixture &first = scene.at(0);
        const auto &files = scene.release.files;
        Route moved;
        moved.status = 302;
        moved.location = (scene.at(1).baseUrl() + scene.path(files.at(1)).mid(1)).toUtf8();
        first.setRoute(scene.path(files.at(1)), moved);
        Route stall;
        stall.body = files.at(2).served;
        stall.stallAfterBytes = StallAfterBytes;
        first.setRoute(scene.path(files.at(2)), stall);
        Route drip;
        drip.body = files.at(3).served;
        drip.dripBytes = 64;
        drip.dripIntervalMs = 100;
        first.setRoute(scene.path(files.at(3)), drip);
        Route cut;
        cut.body = files.at(4).served;
        cut.closeAfterBytes = StallAfterBytes;
        first.setRoute(scene.path(files.at(4)), cut);
        first.removeRoute(scene.path(files.at(5)));
        scene.writeMirrors(QStringList(), parallel);
        return;
    }

    scene.release.add(vt3test::CommonGroup, QStringLiteral("readme.txt.z"), readme, QStringLiteral("readme.txt"));
    scene.release.add(vt3test::BinGroup, QStringLiteral("core.dll.z"), library, QStringLiteral("core.dll"));
    scene.release.addDelete(QStringLiteral("old.dll"), 1);
    QVERIFY(vt3test::writeFile(scene.app.filePath(QStringLiteral("old.dll")), "old"));
    const auto &core = scene.release.files.at(1);
    Route route;
    switch (which) {
    case Case::Plain:
    case Case::Faults:
        scene.publish();
        break;
    case Case::Resume:
    case Case::DamagedPartial: {
        scene.publish();
        route.body = core.served;
        route.range = Route::HonourRange;
        scene.at(0).setRoute(scene.path(core), route);
        QByteArray partial = core.served.left(StallAfterBytes);
        if (which == Case::DamagedPartial)
            partial[100] = char(partial.at(100) ^ 0x01);
        scene.leaveBrokenRun(core.key, partial);
        break;
    }
    case Case::PatchUsed:
    case Case::PatchDamaged:
    case Case::PatchMissing: {
        const QByteArray before = vt3test::edited(library, 4000);
        const QString base = scene.scratch.filePath(QStringLiteral("before"));
        const QString next = scene.scratch.filePath(QStringLiteral("next"));
        QVERIFY(vt3test::writeFile(base, before) && vt3test::writeFile(next, library));
        const QByteArray patch = vt3::patch::makePatch(base, next).bytes;
        QVERIFY(!patch.isEmpty());
        const vt3::patch::Entry entry{vt3test::md5Hex(patch),
                                      QString::number(patch.size()),
                                      QString::number(before.size()),
                                      vt3test::md5Hex(before),
                                      core.key,
                                      sha256Hex(patch),
                                      sha256Hex(before)};
        const QString key = vt3::patch::patchKey(entry.fileKey, entry.baseMd5);
        scene.publish("\n[format]\nunpacked=md5\n[patches]\n" + key.toUtf8() + '=' + entry.join().toUtf8() + '\n');
        route.body = patch;
        if (which == Case::PatchMissing)
            route.status = 404;
        if (which == Case::PatchDamaged)
            route.body[route.body.size() / 2] = char(route.body.at(route.body.size() / 2) ^ 0x20);
        scene.at(0).setRoute(QStringLiteral("/%1/%2/%3").arg(ReleaseId, core.group, key), route);
        QVERIFY(vt3test::writeFile(scene.app.filePath(QStringLiteral("core.dll")), before));
        // Installed as the release has it: not fetched at all.
        QVERIFY(vt3test::writeFile(scene.app.filePath(QStringLiteral("readme.txt")), readme));
        break;
    }
    case Case::SignatureMissing:
    case Case::SignatureBad: {
        scene.publish();
        const QByteArray publicKey = vt3test::noise(32);
        QVERIFY(
            vt3test::writeFile(scene.app.filePath(QStringLiteral("trusted-keys.txt")), publicKey.toBase64() + '\n'));
        if (which == Case::SignatureBad)
            scene.at(0).serve(
                QStringLiteral("/%1/%2.sig").arg(ReleaseId, vt3test::ManifestName),
                vt3::signature::formatSignatureFile({{vt3::signature::keyId(publicKey), vt3test::noise(64)}}));
        break;
    }
    case Case::Downgrade:
        scene.publish();
        QVERIFY(vt3::recordInstalledRelease(scene.app.path(), ReleaseId.toULongLong() + 1));
        break;
    case Case::UnwritableTarget:
        scene.publish();
        // A folder where the release puts a file is the user's, never replaced.
        QVERIFY(QDir().mkpath(scene.app.filePath(QStringLiteral("core.dll/inside"))));
        break;
    case Case::Oversized:
        scene.publish();
        route.body = core.served + QByteArray(5000, 'x');
        scene.at(0).setRoute(scene.path(core), route);
        break;
    case Case::FailOver: {
        scene.publish();
        // Nothing listens on port 1, and its URL sorts before any other
        // port's: the first mirror tried refuses.
        scene.writeMirrors({QStringLiteral("http://127.0.0.1:1/"), scene.at(0).baseUrl()});
        return;
    }
    case Case::NoMirrorList:
        return;
    }
    scene.writeMirrors();
}

void TestTranscripts::runReadsAsBefore()
{
    QFETCH(Case, which);
    QFETCH(int, parallel);
    QFETCH(QString, name);

    Scene scene(which == Case::Faults ? 2 : 1);
    prepare(which, scene, parallel);
    if (QTest::currentTestFailed())
        return;

    vt3test::RecordingFace face;
    {
        vt3::UpdateEngine engine(&face);
        useShortLimits(engine);
        engine.queryVersion();
        vt3test::announceVersion(engine, ReleaseId + QStringLiteral("#3.6.1"));
        engine.update();
        QTRY_VERIFY_WITH_TIMEOUT(face.ends > 0, RunTimeoutMs);
        // Nothing more is said once a run has ended.
        QTest::qWait(100);
    }

    QStringList transcript;
    transcript << QStringLiteral("# face");
    for (const QString &call : qAsConst(face.calls))
        transcript << normalized(call, scene);
    transcript << QStringLiteral("# progress");
    // The manifest's bytes count as done, though the total leaves them out.
    transcript << QStringLiteral("transfer %1 of %2, speed %3")
                      .arg(face.lastDone)
                      .arg(face.lastTotal)
                      .arg(face.speedShown ? QStringLiteral("shown") : QStringLiteral("never shown"));
    QStringList percents;
    for (const int percent : qAsConst(face.percents))
        percents << QString::number(percent);
    transcript << QStringLiteral("unpack ") + percents.join(QLatin1Char(' '));
    transcript << QStringLiteral("# disk log");
    for (const QString &line : diskLog())
        transcript << normalized(line, scene);
    const QString text = transcript.join(QLatin1Char('\n')) + QLatin1Char('\n');

    QFile kept(TranscriptDir + name + QLatin1String(".txt"));
    if (qEnvironmentVariableIsSet("VT3_RECORD_TRANSCRIPTS")) {
        QVERIFY(kept.open(QIODevice::WriteOnly | QIODevice::Truncate));
        kept.write(text.toUtf8());
        return;
    }
    QVERIFY2(kept.open(QIODevice::ReadOnly), qPrintable(kept.fileName()));
    const QStringList expected = QString::fromUtf8(kept.readAll()).split(QLatin1Char('\n'));
    const QStringList got = text.split(QLatin1Char('\n'));
    for (int i = 0; i < qMax(expected.size(), got.size()); ++i)
        QCOMPARE(got.value(i, QStringLiteral("(end)")), expected.value(i, QStringLiteral("(end)")));
}

QTEST_GUILESS_MAIN(TestTranscripts)
#include "tst_transcripts.moc"
