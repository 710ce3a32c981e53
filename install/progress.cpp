#include "updateclient.h"

void UpdateClient::slotProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    Q_UNUSED(bytesTotal);
}

QString UpdateClient::formatSize(double bytes)
{
    Q_UNUSED(bytes);
    return QString();
}
