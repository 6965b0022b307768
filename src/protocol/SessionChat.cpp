// Channel chat, direct messages, presence updates and a client's own channel joins.
#include "protocol/ClientSession.h"

namespace Korrafin {

// Not served yet: the packet is dropped.
void ClientSession::handleChatMessage(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleDmSend(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleMessageDelete(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleChannelJoin(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleChannelLeave(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleVoiceState(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleUserStatusUpdate(PacketReader& /*reader*/) {}

// Not served yet: the packet is dropped.
void ClientSession::handleUserActivityUpdate(PacketReader& /*reader*/) {}

}  // namespace Korrafin
