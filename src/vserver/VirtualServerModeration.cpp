// Kicks, bans and role changes.
#include <chrono>

#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// Not served yet: refuses.
bool VirtualServer::kickUser(uint32_t /*targetId*/, uint32_t /*actorId*/, const std::string& /*reason*/) {
    return false;
}

// Not served yet: refuses.
bool VirtualServer::banUser(uint32_t /*targetId*/, uint32_t /*actorId*/, const std::string& /*reason*/,
                            int64_t /*seconds*/) {
    return false;
}

// Not served yet: refuses.
bool VirtualServer::setUserRole(uint32_t /*targetId*/, uint32_t /*actorId*/, UserRole /*role*/) { return false; }

void VirtualServer::addBan(const BanEntry& ban) {
    std::lock_guard<std::mutex> lock(bansMutex_);
    std::erase_if(bans_, [&](const BanEntry& b) { return b.ip == ban.ip; });
    bans_.push_back(ban);
}

bool VirtualServer::isBanned(const std::string& address, const std::string& nickname) const {
    const int64_t now = unixNow();
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

// Not served yet: loads nothing.
void VirtualServer::loadBans() {}

// Bans are kept in memory only.
void VirtualServer::saveBans() const {}

}  // namespace Korrafin
