// Readers for the server's list and record packets, for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/ChannelInfo.h"
#include "protocol/UserInfo.h"
#include "support/TestClient.h"

namespace Korrafin::Test {

// The records of a ChannelList packet, in packet order.
inline std::vector<ChannelInfo> channelsOf(const Packet& p) {
    auto r = p.reader();
    const uint16_t n = r.readLE<uint16_t>();
    std::vector<ChannelInfo> out;
    for (uint16_t i = 0; i < n; ++i) out.push_back(ChannelInfo::deserialise(r));
    return out;
}

// The live member count a ChannelList shows for one channel; nothing when
// the channel is not listed.
inline std::optional<uint32_t> userCountIn(const Packet& channelList, uint16_t channelId) {
    for (const auto& c : channelsOf(channelList))
        if (c.id == channelId) return c.userCount;
    return std::nullopt;
}

// The records of a UserList packet, in packet order.
inline std::vector<UserInfo> usersOf(const Packet& p) {
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

}  // namespace Korrafin::Test
