#include "updateclient.h"

bool UpdateClient::prepareTempDir()
{
    return false;
}

void UpdateClient::downloadTo(QString path)
{
    Q_UNUSED(path);
}

void UpdateClient::downloading(QUrl &url)
{
    Q_UNUSED(url);
}
