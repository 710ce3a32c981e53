#include "singleapplication.h"

#include <QWidget>

QtSingleApplication::QtSingleApplication(int &argc, char **argv, bool GUIenabled)
    : QApplication(argc, argv, GUIenabled)
{
}

QtSingleApplication::~QtSingleApplication() = default;

bool QtSingleApplication::isRunning()
{
    return false;
}

bool QtSingleApplication::sendMessage(const QString &message, int timeout)
{
    Q_UNUSED(message);
    Q_UNUSED(timeout);
    return false;
}

void QtSingleApplication::setActivationWindow(QWidget *aw, bool activateOnMessage)
{
    Q_UNUSED(activateOnMessage);
    actWin = aw;
}

QWidget *QtSingleApplication::activationWindow() const
{
    return actWin;
}

void QtSingleApplication::activateWindow()
{
}
