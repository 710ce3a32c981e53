#ifndef UPDATECLIENTPROBE_H
#define UPDATECLIENTPROBE_H

#include "engineprobe.h"
#include "ui_updateclient.h"
#include "updateclient.h"

inline vt3::UpdateEngine &engineOf(UpdateClient &c)
{
    return c.engine();
}

// The window's widgets, beside the run's state; the window declares it its
// friend.
class UpdateClientProbe : public EngineProbe
{
public:
    static vt3::UpdateEngine &engine(UpdateClient &c) { return c.engine(); }
    static Ui::UpdateClient *ui(UpdateClient &c) { return c.ui; }
    static QPushButton *btnStart(UpdateClient &c) { return c.ui->btnStart; }
    static QPushButton *btnRun(UpdateClient &c) { return c.ui->btnRun; }
    static QPlainTextEdit *details(UpdateClient &c) { return c.ui->details; }
    static QLabel *label(UpdateClient &c) { return c.ui->lastedVersion; }
    static void pressUpdate(UpdateClient &c) { c.ui->btnStart->click(); }
    static void openUrl(UpdateClient &c, const QString &link) { c.openUrl(link); }
    static QString formatSize(UpdateClient &c, double bytes) { return c.formatSize(bytes); }
};

#endif // UPDATECLIENTPROBE_H
