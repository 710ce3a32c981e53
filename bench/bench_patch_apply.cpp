// Time and memory of making and applying one binary patch, as vt3_patch
// does it; bench/bench_patch drives it. Linux only: memory is read from
// /proc/self/status by a thread that samples it every 5 ms while the
// operation runs (VmHWM is the kernel's own peak of the whole resident set).
//   bench_patch_apply gen DIR MB          DIR/base: MB of random bytes; DIR/new: a copy edited in 64 places
//   bench_patch_apply make BASE NEW PATCH [LEVEL]
//   bench_patch_apply apply BASE PATCH OUT SIZE
#include "binarypatch.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

namespace {

// kB figures of /proc/self/status.
qint64 statusField(const QByteArray &status, const char *name)
{
    const int at = status.indexOf(QByteArray(name) + ':');
    if (at < 0)
        return -1;
    return status.mid(at + int(qstrlen(name)) + 1, 24).trimmed().split(' ').value(0).toLongLong();
}

QByteArray status()
{
    QFile file(QStringLiteral("/proc/self/status"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class Sampler
{
public:
    Sampler()
        : anonAtStart(statusField(status(), "RssAnon"))
        , thread([this] { run(); })
    {
    }
    ~Sampler() { stop(); }
    void stop()
    {
        if (thread.joinable()) {
            done = true;
            thread.join();
        }
    }
    void print(QTextStream &out)
    {
        stop();
        const QByteArray now = status();
        out << "  memory: peak RssAnon " << QString::number(peakAnon / 1024.0, 'f', 1) << " MiB ("
            << QString::number((peakAnon - anonAtStart) / 1024.0, 'f', 1) << " MiB above the start), peak RssFile "
            << peakFile / 1024 << " MiB, VmHWM " << statusField(now, "VmHWM") / 1024 << " MiB" << Qt::endl;
    }

private:
    void run()
    {
        while (!done) {
            const QByteArray now = status();
            peakAnon = qMax(peakAnon, statusField(now, "RssAnon"));
            peakFile = qMax(peakFile, statusField(now, "RssFile"));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    const qint64 anonAtStart;
    qint64 peakAnon = 0;
    qint64 peakFile = 0;
    std::atomic<bool> done{false};
    std::thread thread;
};

bool generate(const QString &dir, qint64 megabytes, QTextStream &out)
{
    constexpr qint64 Piece = 1 << 20;
    std::mt19937_64 random(20260101);
    QFile base(dir + QStringLiteral("/base"));
    QFile next(dir + QStringLiteral("/new"));
    if (!base.open(QIODevice::WriteOnly) || !next.open(QIODevice::WriteOnly))
        return false;
    QByteArray piece(Piece, Qt::Uninitialized);
    // Every eighth piece of the new file differs: some bytes changed, a few
    // inserted, a few dropped, as a rebuilt binary would.
    for (qint64 i = 0; i < megabytes; ++i) {
        auto *words = reinterpret_cast<quint64 *>(piece.data());
        for (qint64 w = 0; w < Piece / 8; ++w)
            words[w] = random();
        if (base.write(piece) != Piece)
            return false;
        QByteArray edited = piece;
        if (i % 8 == 3) {
            const int at = int(random() % (Piece - 4096));
            for (int b = 0; b < 300; ++b)
                edited[at + b] = char(random());
            edited.insert(at + 1000, QByteArray(int(random() % 64) + 1, 'x'));
            edited.remove(at + 2000, int(random() % 64) + 1);
        }
        if (next.write(edited) != edited.size())
            return false;
    }
    out << "generated " << megabytes << " MB base and an edited copy in " << dir << Qt::endl;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList args = QCoreApplication::arguments();
    const QString mode = args.value(1);
    QElapsedTimer timer;
    if (mode == QLatin1String("gen") && args.size() == 4)
        return generate(args.at(2), args.at(3).toLongLong(), out) ? 0 : 1;
    if (mode == QLatin1String("make") && args.size() >= 5) {
        const int level = args.size() > 5 ? args.at(5).toInt() : 0;
        Sampler sampler;
        timer.start();
        const vt3::patch::MadePatch made = vt3::patch::makePatch(args.at(2), args.at(3), -1, level);
        const qint64 ms = timer.elapsed();
        if (made.status != vt3::patch::MakeStatus::Made) {
            out << "make failed: " << made.error << Qt::endl;
            return 1;
        }
        QFile patch(args.at(4));
        if (!patch.open(QIODevice::WriteOnly) || patch.write(made.bytes) != made.bytes.size())
            return 1;
        out << "make level " << (level != 0 ? level : vt3::patch::levelFor(QFile(args.at(2)).size())) << ": "
            << made.bytes.size() << " bytes in " << ms / 1000.0 << " s" << Qt::endl;
        sampler.print(out);
        return 0;
    }
    if (mode == QLatin1String("apply") && args.size() == 6) {
        Sampler sampler;
        timer.start();
        const vt3::patch::AppliedPatch applied =
            vt3::patch::applyPatch(args.at(2), args.at(3), args.at(4), args.at(5).toLongLong());
        const qint64 ms = timer.elapsed();
        if (!applied.ok) {
            out << "apply failed: " << applied.error << Qt::endl;
            return 1;
        }
        out << "apply: " << applied.bytes << " bytes in " << ms / 1000.0 << " s, md5 " << applied.md5 << Qt::endl;
        sampler.print(out);
        return 0;
    }
    std::fprintf(stderr, "usage: bench_patch_apply gen DIR MB | make BASE NEW PATCH [LEVEL] | apply BASE PATCH OUT "
                         "SIZE\n");
    return 2;
}
