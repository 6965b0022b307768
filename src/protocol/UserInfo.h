// The public record of one connected client and its wire form. A plain value
// with no lock of its own: whoever shares one between threads guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "permissions/Roles.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketReader.h"

namespace Korrafin {

struct UserInfo {
    // Limits on what a client may put into its own record. Every user list
    // carries every record, so these keep a full list far below the
    // receivers' packet limit.
    static constexpr std::size_t kMaxNicknameBytes = 64;
    static constexpr std::size_t kMaxClientTextBytes = 1024;  // extra1, extra2, activity
    // The identity a session presents lives beside the record and is stored
    // with it; bounded the same way on every path that takes one.
    static constexpr std::size_t kMaxIdentityBytes = 256;

    uint32_t clientId = 0;   // set once when the session is made
    uint16_t vsId = 0;       // virtual server that admitted the session
    uint16_t channelId = 0;  // 0 = in no channel yet, 1 = the lobby
    std::string nickname;
    UserRole role = UserRole::Guest;
    uint8_t voiceFlags = 0;  // relayed as the client sent it
    uint32_t pingMs = 0;
    std::string extra1;
    std::string extra2;
    uint8_t status = 0;
    std::string activity;

    // Appends the eleven fields in member order; strings as u16 length + bytes.
    // Throws "String too long" for a string over 65535 bytes (the packet is
    // then abandoned part-written).
    void serialise(PacketBuilder& b) const;

    // The first seven fields are required; extra1, extra2, status and
    // activity are each read only while bytes remain, else keep their default.
    // Throws the reader's underflow error.
    static UserInfo deserialise(PacketReader& r);
};

// A nickname a client may take or store: 1 to kMaxNicknameBytes bytes.
inline bool nicknameAcceptable(std::string_view nickname) {
    return !nickname.empty() && nickname.size() <= UserInfo::kMaxNicknameBytes;
}

// Secrets a client presents (identities, keys, passwords) are compared byte
// for byte here but meet C strings elsewhere, where a NUL would cut them
// short and make two different secrets one: one holding a NUL is never valid.
inline bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// An identity a client may present: empty (none), or up to
// kMaxIdentityBytes bytes without a NUL.
inline bool identityAcceptable(std::string_view identity) {
    return identity.size() <= UserInfo::kMaxIdentityBytes && !holdsNul(identity);
}

// MessageType::UserList: u32 count, then each record in the given order.
PacketBuilder buildUserList(const std::vector<UserInfo>& users);

}  // namespace Korrafin
