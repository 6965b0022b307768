#include "permissions/PermissionSystem.h"

namespace Korrafin {

namespace {

constexpr uint32_t kGuestMask = bits(Permission::JOIN_CHANNEL | Permission::SPEAK | Permission::TEXT_CHAT);
constexpr uint32_t kModeratorMask = kGuestMask | bits(Permission::MOVE_USERS | Permission::KICK_USERS |
                                                      Permission::EDIT_CHANNELS | Permission::SERVER_MUTE);
constexpr uint32_t kAdminMask = bits(Permission::ADMIN_CONSOLE) - 1;  // every defined bit below it
constexpr uint32_t kOwnerMask = 0xFFFFFFFFu;

static_assert(kGuestMask == 0x7 && kModeratorMask == 0x31F && kAdminMask == 0x7FF);

constexpr uint32_t maskFor(UserRole role) {
    switch (role) {
        case UserRole::Moderator: return kModeratorMask;
        case UserRole::Admin: return kAdminMask;
        case UserRole::Owner: return kOwnerMask;
        default: return kGuestMask;  // guest, member and any unknown byte
    }
}

}  // namespace

Permission PermissionSystem::defaultPermsForRole(UserRole role) { return static_cast<Permission>(maskFor(role)); }

bool PermissionSystem::check(uint32_t clientId, UserRole role, Permission perms, uint16_t channelId) const {
    if (role == UserRole::Owner) return true;

    if (channelId != 0 && static_cast<uint8_t>(role) < static_cast<uint8_t>(channelMinRole(channelId))) return false;

    uint32_t mask = maskFor(role);
    {
        std::lock_guard lock(mutex_);
        const auto it = userOverrides_.find(clientId);
        if (it != userOverrides_.end()) mask = (mask | it->second.grant) & ~it->second.deny;
    }
    return (bits(perms) & mask) != 0;
}

UserRole PermissionSystem::channelMinRole(uint16_t channelId) const {
    std::lock_guard lock(mutex_);
    const auto it = channelMinRoles_.find(channelId);
    return it == channelMinRoles_.end() ? UserRole::Guest : it->second;
}

void PermissionSystem::setUserPermOverride(uint32_t clientId, Permission grant, Permission deny) {
    std::lock_guard lock(mutex_);
    userOverrides_[clientId] = Override{bits(grant), bits(deny)};
}

void PermissionSystem::clearUserPermOverride(uint32_t clientId) {
    std::lock_guard lock(mutex_);
    userOverrides_.erase(clientId);
}

void PermissionSystem::setChannelPermOverride(uint16_t channelId, UserRole minRole) {
    std::lock_guard lock(mutex_);
    channelMinRoles_[channelId] = minRole;
}

}  // namespace Korrafin
