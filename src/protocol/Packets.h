// Finished packets (header + payload, ready for ClientSession::send or a
// broadcast) that more than one component sends. Pure functions of their
// arguments, callable from any thread. A string over 65535 bytes makes them
// throw std::runtime_error("String too long"); a list longer than its count
// field makes them throw std::length_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/OutboundQueue.h"
#include "db/Records.h"
#include "protocol/ChannelInfo.h"
#include "protocol/MessageType.h"
#include "protocol/ResultCode.h"
#include "protocol/UserInfo.h"

namespace Korrafin {

// ChannelList (0x20): u16 count, then the channel records in the given order.
std::vector<uint8_t> channelListPacket(const std::vector<ChannelInfo>& channels);
// UserList (0x30): u32 count, then the user records in the given order.
std::vector<uint8_t> userListPacket(const std::vector<UserInfo>& users);
// One UserInfo record under `type`: UserJoined, UserJoinedChannel or UserUpdated.
std::vector<uint8_t> userInfoPacket(MessageType type, const UserInfo& user);
// UserLeftChannel (0x32): u32 client id, u16 channel left.
std::vector<uint8_t> userLeftChannelPacket(uint32_t clientId, uint16_t channelId);
// UserLeft (0x34): u32 client id.
std::vector<uint8_t> userLeftPacket(uint32_t clientId);
// ChannelJoinResult (0x25): u16 result, u16 channel id.
std::vector<uint8_t> channelJoinResultPacket(ResultCode result, uint16_t channelId);
// Error (0xFF): u16 ResultCode::Refused, str text.
std::vector<uint8_t> errorPacket(std::string_view text);
// ChatMessage (0x50) as the server sends it.
std::vector<uint8_t> chatMessagePacket(uint32_t senderId, uint16_t channelId, std::string_view nickname,
                                       std::string_view text, uint64_t messageId);
// DirectMessage (0xB1): u32 sender id, str sender nickname, str text.
std::vector<uint8_t> directMessagePacket(uint32_t senderId, std::string_view nickname, std::string_view text);
// ChannelMessageCount (0xB7): u16 channel id, u32 count.
std::vector<uint8_t> channelMessageCountPacket(uint16_t channelId, uint32_t count);
// ChannelReorder (0x27): u16 count, then the ids in the given order.
std::vector<uint8_t> channelReorderPacket(const std::vector<uint16_t>& ids);
// ServerSettings (0xA0): the nine settings fields in record order.
std::vector<uint8_t> serverSettingsPacket(const DB::DbServerSettings& settings);

// What the finished packet of `n` bytes at `packet` is to a session's
// outgoing queue: a whole snapshot of the channel list, the server settings
// or the content of one channel (a newer one makes an unsent older one
// useless); an update of one of them (a reorder or a message count of the
// channel list, a reaction list of a channel's content), which a newer
// snapshot already shows; or, for every other packet, neither.
OutboundQueue::Tag stateTagOf(const uint8_t* packet, std::size_t n);

}  // namespace Korrafin
