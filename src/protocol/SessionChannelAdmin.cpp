// Channel creation, deletion, update and reordering requests.
#include "protocol/ClientSession.h"

namespace Korrafin {

// Not served yet: the packet is dropped.
void ClientSession::handleChannelCreate(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleChannelDelete(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleChannelUpdate(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleChannelReorder(PacketReader& /*reader*/) {}

}  // namespace Korrafin
