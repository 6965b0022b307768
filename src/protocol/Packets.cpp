#include "protocol/Packets.h"

#include <optional>
#include <stdexcept>

#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"

namespace Korrafin {

std::vector<uint8_t> channelListPacket(const std::vector<ChannelInfo>& channels) {
    std::size_t bytes = 0;
    for (const auto& c : channels) bytes += c.wireSize();
    ChannelListWriter list(channels.size(), bytes);
    for (const auto& c : channels) list.add(c, c.userCount);
    return list.finish();
}

std::vector<uint8_t> userListPacket(const std::vector<UserInfo>& users) {
    return buildUserList(users).finalise();
}

std::vector<uint8_t> userInfoPacket(MessageType type, const UserInfo& user) {
    PacketBuilder b(type);
    user.serialise(b);
    return b.finalise();
}

std::vector<uint8_t> userLeftChannelPacket(uint32_t clientId, uint16_t channelId) {
    PacketBuilder b(MessageType::UserLeftChannel);
    b.writeLE(clientId);
    b.writeLE(channelId);
    return b.finalise();
}

std::vector<uint8_t> userLeftPacket(uint32_t clientId) {
    PacketBuilder b(MessageType::UserLeft);
    b.writeLE(clientId);
    return b.finalise();
}

std::vector<uint8_t> channelJoinResultPacket(ResultCode result, uint16_t channelId) {
    PacketBuilder b(MessageType::ChannelJoinResult);
    b.writeLE(result);
    b.writeLE(channelId);
    return b.finalise();
}

std::vector<uint8_t> errorPacket(std::string_view text) {
    PacketBuilder b(MessageType::Error);
    b.writeLE(ResultCode::Refused);
    b.writeStr(text);
    return b.finalise();
}

std::vector<uint8_t> chatMessagePacket(uint32_t senderId, uint16_t channelId, std::string_view nickname,
                                       std::string_view text, uint64_t messageId) {
    PacketBuilder b(MessageType::ChatMessage);
    b.writeLE(senderId);
    b.writeLE(channelId);
    b.writeStr(nickname);
    b.writeStr(text);
    b.writeLE(messageId);
    return b.finalise();
}

std::vector<uint8_t> directMessagePacket(uint32_t senderId, std::string_view nickname, std::string_view text) {
    PacketBuilder b(MessageType::DirectMessage);
    b.writeLE(senderId);
    b.writeStr(nickname);
    b.writeStr(text);
    return b.finalise();
}

std::vector<uint8_t> channelMessageCountPacket(uint16_t channelId, uint32_t count) {
    PacketBuilder b(MessageType::ChannelMessageCount);
    b.writeLE(channelId);
    b.writeLE(count);
    return b.finalise();
}

std::vector<uint8_t> channelReorderPacket(const std::vector<uint16_t>& ids) {
    if (ids.size() > 0xFFFF) throw std::length_error("ChannelReorder: too many ids");
    PacketBuilder b(MessageType::ChannelReorder);
    b.payload.reserve(2 + 2 * ids.size());
    b.writeLE(static_cast<uint16_t>(ids.size()));
    for (uint16_t id : ids) b.writeLE(id);
    return b.finalise();
}

std::vector<uint8_t> serverSettingsPacket(const DB::DbServerSettings& s) {
    PacketBuilder b(MessageType::ServerSettings);
    b.writeStr(s.name);
    b.writeStr(s.description);
    b.writeStr(s.icon_url);
    b.writeStr(s.banner_url);
    b.writeLE(s.accent_color);
    b.writeLE(s.notify_channel_id);
    b.writeStr(s.welcome_message);
    b.writeLE(s.entry_channel_id);
    b.writeStr(s.badge_config_json);
    return b.finalise();
}

OutboundQueue::Tag stateTagOf(const uint8_t* packet, std::size_t n) {
    if (n < PacketHeader::kSize) return {};
    const MessageType type = PacketHeader::parse(packet).type;
    // The type of the snapshot in the high half, what it is of (a channel id) in the low half.
    const auto key = [](MessageType of, uint16_t channel) { return static_cast<uint32_t>(of) << 16 | channel; };
    const auto channel = [&]() -> std::optional<uint16_t> {
        if (n < PacketHeader::kSize + 2) return std::nullopt;
        return static_cast<uint16_t>(packet[PacketHeader::kSize] | packet[PacketHeader::kSize + 1] << 8);
    };
    switch (type) {
        case MessageType::ChannelList:
        case MessageType::ServerSettings:
            return key(type, 0);
        case MessageType::ChannelReorder:
        case MessageType::ChannelMessageCount:
            return OutboundQueue::Tag::updateOf(key(MessageType::ChannelList, 0));
        case MessageType::ChannelContent:
            if (const auto c = channel()) return key(MessageType::ChannelContent, *c);
            return {};
        case MessageType::ChannelReactionUpdate:
            if (const auto c = channel()) return OutboundQueue::Tag::updateOf(key(MessageType::ChannelContent, *c));
            return {};
        default:
            return {};
    }
}

}  // namespace Korrafin
