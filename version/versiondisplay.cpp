#include "updateclient.h"

void UpdateClient::showLastedVersion(QString &reply)
{
    Q_UNUSED(reply);
}

void UpdateClient::checkRetrieveVersion()
{
}
