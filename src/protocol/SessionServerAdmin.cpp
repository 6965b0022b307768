// Server settings, plugin list and virtual-server lifecycle requests.
#include "protocol/ClientSession.h"

namespace Korrafin {

// Not served yet: the packet is dropped.
void ClientSession::handleServerSettingsUpdate(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handlePluginListRequest(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleVServerListRequest(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleVServerStop(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleVServerStart(PacketReader& /*reader*/) {}

}  // namespace Korrafin
