#include "updateclient.h"

void UpdateClient::allFinished()
{
}

void UpdateClient::removeDirContents(QDir dir)
{
    Q_UNUSED(dir);
}

void UpdateClient::runVT3()
{
}
