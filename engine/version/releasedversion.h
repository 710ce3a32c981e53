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

signals:
    void finished(QString &reply);

private slots:
    void getFirstAddr(QHostInfo info);
    void initSocket();
    void readPendingDatagrams();

private:
    bool isOwnRequest(const QByteArray &datagram, const QHostAddress &sender) const;

    QString hostName;
    quint16 port;
    QString requestText;
    QUdpSocket *udpSocket;
    QHostAddress serverAddress;

    friend class ReleasedVersionProbe;
};

#endif // RELEASEDVERSION_H
