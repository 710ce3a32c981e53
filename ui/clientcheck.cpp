#include "updateclient.h"

bool UpdateClient::isClientRunning()
{
    return false;
}
