#include "singleapplication.h"

#include <QWidget>

QtSingleApplication::QtSingleApplication(int &argc, char **argv, bool GUIenabled)
    : QApplication(argc, argv, GUIenabled)
{
    connect(&instance, &vt3::SingleInstance::messageReceived, this, &QtSingleApplication::messageReceived);
}

bool QtSingleApplication::isRunning()
{
    return instance.isRunning();
}

bool QtSingleApplication::sendMessage(const QString &message, int timeout)
{
    return instance.sendMessage(message, timeout);
}

void QtSingleApplication::setActivationWindow(QWidget *aw, bool activateOnMessage)
{
    actWin = aw;
    if (activateOnMessage)
        connect(this, &QtSingleApplication::messageReceived, this, &QtSingleApplication::activateWindow,
                Qt::UniqueConnection);
    else
        disconnect(this, &QtSingleApplication::messageReceived, this, &QtSingleApplication::activateWindow);
}

QWidget *QtSingleApplication::activationWindow() const
{
    return actWin;
}

void QtSingleApplication::activateWindow()
{
    if (!actWin)
        return;
    actWin->setWindowState(actWin->windowState() & ~Qt::WindowMinimized);
    actWin->show();
    actWin->raise();
    actWin->activateWindow();
}
