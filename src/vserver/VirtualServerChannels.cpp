// Channel administration, channel persistence, message counts and the
// server settings record.
#include "vserver/VirtualServer.h"

namespace Korrafin {

// Not served yet: every operation below refuses or changes nothing.

void VirtualServer::loadChannelsFromDb() {}

uint16_t VirtualServer::adminCreateChannel(const ChannelInfo& /*info*/, uint32_t /*actorId*/) { return 0; }

bool VirtualServer::adminUpdateChannel(const ChannelInfo& /*info*/, uint32_t /*actorId*/) { return false; }

bool VirtualServer::adminDeleteChannel(uint16_t /*channelId*/, uint32_t /*actorId*/) { return false; }

bool VirtualServer::adminReorderChannels(const std::vector<uint16_t>& /*ids*/, uint32_t /*actorId*/) {
    return false;
}

void VirtualServer::incrementChannelMessageCount(uint16_t /*channelId*/) {}

DB::DbServerSettings VirtualServer::getServerSettings() const { return {}; }

void VirtualServer::saveServerSettings(const DB::DbServerSettings& /*settings*/) {}

}  // namespace Korrafin
