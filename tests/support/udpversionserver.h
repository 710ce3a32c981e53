#ifndef UDPVERSIONSERVER_H
#define UDPVERSIONSERVER_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QUdpSocket>

// A version server on one UDP port of a loopback address. It holds the port
// exclusively, so a client's default bind cannot share it, records every
// request and answers with the configured datagrams (or stays silent).
class UdpVersionServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray bytes;
        QHostAddress sender;
        quint16 senderPort;
    };

    explicit UdpVersionServer(QObject *parent = nullptr);

    bool listen(quint16 port = 17384, const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    // The same, but waits while another program's client holds the port
    // (every updater window binds 17384 first while it is free).
    bool listenWhenFree(int timeoutMs, quint16 port = 17384,
                        const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    quint16 port() const { return socket.localPort(); }

    // One datagram per request; several datagrams are sent back to back, so
    // they are all pending when the client next looks.
    void setReply(const QByteArray &datagram) { replies = {datagram}; }
    void setReplies(const QList<QByteArray> &datagrams) { replies = datagrams; }
    void setSilent() { replies.clear(); }

    // Unasked datagram to a client port, as a late or foreign reply.
    void sendTo(quint16 clientPort, const QByteArray &datagram);

    QList<Request> requests() const { return received; }
    // Other programs on the machine may ask too: tests count only the
    // requests of the socket under test.
    QList<Request> requestsFrom(quint16 senderPort) const;
    bool waitForRequestFrom(quint16 senderPort, int timeoutMs = 5000);

signals:
    void requestReceived(const UdpVersionServer::Request &request);

private:
    void readRequests();

    QUdpSocket socket;
    QList<QByteArray> replies;
    QList<Request> received;
};

#endif // UDPVERSIONSERVER_H
