#include "updateclient.h"

void UpdateClient::startNextDownload()
{
}

bool UpdateClient::isDownloaded(QFile &file)
{
    Q_UNUSED(file);
    return false;
}

void UpdateClient::error(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code);
}
