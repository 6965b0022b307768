// Login to a virtual server, identity registration and account login.
#include "protocol/ClientSession.h"

namespace Korrafin {

// Not served yet: the packet is dropped.
void ClientSession::handleAuthRequest(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleUserRegister(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleUserLogin(PacketReader& /*reader*/) {}

}  // namespace Korrafin
