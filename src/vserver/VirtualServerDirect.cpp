// Direct messages between two users of the virtual server.
#include "vserver/VirtualServer.h"

namespace Korrafin {

// Not served yet: nothing is delivered.
void VirtualServer::routeDirectMessage(uint32_t /*fromId*/, uint32_t /*toId*/, const std::string& /*text*/) {}

}  // namespace Korrafin
