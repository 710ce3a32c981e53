#include "updateclient.h"

void UpdateClient::nextConfigFile()
{
}

bool UpdateClient::openOutputFile(const QString &path)
{
    Q_UNUSED(path);
    return false;
}

void UpdateClient::downloadReadyRead()
{
}

void UpdateClient::confError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code);
}

void UpdateClient::confDownloadFinished()
{
}

void UpdateClient::checkDownload()
{
}
