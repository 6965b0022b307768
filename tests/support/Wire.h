// Packets as tests see them: packet bytes with any header values, a received
// packet, and readers for what the server sends. A reader checks the packet's
// type and, where the layout is fixed, that nothing is left over (a mismatch
// fails the test, the values read so far are returned).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/Records.h"
#include "protocol/ChannelInfo.h"
#include "protocol/MessageType.h"
#include "protocol/PacketHeader.h"
#include "protocol/PacketReader.h"
#include "protocol/UserInfo.h"
#include "vserver/EventSinks.h"

namespace Korrafin::Test {

// Packet bytes with any header values (for framing tests).
inline std::vector<uint8_t> rawPacket(uint16_t type, const std::vector<uint8_t>& payload,
                                      uint32_t magic = PacketHeader::kMagic, uint8_t version = PacketHeader::kVersion,
                                      std::optional<uint32_t> announcedLength = std::nullopt) {
    PacketHeader h;
    h.magic = magic;
    h.version = version;
    h.type = static_cast<MessageType>(type);
    h.length = announcedLength ? *announcedLength : static_cast<uint32_t>(payload.size());
    // Sized once and filled in place: appending to a 12-byte vector makes
    // the optimiser see writes past its end that never happen.
    std::vector<uint8_t> out(PacketHeader::kSize + payload.size());
    h.write(out.data());
    std::copy(payload.begin(), payload.end(), out.begin() + PacketHeader::kSize);
    return out;
}

inline std::vector<uint8_t> packet(MessageType type, const std::vector<uint8_t>& payload = {}) {
    return rawPacket(static_cast<uint16_t>(type), payload);
}

struct Packet {
    MessageType type{};
    std::vector<uint8_t> payload;

    PacketReader reader() const { return PacketReader{payload.data(), payload.size(), 0}; }
    // The packet as it came over the wire.
    std::vector<uint8_t> bytes() const { return rawPacket(static_cast<uint16_t>(type), payload); }
};

// Packet types in arrival order, as typesOf gives them.
using Types = std::vector<MessageType>;

inline Types typesOf(const std::vector<Packet>& packets) {
    Types out;
    out.reserve(packets.size());
    for (const auto& p : packets) out.push_back(p.type);
    return out;
}

// ---------------------------------------------------------------- lists

// A list of `type`: u16 count, then that many records read by `readOne`.
// The count must cover every byte.
template <class ReadOne>
auto listOf(const Packet& p, MessageType type, ReadOne readOne) {
    EXPECT_EQ(p.type, type);
    auto r = p.reader();
    const uint16_t n = r.readLE<uint16_t>();
    std::vector<decltype(readOne(r))> out;
    for (uint16_t i = 0; i < n; ++i) out.push_back(readOne(r));
    EXPECT_EQ(r.remaining(), 0u) << "the count covers every record";
    return out;
}

// The records of a ChannelList packet, in packet order.
inline std::vector<ChannelInfo> channelsOf(const Packet& p) {
    return listOf(p, MessageType::ChannelList, [](PacketReader& r) { return ChannelInfo::deserialise(r); });
}

// One channel's record in a ChannelList; nothing when it is not listed.
inline std::optional<ChannelInfo> listedChannel(const Packet& channelList, uint16_t channelId) {
    for (const auto& c : channelsOf(channelList))
        if (c.id == channelId) return c;
    return std::nullopt;
}

// The live member count a ChannelList shows for one channel; nothing when
// the channel is not listed.
inline std::optional<uint32_t> userCountIn(const Packet& channelList, uint16_t channelId) {
    const auto c = listedChannel(channelList, channelId);
    if (!c) return std::nullopt;
    return c->userCount;
}

// The records of a UserList packet (u32 count), in packet order.
inline std::vector<UserInfo> usersOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::UserList);
    auto r = p.reader();
    const uint32_t n = r.readLE<uint32_t>();
    std::vector<UserInfo> out;
    for (uint32_t i = 0; i < n; ++i) out.push_back(UserInfo::deserialise(r));
    return out;
}

// The one UserInfo record of UserJoined, UserJoinedChannel or UserUpdated.
inline UserInfo userOf(const Packet& p) {
    auto r = p.reader();
    return UserInfo::deserialise(r);
}

// The u32 a packet starts with (the client id of UserLeft, UserLeftChannel, ...).
inline uint32_t firstU32(const Packet& p) {
    auto r = p.reader();
    return r.readLE<uint32_t>();
}

// ---------------------------------------------------------------- replies

struct HelloAck {
    uint8_t ok = 0;
    uint16_t vsId = 0;
    std::string name;
    uint32_t maxSlots = 0;
    uint32_t users = 0;
};

inline HelloAck helloAckOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::HelloAck);
    auto r = p.reader();
    HelloAck a;
    a.ok = r.readLE<uint8_t>();
    a.vsId = r.readLE<uint16_t>();
    a.name = r.readStr();
    a.maxSlots = r.readLE<uint32_t>();
    a.users = r.readLE<uint32_t>();
    EXPECT_EQ(r.remaining(), 0u);
    return a;
}

struct AuthResult {
    uint16_t result = 0xFFFF;
    uint32_t clientId = 0;
    uint8_t role = 0xFF;
};

inline AuthResult authResultOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::AuthResponse);
    auto r = p.reader();
    AuthResult a;
    a.result = r.readLE<uint16_t>();
    a.clientId = r.readLE<uint32_t>();
    a.role = r.readLE<uint8_t>();
    EXPECT_EQ(r.remaining(), 0u);
    return a;
}

// ChannelJoinResult: result code and channel id.
inline std::pair<uint16_t, uint16_t> joinResultOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::ChannelJoinResult);
    auto r = p.reader();
    const uint16_t result = r.readLE<uint16_t>();
    const uint16_t channel = r.readLE<uint16_t>();
    return {result, channel};
}

// The text of an Error packet (whose code is always 4); a short note for any
// other packet, whose payload may be large.
inline std::string errorText(const Packet& p) {
    if (p.type != MessageType::Error) return "<not an Error: type " + std::to_string(static_cast<int>(p.type)) + ">";
    auto r = p.reader();
    EXPECT_EQ(r.readLE<uint16_t>(), 4);
    return r.readStr();
}

struct ChatLine {
    uint32_t senderId = 0;
    uint16_t channelId = 0;
    std::string nickname;
    std::string text;
    uint64_t messageId = 0;
};

inline ChatLine chatOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::ChatMessage);
    auto r = p.reader();
    ChatLine c;
    c.senderId = r.readLE<uint32_t>();
    c.channelId = r.readLE<uint16_t>();
    c.nickname = r.readStr();
    c.text = r.readStr();
    c.messageId = r.readLE<uint64_t>();
    EXPECT_EQ(r.remaining(), 0u);
    return c;
}

struct DirectLine {
    uint32_t senderId = 0;
    std::string nickname;
    std::string text;
};

// DirectMessage: sender id, sender name and text; nothing else.
inline DirectLine directOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::DirectMessage);
    auto r = p.reader();
    DirectLine d;
    d.senderId = r.readLE<uint32_t>();
    d.nickname = r.readStr();
    d.text = r.readStr();
    EXPECT_EQ(r.remaining(), 0u);
    return d;
}

// PluginList: name, version, author and description of each plugin.
inline std::vector<PluginInfo> pluginsOf(const Packet& p) {
    return listOf(p, MessageType::PluginList, [](PacketReader& r) {
        PluginInfo info;
        info.name = r.readStr();
        info.version = r.readStr();
        info.author = r.readStr();
        info.description = r.readStr();
        return info;
    });
}

// ChannelMessageCount: channel id and count.
inline std::pair<uint16_t, uint32_t> messageCountOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::ChannelMessageCount);
    auto r = p.reader();
    const uint16_t channel = r.readLE<uint16_t>();
    const uint32_t count = r.readLE<uint32_t>();
    return {channel, count};
}

// The nine fields of a ServerSettings packet; the packet holds nothing else.
inline DB::DbServerSettings settingsOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::ServerSettings);
    auto r = p.reader();
    DB::DbServerSettings s;
    s.name = r.readStr();
    s.description = r.readStr();
    s.icon_url = r.readStr();
    s.banner_url = r.readStr();
    s.accent_color = r.readLE<uint32_t>();
    s.notify_channel_id = r.readLE<uint16_t>();
    s.welcome_message = r.readStr();
    s.entry_channel_id = r.readLE<uint16_t>();
    s.badge_config_json = r.readStr();
    EXPECT_EQ(r.remaining(), 0u);
    return s;
}

struct VServerRecord {
    uint16_t id = 0;
    std::string name;
    uint16_t tcpPort = 0;
    uint16_t maxSlots = 0;
    uint16_t users = 0;
    uint8_t running = 0;
};

inline std::vector<VServerRecord> vserversOf(const Packet& p) {
    return listOf(p, MessageType::VServerList, [](PacketReader& r) {
        VServerRecord v;
        v.id = r.readLE<uint16_t>();
        v.name = r.readStr();
        v.tcpPort = r.readLE<uint16_t>();
        v.maxSlots = r.readLE<uint16_t>();
        v.users = r.readLE<uint16_t>();
        v.running = r.readLE<uint8_t>();
        return v;
    });
}

// One virtual server's record in a list; nothing when it is not listed.
inline std::optional<VServerRecord> listedVServer(const std::vector<VServerRecord>& list, uint16_t id) {
    for (const auto& v : list)
        if (v.id == id) return v;
    return std::nullopt;
}

}  // namespace Korrafin::Test
