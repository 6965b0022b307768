// Per-virtual-server role check: the owner passes everything, every other
// role has a fixed mask, optionally narrowed by a channel's minimum role and
// widened or narrowed by a per-client override. All operations may be called
// from any thread; each map access takes the checker's own mutex briefly
// (never nested, never held while the caller acts). Nothing throws except
// std::bad_alloc from the setters. Nothing is persisted.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "permissions/Roles.h"

namespace Korrafin {

class PermissionSystem {
public:
    struct Override {
        uint32_t grant = 0;  // Permission bits added to the role mask
        uint32_t deny = 0;   // Permission bits removed after the grant
    };

    PermissionSystem() = default;
    PermissionSystem(const PermissionSystem&) = delete;
    PermissionSystem& operator=(const PermissionSystem&) = delete;

    // Moderator 0x31F, admin 0x7FF, owner all 32 bits, every other byte 0x7.
    static Permission defaultPermsForRole(UserRole role);

    // True when `perms` shares at least one bit with the role's effective mask.
    // The owner passes without any lookup; channelId 0 skips the channel test.
    bool check(uint32_t clientId, UserRole role, Permission perms, uint16_t channelId) const;

    // The channel's minimum role, Guest when none is set.
    UserRole channelMinRole(uint16_t channelId) const;

    void setUserPermOverride(uint32_t clientId, Permission grant, Permission deny);
    void clearUserPermOverride(uint32_t clientId);
    void setChannelPermOverride(uint16_t channelId, UserRole minRole);

private:
    mutable std::mutex mutex_;
    std::unordered_map<uint32_t, Override> userOverrides_;
    std::unordered_map<uint16_t, UserRole> channelMinRoles_;
};

}  // namespace Korrafin
