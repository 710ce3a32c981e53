#include "updateclient.h"

void UpdateClient::copyFiles()
{
}
