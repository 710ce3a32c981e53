#ifndef RECORDINGFACE_H
#define RECORDINGFACE_H

#include "runlog.h"
#include "updateface.h"

#include <QDateTime>
#include <QStringList>

namespace vt3test {

// A face that writes down what it is told, for tests of the engine and its
// jobs with no window.
struct RecordingFace : vt3::UpdateFace
{
    // Every call in order: "line <html>", "detail <html>", the others by
    // name. The log's lines as the window shows them ("red:" before an
    // error line), and the calls other than lines.
    QStringList calls;
    QStringList lines;
    QStringList said;
    qint64 lastDone = -1;
    qint64 lastTotal = -1;
    int progressReports = 0;
    bool speedShown = false;
    // Each unpack percentage once, in order.
    QList<int> percents;
    int ends = 0;
    bool allowAbort = false;
    int asked = 0;

    void versionKnown(const QString &id, const QString &version, const QDateTime &released) override
    {
        call(QStringLiteral("version %1 %2 %3").arg(id, version).arg(released.toSecsSinceEpoch()));
    }
    void versionUnknown() override { call(QStringLiteral("no version")); }
    void versionRefused(const QString &why) override { call(QStringLiteral("version refused: ") + why); }
    void runStarting() override { call(QStringLiteral("starting")); }
    void runStarted() override { call(QStringLiteral("started")); }
    void logLine(const QString &html) override
    {
        calls << QStringLiteral("line ") + html;
        const QString text = vt3::RunLog::plainText(html);
        lines << (html.contains(QLatin1String("color=red")) ? QLatin1String("red:") + text : text);
    }
    void detailLine(const QString &html) override { calls << QStringLiteral("detail ") + html; }
    void transferProgress(qint64 done, qint64 total, double bytesPerSecond) override
    {
        ++progressReports;
        lastDone = done;
        lastTotal = total;
        speedShown = speedShown || bytesPerSecond > 0;
    }
    void unpackProgress(int percent) override
    {
        if (percents.isEmpty() || percents.constLast() != percent)
            percents << percent;
    }
    void runFinished() override
    {
        call(QStringLiteral("finished"));
        ++ends;
    }
    void runStopped(vt3::RunStop why) override
    {
        call(QStringLiteral("stopped %1").arg(int(why)));
        ++ends;
    }
    bool confirmAbort() override
    {
        ++asked;
        return allowAbort;
    }

private:
    void call(const QString &what)
    {
        calls << what;
        said << what;
    }
};

} // namespace vt3test

#endif // RECORDINGFACE_H
