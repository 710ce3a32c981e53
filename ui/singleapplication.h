#ifndef SINGLEAPPLICATION_H
#define SINGLEAPPLICATION_H

#include <QApplication>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QLockFile;
class QWidget;

// Single-instance application object. Two starts of the same executable by
// the same user count as one application: the second finds the first,
// hands it a message and leaves.
//
// The first start holds a lock file and listens on a local socket, both
// named after the identity. The lock decides who is first (creating it is
// atomic, and a lock left by a killed process is recognised by its PID);
// only the lock holder ever removes a left-over socket, so a live primary's
// socket is never taken away.
class QtSingleApplication : public QApplication
{
    Q_OBJECT

public:
    QtSingleApplication(int &argc, char **argv, bool GUIenabled = true);
    ~QtSingleApplication() override;

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
    void becomePrimary();
    void acceptConnections();
    void readMessages(QLocalSocket *socket);

    QString id;
    QString serverName;
    QLockFile *lock = nullptr;
    QLocalServer *server = nullptr;
    QPointer<QWidget> actWin;
    bool primary = false;
};

#endif // SINGLEAPPLICATION_H
