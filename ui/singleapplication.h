#ifndef SINGLEAPPLICATION_H
#define SINGLEAPPLICATION_H

#include "singleinstance.h"

#include <QApplication>
#include <QPointer>
#include <QString>

class QWidget;

// The window's application object, one instance at a time (see
// vt3::SingleInstance): a second start hands the first a message, which
// brings the first one's window to the front.
class QtSingleApplication : public QApplication
{
    Q_OBJECT

public:
    QtSingleApplication(int &argc, char **argv, bool GUIenabled = true);

    // True when another live instance holds the lock.
    bool isRunning();
    // Hands the message to the running instance; true once it has taken it
    // within timeout milliseconds (a negative timeout waits for ever).
    bool sendMessage(const QString &message, int timeout = 5000);
    void setActivationWindow(QWidget *aw, bool activateOnMessage = true);
    QWidget *activationWindow() const;

public slots:
    void activateWindow();

signals:
    void messageReceived(const QString &message);

private:
    vt3::SingleInstance instance;
    QPointer<QWidget> actWin;
};

#endif // SINGLEAPPLICATION_H
