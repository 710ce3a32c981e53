#include "trailingunpack.h"
#include "unpack.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <csignal>
#include <thread>
#include <zlib.h>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

constexpr qint64 NoLimit = vt3::MaxUnpackedLength;

QByteArray header(quint32 length)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(length, reinterpret_cast<uchar *>(bytes.data()));
    return bytes;
}

// A raw zlib stream, without the length header qCompress puts in front.
QByteArray zlibStream(const QByteArray &data)
{
    uLongf size = compressBound(data.size());
    QByteArray out(int(size), '\0');
    const int rc = compress2(reinterpret_cast<Bytef *>(out.data()), &size,
                             reinterpret_cast<const Bytef *>(data.constData()), data.size(), 9);
    Q_ASSERT(rc == Z_OK);
    out.resize(int(size));
    return out;
}

QByteArray mixedData(int size)
{
    // Half text, half noise: exercises both long matches and literal runs.
    QByteArray data;
    data.reserve(size);
    QRandomGenerator rng(size);
    while (data.size() < size) {
        data += QByteArray("the quick brown fox jumps over the lazy dog ").repeated(int(rng.bounded(1, 50)));
        for (int i = rng.bounded(1, 2000); i > 0; --i)
            data += char(rng.bounded(256));
    }
    data.truncate(size);
    return data;
}

// Records what is written, and fails (or writes short) past a limit.
class LimitedDevice : public QIODevice
{
public:
    LimitedDevice(qint64 limit, bool shortWrite)
        : limit(limit)
        , shortWrite(shortWrite)
    {
        open(WriteOnly);
    }
    QByteArray data;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *bytes, qint64 len) override
    {
        const qint64 room = limit - data.size();
        if (room >= len) {
            data.append(bytes, int(len));
            return len;
        }
        if (!shortWrite || room <= 0)
            return -1;
        data.append(bytes, int(room));
        return room;
    }

private:
    qint64 limit;
    bool shortWrite;
};

vt3::UnpackResult unpack(const QByteArray &input, QByteArray *output, qint64 maxLength = NoLimit)
{
    QBuffer in;
    in.setData(input);
    in.open(QIODevice::ReadOnly);
    QBuffer out(output);
    out.open(QIODevice::WriteOnly);
    return vt3::unpackStream(in, out, maxLength);
}

// The same expansion fed as a download delivers it: in pieces of `piece`
// bytes, the header split across them.
vt3::UnpackResult unpackInPieces(const QByteArray &input, int piece, QByteArray *output, qint64 maxLength = NoLimit)
{
    QBuffer out(output);
    out.open(QIODevice::WriteOnly);
    vt3::Unpacker unpacker(out, maxLength);
    for (int at = 0; at < input.size(); at += piece) {
        const vt3::UnpackResult fed = unpacker.feed(input.constData() + at, qMin(piece, input.size() - at));
        if (fed != vt3::UnpackResult::Ok)
            return fed;
    }
    return unpacker.finish();
}

// Pieces that split the header and the stream at odd places.
const int Pieces[] = {3, 4099};

} // namespace

Q_DECLARE_METATYPE(vt3::UnpackResult)
Q_DECLARE_METATYPE(vt3::ExtractStatus)

class TestUnpack : public QObject
{
    Q_OBJECT

private slots:
    void matchesQUncompress_data();
    void matchesQUncompress();
    void emptyStreamForZeroLength();
    void refused_data();
    void refused();
    void bombNeverWritesPastHeader();
    void writeFailure_data();
    void writeFailure();
    void fileSizeLimitIsWriteFailure();
    void announcedLengthPeeks();
    void trailsWriter_data();
    void trailsWriter();
};

void TestUnpack::matchesQUncompress_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("chunk - 1") << mixedData(64 * 1024 - 1);
    QTest::newRow("chunk") << mixedData(64 * 1024);
    QTest::newRow("chunk + 1") << mixedData(64 * 1024 + 1);
    QTest::newRow("3 MB mixed") << mixedData(3 * 1024 * 1024 + 17);
    QTest::newRow("4 MB zeros") << QByteArray(4 * 1024 * 1024, '\0');
}

void TestUnpack::matchesQUncompress()
{
    QFETCH(QByteArray, data);
    const QByteArray packed = qCompress(data);
    QByteArray output;
    QCOMPARE(unpack(packed, &output), vt3::UnpackResult::Ok);
    QCOMPARE(output, qUncompress(packed));
    QCOMPARE(output, data);
    for (const int piece : Pieces) {
        QByteArray fed;
        QCOMPARE(unpackInPieces(packed, piece, &fed), vt3::UnpackResult::Ok);
        QCOMPARE(fed, data);
    }
}

void TestUnpack::emptyStreamForZeroLength()
{
    const QByteArray packed = header(0) + zlibStream(QByteArray());
    QByteArray output;
    QCOMPARE(unpack(packed, &output), vt3::UnpackResult::Ok);
    QVERIFY(output.isEmpty());
    QVERIFY(qUncompress(packed).isEmpty());
}

void TestUnpack::refused_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<qint64>("maxLength");
    QTest::addColumn<vt3::UnpackResult>("expected");

    const QByteArray data = mixedData(200000);
    const QByteArray stream = zlibStream(data);
    const quint32 n = quint32(data.size());
    QByteArray corrupt = stream;
    for (int i = 100; i < 140; ++i)
        corrupt[i] = char(corrupt[i] ^ 0x5a);
    // The stored Adler-32 is the stream's last four bytes.
    QByteArray wrongCheckFirst = stream;
    wrongCheckFirst[stream.size() - 4] = char(wrongCheckFirst[stream.size() - 4] ^ 0x01);
    QByteArray wrongCheckLast = stream;
    wrongCheckLast[stream.size() - 1] = char(wrongCheckLast[stream.size() - 1] ^ 0x80);

    QTest::newRow("no input") << QByteArray() << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("short header") << QByteArray(3, '\0') << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("length without stream") << header(n) << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("above 1 GiB") << header(quint32(vt3::MaxUnpackedLength + 1)) + stream << NoLimit
                                 << vt3::UnpackResult::TooLarge;
    QTest::newRow("4 GiB - 1") << header(0xffffffffu) + stream << NoLimit << vt3::UnpackResult::TooLarge;
    QTest::newRow("above free space") << header(n) + stream << qint64(n - 1) << vt3::UnpackResult::TooLarge;
    QTest::newRow("exactly free space") << header(n) + stream << qint64(n) << vt3::UnpackResult::Ok;
    QTest::newRow("stream ends early") << header(n) + stream.left(stream.size() - 10) << NoLimit
                                       << vt3::UnpackResult::BadInput;
    QTest::newRow("header one short") << header(n - 1) + stream << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("header one long") << header(n + 1) + stream << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("bytes after stream") << header(n) + stream + "junk" << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("corrupt stream") << header(n) + corrupt << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("check value, first byte wrong")
        << header(n) + wrongCheckFirst << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("check value, last byte wrong")
        << header(n) + wrongCheckLast << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("not zlib") << header(n) + data.left(5000) << NoLimit << vt3::UnpackResult::BadInput;
    QTest::newRow("zero length, data follows") << header(0) + stream << NoLimit << vt3::UnpackResult::BadInput;
}

void TestUnpack::refused()
{
    QFETCH(QByteArray, input);
    QFETCH(qint64, maxLength);
    QFETCH(vt3::UnpackResult, expected);
    QByteArray output;
    QCOMPARE(unpack(input, &output, maxLength), expected);
    if (expected == vt3::UnpackResult::TooLarge)
        QVERIFY(output.isEmpty());
    if (input.size() >= 4) {
        const qint64 announced = qFromBigEndian<quint32>(reinterpret_cast<const uchar *>(input.constData()));
        QVERIFY(output.size() <= announced);
    }
    for (const int piece : Pieces) {
        QByteArray fed;
        QCOMPARE(unpackInPieces(input, piece, &fed, maxLength), expected);
        if (expected == vt3::UnpackResult::TooLarge)
            QVERIFY(fed.isEmpty());
    }
}

void TestUnpack::bombNeverWritesPastHeader()
{
    // 256 MiB of zeros pack into a few hundred KiB; the header claims 1000.
    const QByteArray zeros(1 << 20, '\0');
    z_stream zs{};
    QVERIFY(deflateInit(&zs, 9) == Z_OK);
    QByteArray stream;
    QByteArray buffer(1 << 16, '\0');
    for (int round = 0; round < 256; ++round) {
        zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.constData()));
        zs.avail_in = uInt(zeros.size());
        const int flush = round == 255 ? Z_FINISH : Z_NO_FLUSH;
        do {
            zs.next_out = reinterpret_cast<Bytef *>(buffer.data());
            zs.avail_out = uInt(buffer.size());
            deflate(&zs, flush);
            stream.append(buffer.constData(), buffer.size() - int(zs.avail_out));
        } while (zs.avail_out == 0);
    }
    deflateEnd(&zs);
    QVERIFY(stream.size() < 2 * 1024 * 1024);

    LimitedDevice out(qint64(1) << 40, false);
    QBuffer in;
    in.setData(header(1000) + stream);
    in.open(QIODevice::ReadOnly);
    QCOMPARE(vt3::unpackStream(in, out, NoLimit), vt3::UnpackResult::BadInput);
    QVERIFY(out.data.size() <= 1000);
}

void TestUnpack::writeFailure_data()
{
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<bool>("shortWrite");
    QTest::newRow("fails at once") << qint64(0) << false;
    QTest::newRow("fails later") << qint64(100000) << false;
    QTest::newRow("short write") << qint64(100000) << true;
    QTest::newRow("one byte short") << qint64(300000 - 1) << true;
}

void TestUnpack::writeFailure()
{
    QFETCH(qint64, limit);
    QFETCH(bool, shortWrite);
    LimitedDevice out(limit, shortWrite);
    QBuffer in;
    in.setData(qCompress(mixedData(300000)));
    in.open(QIODevice::ReadOnly);
    QCOMPARE(vt3::unpackStream(in, out, NoLimit), vt3::UnpackResult::WriteFailed);
}

void TestUnpack::fileSizeLimitIsWriteFailure()
{
    // A real file on a "full" disk: the kernel refuses writes past the
    // process's file size limit, which is set in a child so the test runner
    // keeps its own.
#ifdef Q_OS_WIN
    QSKIP("Windows has no limit on a process's file size to stand in for a full disk");
#else
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("out"));
    const QByteArray packed = qCompress(mixedData(1024 * 1024));
    constexpr rlim_t Limit = 200000;

    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{Limit, Limit};
        setrlimit(RLIMIT_FSIZE, &limit);
        QBuffer in;
        in.setData(packed);
        in.open(QIODevice::ReadOnly);
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly))
            _exit(10);
        vt3::UnpackResult result = vt3::unpackStream(in, out, NoLimit);
        if (result == vt3::UnpackResult::Ok && !out.flush())
            result = vt3::UnpackResult::WriteFailed;
        _exit(int(result));
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), int(vt3::UnpackResult::WriteFailed));
    QVERIFY(QFileInfo(target).size() <= qint64(Limit));
#endif
}

void TestUnpack::announcedLengthPeeks()
{
    QBuffer in;
    in.setData(qCompress(QByteArray(70000, 'a')));
    in.open(QIODevice::ReadOnly);
    QCOMPARE(vt3::announcedLength(in), qint64(70000));
    QCOMPARE(in.pos(), qint64(0));
    QBuffer tiny;
    tiny.setData(QByteArray(3, '\1'));
    tiny.open(QIODevice::ReadOnly);
    QCOMPARE(vt3::announcedLength(tiny), qint64(-1));
}

QTEST_GUILESS_MAIN(TestUnpack)
void TestUnpack::trailsWriter_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<qint64>("room");
    // How much the writer writes before it gives the file up; -1: all of it.
    QTest::addColumn<int>("abandonAt");
    // How many bytes more than it wrote the writer claims to have written.
    QTest::addColumn<int>("claimedExtra");
    QTest::addColumn<vt3::ExtractStatus>("expected");

    const QByteArray data = mixedData(3 * 1024 * 1024 + 5);
    const QByteArray block = header(quint32(data.size())) + zlibStream(data);
    QByteArray corrupt = block;
    for (int i = 5000; i < 5040; ++i)
        corrupt[i] = char(corrupt[i] ^ 0x5a);

    QTest::newRow("whole") << block << NoLimit << -1 << 0 << vt3::ExtractStatus::Ok;
    QTest::newRow("corrupt") << corrupt << NoLimit << -1 << 0 << vt3::ExtractStatus::ExtractError;
    QTest::newRow("no room") << block << qint64(data.size() - 1) << -1 << 0 << vt3::ExtractStatus::WriteError;
    QTest::newRow("given up half way") << block << NoLimit << block.size() / 2 << 0 << vt3::ExtractStatus::Cancelled;
    QTest::newRow("less on disk than said") << block << NoLimit << -1 << 10 << vt3::ExtractStatus::ReadError;
}

void TestUnpack::trailsWriter()
{
    QFETCH(QByteArray, input);
    QFETCH(qint64, room);
    QFETCH(int, abandonAt);
    QFETCH(int, claimedExtra);
    QFETCH(vt3::ExtractStatus, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    vt3::TrailJob job;
    job.download = dir.filePath(QStringLiteral("file.z"));
    job.target = dir.filePath(QStringLiteral("file"));
    job.room = room;
    QFile download(job.download);
    QVERIFY(download.open(QIODevice::WriteOnly | QIODevice::Unbuffered));

    // The writer runs beside the unpacker, as the window does beside the
    // worker, in pieces that split the stream at odd places.
    vt3::TrailedFile trailed;
    const int end = abandonAt < 0 ? input.size() : abandonAt;
    std::thread writer([&] {
        for (int at = 0; at < end; at += 65537) {
            const int n = qMin(65537, end - at);
            download.write(input.constData() + at, n);
            trailed.grow(at + n);
        }
        if (abandonAt >= 0) {
            trailed.abandon();
            return;
        }
        trailed.grow(end + claimedExtra);
        trailed.complete();
    });
    const std::atomic<bool> cancelled{false};
    const vt3::TrailResult result = vt3::unpackTrailing(job, trailed, cancelled);
    writer.join();

    QCOMPARE(result.status, expected);
    QFile unpacked(vt3::unpackingName(job.target));
    if (expected != vt3::ExtractStatus::Ok) {
        QVERIFY(!unpacked.exists());
        return;
    }
    QVERIFY(unpacked.open(QIODevice::ReadOnly));
    QByteArray want;
    QCOMPARE(unpack(input, &want), vt3::UnpackResult::Ok);
    QCOMPARE(result.unpackedLength, qint64(want.size()));
    QVERIFY(unpacked.readAll() == want);
    QVERIFY(!QFile::exists(job.target));
}

#include "tst_unpack.moc"
