// Kick, ban, move and role requests against other users of the virtual server.
#include "protocol/ClientSession.h"

#include "vserver/VirtualServer.h"

namespace Korrafin {

// Not served yet: the packet is dropped.
void ClientSession::handleKickUser(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleBanUser(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleMoveUser(PacketReader& /*reader*/) {}

// u32 target, u8 role; the virtual server checks the requester's right.
void ClientSession::handleSetUserRole(PacketReader& reader) {
    const auto target = reader.readLE<uint32_t>();
    const auto role = static_cast<UserRole>(reader.readLE<uint8_t>());
    auto vs = vserver();
    if (!vs) return;
    vs->setUserRole(target, clientId_, role);
}

}  // namespace Korrafin
