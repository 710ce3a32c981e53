#ifndef UPDATECLIENTPROBE_H
#define UPDATECLIENTPROBE_H

#include "releaseformat.h"
#include "ui_updateclient.h"
#include "updateclient.h"

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

// The tests' one way into a run's state; the window declares it its friend.
class UpdateClientProbe
{
public:
    static constexpr int ClientCheckAnswerMs = 40000;
    static constexpr int SettleTimeoutMs = 30000;

    static Ui::UpdateClient *ui(UpdateClient &c) { return c.ui; }
    static QPushButton *btnStart(UpdateClient &c) { return c.ui->btnStart; }
    static QPushButton *btnRun(UpdateClient &c) { return c.ui->btnRun; }
    static QPlainTextEdit *details(UpdateClient &c) { return c.ui->details; }
    static QLabel *label(UpdateClient &c) { return c.ui->lastedVersion; }
    static void pressUpdate(UpdateClient &c) { c.ui->btnStart->click(); }

    // The client check answers by a signal; this starts one and waits for
    // its answer (the tool's limit, then some slack).
    static bool isClientRunning(UpdateClient &c)
    {
        QSignalSpy answered(&c, &UpdateClient::clientChecked);
        c.checkClientRunning();
        if (answered.isEmpty() && !answered.wait(ClientCheckAnswerMs))
            return false;
        return answered.constFirst().constFirst().toBool();
    }
    static void message(UpdateClient &c, const QString &text) { c.message(text); }
    static void openUrl(UpdateClient &c, const QString &link) { c.openUrl(link); }

    // The version query's outcome.
    static QStringList versionInfo(UpdateClient &c) { return c.versionInfo; }
    static bool versionReceived(UpdateClient &c) { return c.versionReceived; }
    static void checkRetrieveVersion(UpdateClient &c) { c.checkRetrieveVersion(); }

    // The work directory and the manifest's conversion into the work lists.
    static QDir &tempDir(UpdateClient &c) { return c.tempDir; }
    static void enterWorkDir(UpdateClient &c, const QString &path)
    {
        c.tempDir = QDir(path);
        c.configFile = vt3::format::manifestName(vt3::format::Platform);
    }
    static bool prepareTempDir(UpdateClient &c) { return c.prepareTempDir(); }
    static void setConfigTimeout(UpdateClient &c, int ms) { c.configTimeout = ms; }
    static void setStallTimeout(UpdateClient &c, int ms) { c.stallTimeout = ms; }
    static void checkDownload(UpdateClient &c) { c.checkDownload(); }
    static void processIni(UpdateClient &c) { c.processIni(); }
    static QMap<QString, QVector<QString>> &downloadQueue(UpdateClient &c) { return c.downloadQueue; }
    static QMap<QString, QString> &releaseFiles(UpdateClient &c) { return c.releaseFiles; }
    static QMap<QString, int> deleteList(UpdateClient &c) { return c.deleteList; }
    static QString &releaseUrl(UpdateClient &c) { return c.releaseUrl; }
    static void setReleaseUrl(UpdateClient &c, const QString &url) { c.releaseUrl = url; }

    // Transfers and installation.
    static bool openOutputFile(UpdateClient &c, const QString &path) { return c.openOutputFile(path); }
    static QFile &outputFile(UpdateClient &c) { return c.outputFile; }
    static void closeOutput(UpdateClient &c) { c.outputFile.close(); }
    static void downloadTo(UpdateClient &c, const QString &path) { c.downloadTo(path); }
    static void downloading(UpdateClient &c, QUrl url) { c.downloading(url); }
    // The file work runs in the worker's thread; these return once the run
    // has come to rest (nothing posted to the worker is left unanswered).
    static void startNextDownload(UpdateClient &c)
    {
        c.startNextDownload();
        settle(c);
    }
    static void startNextGzip(UpdateClient &c)
    {
        c.startNextGzip();
        settle(c);
    }
    // Starts the walk over the downloads without waiting for the worker.
    static void beginUnpacking(UpdateClient &c) { c.startNextGzip(); }
    // Keeps the worker busy until `held` is released.
    static void holdWorker(UpdateClient &c, QSemaphore &held)
    {
        QMetaObject::invokeMethod(
            c.worker, [&held] { held.acquire(); }, Qt::QueuedConnection);
    }
    static void settle(UpdateClient &c)
    {
        quint64 posted = 0;
        do {
            posted = c.workPosted;
            // A round trip through the worker's queue: everything it was
            // given before has been done, and its answers are handled here
            // before this one.
            const auto back = std::make_shared<bool>(false);
            QObject *window = &c;
            QMetaObject::invokeMethod(
                c.worker,
                [window, back] {
                    QMetaObject::invokeMethod(
                        window, [back] { *back = true; }, Qt::QueuedConnection);
                },
                Qt::QueuedConnection);
            QTRY_VERIFY_WITH_TIMEOUT(*back, SettleTimeoutMs);
            // A file unpacked behind its transfer is answered for once its
            // unpacking is done, on a thread of its own.
            QTRY_VERIFY_WITH_TIMEOUT(c.streamsInFlight == 0, SettleTimeoutMs);
        } while (c.workPosted != posted);
    }
    static const vt3::CheckedFile checkedFile(UpdateClient &c, const QString &key) { return c.checkedFiles.value(key); }
    static QString &lastExtracted(UpdateClient &c) { return c.lastExtracted; }
    static bool updateFinished(UpdateClient &c) { return c.updateFinished; }
    static void setUpdateFinished(UpdateClient &c, bool finished) { c.updateFinished = finished; }

    // A release-file transfer as the download queue makes it, without the
    // queue: the target opened, its announced size set, the reply's bytes
    // going to the shared writer.
    static QNetworkReply *fetchReleaseFile(UpdateClient &c, const QString &target, const QUrl &url, qint64 announced)
    {
        if (!c.openOutputFile(target))
            return nullptr;
        c.currentExpectedSize = announced;
        c.currentWritten = 0;
        QNetworkReply *reply = c.networkManager.get(QNetworkRequest(url));
        QObject::connect(reply, &QNetworkReply::readyRead, &c, &UpdateClient::downloadReadyRead);
        return reply;
    }

    // Progress and speed.
    static QString formatSize(UpdateClient &c, double bytes) { return c.formatSize(bytes); }
    static void startRunClock(UpdateClient &c, qint64 completed, qint64 total)
    {
        c.completedBytes = completed;
        c.totalBytes = total;
        c.speedTimer.start();
    }
    static qint64 elapsed(UpdateClient &c) { return c.speedTimer.elapsed(); }
    static void slotProgress(UpdateClient &c, qint64 received, qint64 total) { c.slotProgress(received, total); }
    static qint64 completedBytes(UpdateClient &c) { return c.completedBytes; }
    static qint64 totalBytes(UpdateClient &c) { return c.totalBytes; }
    static int currentReceived(UpdateClient &c) { return c.currentReceived; }
};

#endif // UPDATECLIENTPROBE_H
