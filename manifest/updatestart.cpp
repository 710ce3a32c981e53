#include "updateclient.h"

void UpdateClient::update()
{
}
