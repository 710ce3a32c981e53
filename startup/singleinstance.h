#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace vt3 {

// One instance at a time. Two starts of the same executable by the same
// user count as one: the second finds the first, can hand it a message and
// leaves. It needs no window, so a run with nobody at the screen is held to
// the same rule.
//
// The first start holds a lock file and listens on a local socket, both
// named after the identity. The lock decides who is first (creating it is
// atomic, and a lock left by a killed process is recognised by its PID);
// only the lock holder ever removes a left-over socket, so a live primary's
// socket is never taken away.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when another live instance holds the lock.
    bool isRunning() const { return !primary; }
    // Hands the message to the running instance; true once it has taken it
    // within timeout milliseconds (a negative timeout waits for ever).
    bool sendMessage(const QString &message, int timeout = 5000);

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
    bool primary = false;
};

} // namespace vt3

#endif // SINGLEINSTANCE_H
