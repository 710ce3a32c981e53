#ifndef RELEASEDVERSION_H
#define RELEASEDVERSION_H

#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>

class QUdpSocket;

// Asks the version server, once, which client release is current, and
// passes on every reply datagram as text.
class releasedVersion : public QObject
{
    Q_OBJECT

public:
    explicit releasedVersion(QObject *parent);

    // The socket once the server's address is known, and that address.
    QUdpSocket *socket() const { return udpSocket; }
    QHostAddress server() const { return serverAddress; }
    // Undoes what the lookup found, so that another lookup result may be
    // handed to getFirstAddr.
    void forgetLookup();

signals:
    // The last datagram of those read at once.
    void finished(QString &reply);
    // Every datagram, for a reader that must not let one hide another.
    void datagramRead(QString &reply);

public slots:
    void getFirstAddr(QHostInfo info);

private slots:
    void initSocket();
    void readPendingDatagrams();

private:
    bool isOwnRequest(const QByteArray &datagram, const QHostAddress &sender) const;

    QString hostName;
    quint16 port;
    QString requestText;
    QUdpSocket *udpSocket;
    QHostAddress serverAddress;
};

#endif // RELEASEDVERSION_H
