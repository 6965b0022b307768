// The shared packets, byte for byte.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/PacketHeader.h"
#include "protocol/Packets.h"

namespace Korrafin {
namespace {

struct Split {
    MessageType type;
    std::vector<uint8_t> payload;
};

Split split(const std::vector<uint8_t>& packet) {
    EXPECT_GE(packet.size(), PacketHeader::kSize);
    const PacketHeader h = PacketHeader::parse(packet.data());
    EXPECT_EQ(h.check(), HeaderStatus::Ok);
    EXPECT_EQ(h.length, packet.size() - PacketHeader::kSize);
    return {h.type, std::vector<uint8_t>(packet.begin() + PacketHeader::kSize, packet.end())};
}

TEST(PacketsTest, FixedLayouts) {
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        MessageType type;
        std::vector<uint8_t> payload;
    };
    const std::vector<Case> cases = {
        {"user left channel", userLeftChannelPacket(0x01020304, 0x0506), MessageType::UserLeftChannel,
         {0x04, 0x03, 0x02, 0x01, 0x06, 0x05}},
        {"user left", userLeftPacket(7), MessageType::UserLeft, {7, 0, 0, 0}},
        {"join refused", channelJoinResultPacket(ResultCode::Refused, 9), MessageType::ChannelJoinResult,
         {4, 0, 9, 0}},
        {"join ok", channelJoinResultPacket(ResultCode::Ok, 0x0102), MessageType::ChannelJoinResult, {0, 0, 2, 1}},
        {"error", errorPacket("No"), MessageType::Error, {4, 0, 2, 0, 'N', 'o'}},
        {"chat", chatMessagePacket(1, 2, "a", "hi", 0x0807060504030201ULL), MessageType::ChatMessage,
         {1, 0, 0, 0, 2, 0, 1, 0, 'a', 2, 0, 'h', 'i', 1, 2, 3, 4, 5, 6, 7, 8}},
        {"direct", directMessagePacket(5, "", "x"), MessageType::DirectMessage, {5, 0, 0, 0, 0, 0, 1, 0, 'x'}},
        {"message count", channelMessageCountPacket(3, 0x01000002), MessageType::ChannelMessageCount,
         {3, 0, 2, 0, 0, 1}},
        {"reorder", channelReorderPacket({5, 3}), MessageType::ChannelReorder, {2, 0, 5, 0, 3, 0}},
        {"empty channel list", channelListPacket({}), MessageType::ChannelList, {0, 0}},
        {"empty user list", userListPacket({}), MessageType::UserList, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Split s = split(c.packet);
        EXPECT_EQ(s.type, c.type);
        EXPECT_EQ(s.payload, c.payload);
    }
}

TEST(PacketsTest, UserRecordPacketsCarryOneRecord) {
    UserInfo u;
    u.clientId = 9;
    u.nickname = "n";
    for (MessageType t : {MessageType::UserJoined, MessageType::UserJoinedChannel, MessageType::UserUpdated}) {
        const Split s = split(userInfoPacket(t, u));
        EXPECT_EQ(s.type, t);
        EXPECT_EQ(s.payload.size(), 24u);  // 23 bytes of an empty record plus one nickname byte
        EXPECT_EQ(s.payload[0], 9);
    }
}

TEST(PacketsTest, ServerSettingsInRecordOrder) {
    const DB::DbServerSettings st{.name = "N",
                                  .description = "",
                                  .icon_url = "",
                                  .banner_url = "",
                                  .accent_color = 0x11223344,
                                  .notify_channel_id = 5,
                                  .welcome_message = "W",
                                  .entry_channel_id = 6,
                                  .badge_config_json = "{}"};
    const Split s = split(serverSettingsPacket(st));
    EXPECT_EQ(s.type, MessageType::ServerSettings);
    const std::vector<uint8_t> expected = {1, 0, 'N', 0, 0, 0, 0, 0, 0,   0x44, 0x33, 0x22, 0x11,
                                           5, 0, 1,   0, 'W', 6, 0, 2, 0, '{',  '}'};
    EXPECT_EQ(s.payload, expected);
}

TEST(PacketsTest, OverlongFieldsThrow) {
    EXPECT_THROW(errorPacket(std::string(70000, 'x')), std::runtime_error);
    EXPECT_THROW(channelReorderPacket(std::vector<uint16_t>(70000, 1)), std::length_error);
}

}  // namespace
}  // namespace Korrafin
