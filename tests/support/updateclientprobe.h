#ifndef UPDATECLIENTPROBE_H
#define UPDATECLIENTPROBE_H

#include "ui_updateclient.h"
#include "updateclient.h"

// The window's widgets; the window declares it its friend.
class UpdateClientProbe
{
public:
    static vt3::UpdateEngine &engine(UpdateClient &c) { return c.engine(); }
    static Ui::UpdateClient *ui(UpdateClient &c) { return c.ui; }
    static QPushButton *btnStart(UpdateClient &c) { return c.ui->btnStart; }
    static QPushButton *btnRun(UpdateClient &c) { return c.ui->btnRun; }
    static QPushButton *btnElevate(UpdateClient &c) { return c.ui->btnElevate; }
    // What the administrator's button starts instead of the updater itself.
    static void setElevatedProgram(UpdateClient &c, const QString &program) { c.elevatedProgram = program; }
    static quint64 announcedRelease(UpdateClient &c) { return c.announcedRelease; }
    static QPlainTextEdit *details(UpdateClient &c) { return c.ui->details; }
    static QLabel *label(UpdateClient &c) { return c.ui->lastedVersion; }
    static void pressUpdate(UpdateClient &c) { c.ui->btnStart->click(); }
    static void openUrl(UpdateClient &c, const QString &link) { c.openUrl(link); }
    static QString formatSize(UpdateClient &c, double bytes) { return c.formatSize(bytes); }
    static bool updateFinished(UpdateClient &c) { return c.engine().isFinished(); }
    // A line of the run's log, to the window and the disk log.
    static void message(UpdateClient &c, const QString &html) { c.engine().runTranscript().line(html); }
    // The run in progress, or the last one.
    static vt3::UpdateRun *run(UpdateClient &c) { return c.engine().currentRun(); }
};

#endif // UPDATECLIENTPROBE_H
