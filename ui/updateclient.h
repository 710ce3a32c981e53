#ifndef UPDATECLIENT_H
#define UPDATECLIENT_H

#include "updateengine.h"
#include "updateface.h"

#include <QDateTime>
#include <QMainWindow>
#include <QString>

namespace vt3 {
class ElevatedUpdate;
}

namespace Ui {
class UpdateClient;
}

class QCloseEvent;
class QEvent;

// The main window: it shows what the update engine reports and passes on
// the user's clicks. It holds nothing of a run but the engine itself.
class UpdateClient : public QMainWindow, public vt3::UpdateFace
{
    Q_OBJECT

public:
    explicit UpdateClient(QWidget *parent = nullptr);
    ~UpdateClient() override;

    vt3::UpdateEngine &engine() { return *run; }
    // A run nobody watches: questions and notices that would wait for a
    // click are left out; the log says what happened.
    void setUnattended(bool on) { unattended = on; }

    // What the engine reports.
    void versionKnown(const QString &releaseId, const QString &version, const QDateTime &released) override;
    void versionUnknown() override;
    void versionRefused(const QString &why) override;
    void runStarting() override;
    void runStarted() override;
    void logLine(const QString &html) override;
    void transferProgress(qint64 done, qint64 total, double bytesPerSecond) override;
    void unpackProgress(int percent) override;
    void checkProgress(qint64 done, qint64 total) override;
    void runFinished() override;
    void runStopped(vt3::RunStop why) override;
    bool confirmAbort() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private slots:
    void slotProgress(qint64 done, qint64 total, double bytesPerSecond);
    void message(QString text);
    void runVT3();
    void openUrl(QString link);
    void updateAsAdministrator();
    void elevatedRunEnded(int exitCode);

private:
    QString formatSize(double bytes);

    Ui::UpdateClient *ui;
    // A child of the window, so that it goes with it.
    vt3::UpdateEngine *run;
    bool unattended = false;
    // The run this window cannot do itself, where this user may not write
    // the installation: the updater again, with an administrator's rights.
    vt3::ElevatedUpdate *elevated;
    QString elevatedProgram;
    QDateTime elevatedSince;
    quint64 announcedRelease = 0;

    // Tests reach the window through this one friend.
    friend class UpdateClientProbe;
};

#endif // UPDATECLIENT_H
