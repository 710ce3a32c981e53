#ifndef SINGLEAPPLICATION_H
#define SINGLEAPPLICATION_H

#include <QApplication>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLockFile;
class QWidget;

// Single-instance application object. Two starts of the same executable by
// the same user count as one application: the second finds the first,
// hands it a message and leaves.
class QtSingleApplication : public QApplication
{
    Q_OBJECT

public:
    QtSingleApplication(int &argc, char **argv, bool GUIenabled = true);
    ~QtSingleApplication() override;

    bool isRunning();
    bool sendMessage(const QString &message, int timeout = 5000);
    void setActivationWindow(QWidget *aw, bool activateOnMessage = true);
    QWidget *activationWindow() const;

public slots:
    void activateWindow();

signals:
    void messageReceived(const QString &message);

private:
    QString id;
    QLockFile *lock = nullptr;
    QLocalServer *server = nullptr;
    QPointer<QWidget> actWin;
    bool primary = false;
};

#endif // SINGLEAPPLICATION_H
