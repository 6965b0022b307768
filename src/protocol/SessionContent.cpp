// Per-channel content and its reactions.
#include "protocol/ClientSession.h"

namespace Korrafin {

// Not served yet: the packet is dropped.
void ClientSession::handleChannelContentGet(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleChannelContentUpdate(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleChannelReactionToggle(PacketReader& /*reader*/) {}

}  // namespace Korrafin
