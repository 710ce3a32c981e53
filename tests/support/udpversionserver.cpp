#include "udpversionserver.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QTest>

UdpVersionServer::UdpVersionServer(QObject *parent)
    : QObject(parent)
{
    connect(&socket, &QUdpSocket::readyRead, this, &UdpVersionServer::readRequests);
}

bool UdpVersionServer::listen(quint16 port, const QHostAddress &address)
{
    return socket.bind(address, port, QAbstractSocket::DontShareAddress);
}

bool UdpVersionServer::listenWhenFree(int timeoutMs, quint16 port, const QHostAddress &address)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!listen(port, address)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(100);
    }
    return true;
}

void UdpVersionServer::sendTo(quint16 clientPort, const QByteArray &datagram)
{
    socket.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), clientPort);
}

QList<UdpVersionServer::Request> UdpVersionServer::requestsFrom(quint16 senderPort) const
{
    QList<Request> from;
    for (const Request &request : received) {
        if (request.senderPort == senderPort)
            from << request;
    }
    return from;
}

bool UdpVersionServer::waitForRequestFrom(quint16 senderPort, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (requestsFrom(senderPort).isEmpty()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

void UdpVersionServer::readRequests()
{
    while (socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket.receiveDatagram();
        const Request request{datagram.data(), datagram.senderAddress(), static_cast<quint16>(datagram.senderPort())};
        received << request;
        for (const QByteArray &reply : qAsConst(replies))
            socket.writeDatagram(reply, request.sender, request.senderPort);
        emit requestReceived(request);
    }
}
