#include "updateclient.h"

void UpdateClient::startNextGzip()
{
}

void UpdateClient::gzipError(QProcess::ProcessError error)
{
    Q_UNUSED(error);
}
