#include "updateclient.h"

void UpdateClient::processIni()
{
}
