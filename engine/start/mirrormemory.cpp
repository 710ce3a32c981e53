#include "mirrormemory.h"

#include "install/durable.h"
#include "run/texts.h"
#include "runlog.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>

namespace vt3 {

namespace {
const QByteArray Header("vt3update mirror memory 1");
const QLatin1String FileName("vt3update.mirrors");
constexpr char Separator = '\t';
constexpr int Fields = 7;
// How much one transfer moves the smoothed throughput.
constexpr double NewSampleWeight = 0.3;

QString timeText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd hh:mm 'UTC'"));
}

bool parseLine(const QByteArray &line, QString &url, MirrorMemory::Record &record)
{
    const QList<QByteArray> fields = line.split(Separator);
    if (fields.size() != Fields)
        return false;
    bool ok[6] = {};
    url = QString::fromUtf8(fields.at(0));
    record.lastSuccess = fields.at(1).toLongLong(&ok[0]);
    record.lastFailure = fields.at(2).toLongLong(&ok[1]);
    record.failureKind = QString::fromUtf8(fields.at(3));
    record.consecutiveFailures = fields.at(4).toInt(&ok[2]);
    record.backOffUntil = fields.at(5).toLongLong(&ok[3]);
    record.bytesPerSecond = fields.at(6).toDouble(&ok[4]);
    ok[5] = !url.isEmpty() && record.consecutiveFailures >= 0 && record.bytesPerSecond >= 0;
    return std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; });
}
} // namespace

QString MirrorMemory::path()
{
    return RunLog::directory() + QLatin1Char('/') + FileName;
}

bool MirrorMemory::load()
{
    known.clear();
    QFile file(path());
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.constFirst().trimmed() != Header)
        return false;
    for (int i = 1; i < lines.size(); ++i) {
        if (lines.at(i).isEmpty())
            continue;
        QString url;
        Record record;
        if (!parseLine(lines.at(i), url, record)) {
            known.clear();
            return false;
        }
        known.insert(url, record);
    }
    return true;
}

bool MirrorMemory::save() const
{
    QByteArray text = Header + '\n';
    for (auto it = known.cbegin(); it != known.cend(); ++it) {
        const Record &r = it.value();
        QString kind = r.failureKind;
        kind.replace(QLatin1Char(Separator), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
        text += it.key().toUtf8() + Separator + QByteArray::number(r.lastSuccess) + Separator +
                QByteArray::number(r.lastFailure) + Separator + kind.toUtf8() + Separator +
                QByteArray::number(r.consecutiveFailures) + Separator + QByteArray::number(r.backOffUntil) + Separator +
                QByteArray::number(r.bytesPerSecond, 'f', 0) + '\n';
    }
    return writeFileDurably(path(), text);
}

QStringList MirrorMemory::order(const QStringList &listed, qint64 now, QStringList *why) const
{
    QStringList healthy;
    QStringList backingOff;
    for (const QString &mirror : listed) {
        if (known.value(mirror).backOffUntil > now)
            backingOff << mirror;
        else
            healthy << mirror;
    }
    // A swap of neighbours at a time keeps today's order wherever the
    // memory knows of no great difference.
    for (int pass = 0; pass < healthy.size(); ++pass) {
        for (int i = 0; i + 1 < healthy.size(); ++i) {
            const double here = known.value(healthy.at(i)).bytesPerSecond;
            const double next = known.value(healthy.at(i + 1)).bytesPerSecond;
            if (here > 0 && next >= MuchFaster * here) {
                if (why)
                    *why << Texts::tr("Mirror %1 is tried after %2, which was much faster.")
                                .arg(healthy.at(i), healthy.at(i + 1));
                healthy.swapItemsAt(i, i + 1);
            }
        }
    }
    std::stable_sort(backingOff.begin(), backingOff.end(), [this](const QString &a, const QString &b) {
        return known.value(a).backOffUntil < known.value(b).backOffUntil;
    });
    for (const QString &mirror : qAsConst(backingOff)) {
        const Record r = known.value(mirror);
        if (why)
            *why << Texts::tr("Mirror %1 is tried last until %2: %3 failure(s) in a row, the last %4 (%5).")
                        .arg(mirror, timeText(r.backOffUntil))
                        .arg(r.consecutiveFailures)
                        .arg(timeText(r.lastFailure), r.failureKind);
    }
    return healthy + backingOff;
}

void MirrorMemory::failed(const QString &mirror, const QString &kind, qint64 now)
{
    Record &r = known[mirror];
    r.lastFailure = now;
    r.failureKind = kind;
    if (failedThisRun.contains(mirror))
        return;
    failedThisRun.insert(mirror);
    ++r.consecutiveFailures;
    qint64 backOff = FirstBackOffSeconds;
    for (int i = 1; i < r.consecutiveFailures && backOff < MaxBackOffSeconds; ++i)
        backOff *= 2;
    r.backOffUntil = now + qMin(backOff, MaxBackOffSeconds);
}

void MirrorMemory::succeeded(const QString &mirror, qint64 now, double bytesPerSecond)
{
    Record &r = known[mirror];
    r.lastSuccess = now;
    r.consecutiveFailures = 0;
    r.backOffUntil = 0;
    failedThisRun.remove(mirror);
    if (bytesPerSecond > 0)
        r.bytesPerSecond = r.bytesPerSecond > 0
                               ? (1 - NewSampleWeight) * r.bytesPerSecond + NewSampleWeight * bytesPerSecond
                               : bytesPerSecond;
}

} // namespace vt3
