// Access-control vocabulary: the role of a connected user and the permission
// bits that roles grant. Plain values, usable from any thread.
#pragma once

#include <cstdint>

namespace Korrafin {

// Ordered by rank; compared as unsigned bytes. Values above Owner can occur in
// a stored role byte and get the guest mask in permission checks.
enum class UserRole : uint8_t { Guest = 0, Member = 1, Moderator = 2, Admin = 3, Owner = 4 };

enum class Permission : uint32_t {
    JOIN_CHANNEL = 0x1,
    SPEAK = 0x2,
    TEXT_CHAT = 0x4,
    MOVE_USERS = 0x8,
    KICK_USERS = 0x10,
    BAN_USERS = 0x20,
    CREATE_CHANNELS = 0x40,
    DELETE_CHANNELS = 0x80,
    EDIT_CHANNELS = 0x100,
    SERVER_MUTE = 0x200,
    MANAGE_ROLES = 0x400,
    ADMIN_CONSOLE = 0x800,
};

constexpr Permission operator|(Permission a, Permission b) {
    return static_cast<Permission>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b));
}
constexpr uint32_t bits(Permission p) { return static_cast<uint32_t>(p); }

// "guest", "member", "moderator", "admin", "owner"; "" for any other value.
constexpr const char* roleText(UserRole r) {
    switch (r) {
        case UserRole::Guest: return "guest";
        case UserRole::Member: return "member";
        case UserRole::Moderator: return "moderator";
        case UserRole::Admin: return "admin";
        case UserRole::Owner: return "owner";
    }
    return "";
}

}  // namespace Korrafin
