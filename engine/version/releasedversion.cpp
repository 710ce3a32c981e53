#include "releasedversion.h"

#include "versionreply.h"

#include <QDebug>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

namespace {
// The server listens here, and the client tries this port first for its own
// end so that a firewall rule for one port covers both directions.
constexpr quint16 VersionPort = 17384;
// Another updater (or a test) may hold the first port; walking a hundred
// further ports is plenty for the few instances one machine runs.
constexpr quint16 ExtraLocalPorts = 100;
// QHostAddress::toString() of an IPv4 address has four dotted parts.
constexpr int Ipv4Parts = 4;
} // namespace

releasedVersion::releasedVersion(QObject *parent)
    : QObject(parent)
    , hostName(QStringLiteral(VT3_VERSION_HOST))
    , port(VersionPort)
    , requestText(QStringLiteral("3"))
    , udpSocket(nullptr)
{
    // The lookup worker hands its result over by a queued call.
    qRegisterMetaType<QHostInfo>("QHostInfo");
    QHostInfo::lookupHost(hostName, this, &releasedVersion::getFirstAddr);
}

void releasedVersion::forgetLookup()
{
    delete udpSocket;
    udpSocket = nullptr;
    serverAddress = QHostAddress();
}

void releasedVersion::getFirstAddr(QHostInfo info)
{
    if (info.error() != QHostInfo::NoError)
        return;

    const QList<QHostAddress> addresses = info.addresses();
    for (const QHostAddress &address : addresses) {
        const QString text = address.toString();
        // Any colon means an IPv6 form, IPv4-mapped ones included; the
        // server only ever listens on IPv4.
        if (text.split(QLatin1Char(':'), Qt::KeepEmptyParts).size() > 1)
            continue;
        if (text.split(QLatin1Char('.'), Qt::KeepEmptyParts).size() != Ipv4Parts)
            continue;
        serverAddress = address;
        qDebug() << addresses.size() << "IP:" << serverAddress.toString();
        // Leave the lookup's slot before any socket work starts.
        QTimer::singleShot(0, this, &releasedVersion::initSocket);
        return;
    }
}

void releasedVersion::initSocket()
{
    udpSocket = new QUdpSocket(this);
    const QByteArray request = requestText.toLocal8Bit();

    for (int offset = 0; offset <= ExtraLocalPorts; ++offset) {
        const quint16 localPort = static_cast<quint16>(port + offset);
        if (!udpSocket->bind(localPort, QAbstractSocket::DefaultForPlatform))
            continue;
        // A lost request shows as the window's time-out; nothing to do here.
        udpSocket->writeDatagram(request, serverAddress, port);
        qDebug() << "Send:" << request;
        connect(udpSocket, &QUdpSocket::readyRead, this, &releasedVersion::readPendingDatagrams);
        return;
    }
}

bool releasedVersion::isOwnRequest(const QByteArray &datagram, const QHostAddress &sender) const
{
    // Where the server's name points at this machine and nothing answers
    // there, our socket reads its own request back. Ports tell nothing: a
    // server on another host answers from its 17384 to ours, which is 17384
    // too on a machine without a server of its own. So a datagram is ours
    // only when it is our request, byte for byte, and comes from here.
    if (datagram != requestText.toLocal8Bit())
        return false;
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.cbegin(), own.cend(), [&sender](const QHostAddress &address) {
        return address.isEqual(sender, QHostAddress::TolerantConversion);
    });
}

void releasedVersion::readPendingDatagrams()
{
    QByteArray datagram;
    bool ownRequestSeen = false;
    bool replySeen = false;
    while (udpSocket->hasPendingDatagrams()) {
        QByteArray next(static_cast<int>(qMax<qint64>(udpSocket->pendingDatagramSize(), 0)), Qt::Uninitialized);
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 read = udpSocket->readDatagram(next.data(), next.size(), &sender, &senderPort);
        // A failed read leaves nothing of the datagram, not stale bytes.
        next.resize(static_cast<int>(qMax<qint64>(read, 0)));
        if (isOwnRequest(next, sender)) {
            qDebug() << "own request:" << sender.toString() << senderPort;
            ownRequestSeen = true;
            continue;
        }
        datagram = next;
        replySeen = true;
        QString each = vt3::decodeReply(next);
        emit datagramRead(each);
    }
    // Our own request is no answer; keep waiting for the real one.
    if (ownRequestSeen && !replySeen)
        return;
    qDebug() << "reply:" << QString::fromUtf8(datagram);

    QString reply = vt3::decodeReply(datagram);
    emit finished(reply);
}
