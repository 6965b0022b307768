// Privilege key and bot token requests.
#include "protocol/ClientSession.h"

namespace Korrafin {

// Not served yet: the packet is dropped.
void ClientSession::handleUsePrivilegeKey(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handlePrivKeyCreate(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handlePrivKeyRevoke(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handlePrivKeyListRequest(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleBotTokenListRequest(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleBotTokenCreate(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleBotTokenRevoke(PacketReader& /*reader*/) {}

}  // namespace Korrafin
