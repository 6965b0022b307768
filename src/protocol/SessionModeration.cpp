// Kick, ban, move and role requests against other users of the virtual
// server. The virtual server checks the requester's right for kicks, bans
// and roles; the move's right is checked here. Only a refused move is
// answered: every other outcome shows in what the virtual server sends.
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

// u32 target, str reason.
void ClientSession::handleKickUser(PacketReader& reader) {
    const auto target = reader.readLE<uint32_t>();
    const std::string reason = reader.readStr();
    auto vs = vserver();
    if (!vs) return;
    vs->kickUser(target, clientId_, reason);
}

// u32 target, str reason, u32 duration in seconds (0 = no expiry).
void ClientSession::handleBanUser(PacketReader& reader) {
    const auto target = reader.readLE<uint32_t>();
    const std::string reason = reader.readStr();
    const auto seconds = reader.readLE<uint32_t>();
    auto vs = vserver();
    if (!vs) return;
    vs->banUser(target, clientId_, reason, static_cast<int64_t>(seconds));
}

// u32 target, u16 channel. The target itself must be allowed into the
// channel; a move never passes a channel password.
void ClientSession::handleMoveUser(PacketReader& reader) {
    const auto target = reader.readLE<uint32_t>();
    const auto channelId = reader.readLE<uint16_t>();
    auto vs = vserver();
    if (!vs) return;
    if (!vs->checkPerm(clientId_, Permission::MOVE_USERS, 0)) {
        send(errorPacket("No permission to move users"));
        return;
    }
    vs->moveUserToChannel(target, channelId, std::string());
}

// u32 target, u8 role; the virtual server checks the requester's right.
void ClientSession::handleSetUserRole(PacketReader& reader) {
    const auto target = reader.readLE<uint32_t>();
    const auto role = static_cast<UserRole>(reader.readLE<uint8_t>());
    auto vs = vserver();
    if (!vs) return;
    vs->setUserRole(target, clientId_, role);
}

}  // namespace Korrafin
