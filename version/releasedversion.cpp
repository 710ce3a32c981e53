#include "releasedversion.h"

#include <QUdpSocket>

releasedVersion::releasedVersion(QObject *parent)
    : QObject(parent)
    , hostName(QStringLiteral(VT3_VERSION_HOST))
    , port(17384)
    , requestText(QStringLiteral("3"))
    , udpSocket(nullptr)
{
}

void releasedVersion::getFirstAddr(QHostInfo info)
{
    Q_UNUSED(info);
}

void releasedVersion::initSocket()
{
}

void releasedVersion::readPendingDatagrams()
{
}
