// Kicks, bans and role changes.
#include <limits>

#include "core/UnixTime.h"
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

// now + seconds, or 0 (permanent) for no duration and for an end that int64
// cannot hold: an overflowed end would lie in the past and free the address.
int64_t banExpiry(int64_t now, int64_t seconds) {
    if (seconds <= 0) return 0;
    if (now > std::numeric_limits<int64_t>::max() - seconds) return 0;
    return now + seconds;
}

}  // namespace

bool VirtualServer::kickUser(uint32_t targetId, uint32_t actorId, const std::string& reason) {
    if (!checkPerm(actorId, Permission::KICK_USERS, 0)) return false;
    const auto target = findSession(targetId);
    if (!target) return false;
    target->disconnect("Kicked: " + reason);
    return true;
}

bool VirtualServer::banUser(uint32_t targetId, uint32_t actorId, const std::string& reason, int64_t seconds) {
    if (!checkPerm(actorId, Permission::BAN_USERS, 0)) return false;
    const auto target = findSession(targetId);
    if (!target) return false;
    BanEntry ban;
    ban.ip = target->address();
    ban.nickname = target->nickname();
    ban.reason = reason;
    ban.bannedBy = actorId;
    ban.expiresAt = banExpiry(unixSeconds(), seconds);
    addBan(ban);
    target->disconnect("Banned: " + reason);
    return true;
}

bool VirtualServer::setUserRole(uint32_t targetId, uint32_t actorId, UserRole role) {
    // Only the defined roles: a byte above the owner would pass the
    // administrator gates of the protocol while holding the guest mask.
    if (static_cast<uint8_t>(role) > static_cast<uint8_t>(UserRole::Owner)) return false;
    if (!checkPerm(actorId, Permission::MANAGE_ROLES, 0)) return false;
    const auto target = findSession(targetId);
    if (!target) return false;

    target->setRole(role);
    const std::string identity = target->identity();
    if (db && !identity.empty()) {
        if (const auto row = db->GetUserByUniqueId(identity)) db->UpdateUserRole(row->id, static_cast<int>(role));
    }
    broadcast(userInfoPacket(MessageType::UserUpdated, target->info()), 0);
    return true;
}

void VirtualServer::addBan(const BanEntry& ban) {
    std::lock_guard<std::mutex> lock(bansMutex_);
    std::erase_if(bans_, [&](const BanEntry& b) { return b.ip == ban.ip; });
    bans_.push_back(ban);
}

bool VirtualServer::isBanned(const std::string& address, const std::string& nickname) const {
    const int64_t now = unixSeconds();
    std::lock_guard<std::mutex> lock(bansMutex_);
    for (const auto& b : bans_) {
        if (b.expiresAt != 0 && b.expiresAt <= now) continue;
        if (!address.empty() && address == b.ip) return true;
        if (!nickname.empty() && nickname == b.nickname) return true;
    }
    return false;
}

void VirtualServer::removeBan(const std::string& address) {
    std::lock_guard<std::mutex> lock(bansMutex_);
    std::erase_if(bans_, [&](const BanEntry& b) { return b.ip == address; });
}

void VirtualServer::loadBans() {
    if (!db) return;
    try {
        const auto rows = db->GetAllBans();
        std::vector<BanEntry> loaded;
        loaded.reserve(rows.size());
        for (const auto& row : rows) {
            BanEntry b;
            b.ip = row.ip;
            b.nickname = row.nickname;
            b.reason = row.reason;
            b.expiresAt = row.expires_at;
            loaded.push_back(std::move(b));
        }
        std::lock_guard<std::mutex> lock(bansMutex_);
        bans_ = std::move(loaded);
    } catch (...) {
        // Loading is best effort: the bans in memory stay as they were.
    }
}

// Bans are kept in memory only.
void VirtualServer::saveBans() const {}

}  // namespace Korrafin
