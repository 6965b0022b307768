#include "protocol/UserInfo.h"

#include <limits>
#include <stdexcept>

#include "protocol/PacketBuilder.h"
#include "protocol/PacketReader.h"

namespace Korrafin {

namespace {

// Fixed-width fields (15 bytes) plus four u16 string lengths.
constexpr std::size_t kFixedWireBytes = 4 + 2 + 2 + 1 + 1 + 4 + 1 + 4 * 2;

std::size_t wireSize(const UserInfo& u) {
    return kFixedWireBytes + u.nickname.size() + u.extra1.size() + u.extra2.size() + u.activity.size();
}

}  // namespace

void UserInfo::serialise(PacketBuilder& b) const {
    b.writeLE(clientId);
    b.writeLE(vsId);
    b.writeLE(channelId);
    b.writeStr(nickname);
    b.writeLE(role);
    b.writeLE(voiceFlags);
    b.writeLE(pingMs);
    b.writeStr(extra1);
    b.writeStr(extra2);
    b.writeLE(status);
    b.writeStr(activity);
}

UserInfo UserInfo::deserialise(PacketReader& r) {
    UserInfo u;
    u.clientId = r.readLE<uint32_t>();
    u.vsId = r.readLE<uint16_t>();
    u.channelId = r.readLE<uint16_t>();
    u.nickname = r.readStr();
    u.role = static_cast<UserRole>(r.readLE<uint8_t>());
    u.voiceFlags = r.readLE<uint8_t>();
    u.pingMs = r.readLE<uint32_t>();
    if (r.remaining() > 0) u.extra1 = r.readStr();
    if (r.remaining() > 0) u.extra2 = r.readStr();
    if (r.remaining() > 0) u.status = r.readLE<uint8_t>();
    if (r.remaining() > 0) u.activity = r.readStr();
    return u;
}

PacketBuilder buildUserList(const std::vector<UserInfo>& users) {
    if (users.size() > std::numeric_limits<uint32_t>::max()) throw std::length_error("User list too long");
    PacketBuilder b(MessageType::UserList);
    std::size_t total = 4;
    for (const auto& u : users) total += wireSize(u);
    b.payload.reserve(total);
    b.writeLE(static_cast<uint32_t>(users.size()));
    for (const auto& u : users) u.serialise(b);
    return b;
}

}  // namespace Korrafin
