#ifndef ENGINEPROBE_H
#define ENGINEPROBE_H

#include "clientcheck.h"
#include "releaseformat.h"
#include "updateengine.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSemaphore>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QUrl>
#include <QVector>

#include <memory>

inline vt3::UpdateEngine &engineOf(vt3::UpdateEngine &e)
{
    return e;
}

// The tests' one way into a run's state; the engine declares it its
// friend. Each function takes the engine, or anything that holds one and
// has an engineOf() (the window: see updateclientprobe.h).
class EngineProbe
{
public:
    static constexpr int ClientCheckAnswerMs = 40000;
    static constexpr int SettleTimeoutMs = 30000;

    template <typename T> static void message(T &c, const QString &text) { engineOf(c).message(text); }

    // The client check answers by a signal; this starts one and waits for
    // its answer (the tool's limit, then some slack).
    template <typename T> static bool isClientRunning(T &c)
    {
        vt3::ClientCheck *check = engineOf(c).checkClientRunning();
        QSignalSpy answered(check, &vt3::ClientCheck::finished);
        if (!answered.wait(ClientCheckAnswerMs))
            return false;
        return answered.constFirst().constFirst().toBool();
    }

    // The version query's outcome.
    template <typename T> static QStringList versionInfo(T &c) { return engineOf(c).versionInfo; }
    template <typename T> static bool versionReceived(T &c) { return engineOf(c).versionReceived; }
    template <typename T> static void checkRetrieveVersion(T &c) { engineOf(c).checkRetrieveVersion(); }

    // The work directory and the manifest's conversion into the work lists.
    template <typename T> static QDir &tempDir(T &c) { return engineOf(c).tempDir; }
    template <typename T> static void enterWorkDir(T &c, const QString &path)
    {
        engineOf(c).tempDir = QDir(path);
        engineOf(c).configFile = vt3::format::manifestName(vt3::format::Platform);
    }
    template <typename T> static bool prepareTempDir(T &c) { return engineOf(c).prepareTempDir(); }
    template <typename T> static void setConfigTimeout(T &c, int ms) { engineOf(c).configTimeout = ms; }
    template <typename T> static void setStallTimeout(T &c, int ms) { engineOf(c).stallTimeout = ms; }
    template <typename T> static void setPaceWindow(T &c, int ms) { engineOf(c).paceWindow = ms; }
    template <typename T> static void checkDownload(T &c) { engineOf(c).checkDownload(); }
    template <typename T> static void processIni(T &c) { engineOf(c).processIni(); }
    template <typename T> static QMap<QString, QVector<QString>> &downloadQueue(T &c)
    {
        return engineOf(c).downloadQueue;
    }
    template <typename T> static QMap<QString, QString> &releaseFiles(T &c) { return engineOf(c).releaseFiles; }
    template <typename T> static QMap<QString, int> deleteList(T &c) { return engineOf(c).deleteList; }
    template <typename T> static QString &releaseUrl(T &c) { return engineOf(c).releaseUrl; }
    template <typename T> static void setReleaseUrl(T &c, const QString &url) { engineOf(c).releaseUrl = url; }

    // Transfers and installation.
    template <typename T> static bool openOutputFile(T &c, const QString &path)
    {
        return engineOf(c).openOutputFile(path);
    }
    template <typename T> static QFile &outputFile(T &c) { return engineOf(c).outputFile; }
    template <typename T> static void closeOutput(T &c) { engineOf(c).outputFile.close(); }
    template <typename T> static void downloadTo(T &c, const QString &path) { engineOf(c).downloadTo(path); }
    template <typename T> static void downloading(T &c, QUrl url) { engineOf(c).downloading(url); }
    // The file work runs in the worker's thread; these return once the run
    // has come to rest (nothing posted to the worker is left unanswered).
    // The transfers of the queue the test set up, to the end of the run.
    template <typename T> static void makePlan(T &c)
    {
        vt3::UpdateEngine &e = engineOf(c);
        e.plan =
            vt3::ReleasePlan::make(e.downloadQueue, e.releaseFiles, e.releaseDigests, e.tempDir.path(), e.configFile);
    }
    template <typename T> static void startNextDownload(T &c)
    {
        vt3::UpdateEngine &e = engineOf(c);
        makePlan(c);
        e.startTransfers();
        QTRY_VERIFY_WITH_TIMEOUT(e.transcript.hasEnded(), SettleTimeoutMs);
    }
    template <typename T> static void startNextGzip(T &c)
    {
        makePlan(c);
        engineOf(c).startNextGzip();
        settle(c);
    }
    // Starts the walk over the downloads without waiting for the worker.
    template <typename T> static void beginUnpacking(T &c)
    {
        makePlan(c);
        engineOf(c).startNextGzip();
    }
    // Keeps the worker busy until `held` is released.
    template <typename T> static void holdWorker(T &c, QSemaphore &held)
    {
        QMetaObject::invokeMethod(
            engineOf(c).worker, [&held] { held.acquire(); }, Qt::QueuedConnection);
    }
    template <typename T> static void settle(T &c)
    {
        vt3::UpdateEngine &e = engineOf(c);
        quint64 posted = 0;
        do {
            posted = e.workPosted;
            // A round trip through the worker's queue: everything it was
            // given before has been done, and its answers are handled here
            // before this one.
            const auto back = std::make_shared<bool>(false);
            QObject *home = &e;
            QMetaObject::invokeMethod(
                e.worker,
                [home, back] {
                    QMetaObject::invokeMethod(
                        home, [back] { *back = true; }, Qt::QueuedConnection);
                },
                Qt::QueuedConnection);
            QTRY_VERIFY_WITH_TIMEOUT(*back, SettleTimeoutMs);
        } while (e.workPosted != posted);
    }
    template <typename T> static const vt3::CheckedFile checkedFile(T &c, const QString &key)
    {
        return engineOf(c).checkedFiles.value(key);
    }
    template <typename T> static QString &lastExtracted(T &c) { return engineOf(c).lastExtracted; }
    template <typename T> static bool updateFinished(T &c) { return engineOf(c).updateFinished; }
    template <typename T> static void setUpdateFinished(T &c, bool finished) { engineOf(c).updateFinished = finished; }

    // Progress and speed.
    template <typename T> static void startRunClock(T &c, qint64 completed, qint64 total)
    {
        engineOf(c).progress.start();
        engineOf(c).progress.complete(completed);
        engineOf(c).progress.setTotal(total);
    }
    template <typename T> static qint64 elapsed(T &c) { return engineOf(c).progress.elapsed(); }
    template <typename T> static void slotProgress(T &c, qint64 received, qint64 total)
    {
        engineOf(c).slotProgress(received, total);
    }
    template <typename T> static qint64 completedBytes(T &c) { return engineOf(c).progress.completed(); }
    template <typename T> static qint64 totalBytes(T &c) { return engineOf(c).progress.total(); }
    template <typename T> static int currentReceived(T &c) { return engineOf(c).currentReceived; }
};

#endif // ENGINEPROBE_H
