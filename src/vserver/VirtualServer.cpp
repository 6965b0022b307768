// Virtual server core: settings, lifecycle, session table, admission,
// broadcasts, the permission gate, event forwarding and the periodic tick.
#include "vserver/VirtualServer.h"

#include "core/Logger.h"
#include "core/UnixTime.h"
#include "protocol/ClientSession.h"

namespace Korrafin {

VirtualServer::VirtualServer(const VSConfig& config) : id_(config.id), config_(config) {
    channelManager.createChannel(ChannelManager::lobbyRecord());
}

VirtualServer::~VirtualServer() { stop(); }

// ---------------------------------------------------------------- settings and lifecycle

VirtualServer::VSConfig VirtualServer::config() const {
    std::lock_guard<std::mutex> lock(configMutex_);
    return config_;
}

void VirtualServer::setConfig(const VSConfig& config) {
    std::lock_guard<std::mutex> lock(configMutex_);
    config_ = config;
    config_.id = id_;
}

void VirtualServer::start() {
    running_.store(true, std::memory_order_release);
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Started: {}", id_, config().name);
}

void VirtualServer::stop() {
    bool expected = true;
    if (!running_.compare_exchange_strong(expected, false, std::memory_order_acq_rel)) return;
    for (const auto& s : allSessions()) s->disconnect("Server shutting down");
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Stopped", id_);
}

// ---------------------------------------------------------------- session table

std::shared_ptr<ClientSession> VirtualServer::findSession(uint32_t clientId) const {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    const auto it = sessions_.find(clientId);
    return it == sessions_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<ClientSession>> VirtualServer::allSessions() const {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    std::vector<std::shared_ptr<ClientSession>> out;
    out.reserve(sessions_.size());
    for (const auto& [id, s] : sessions_) out.push_back(s);
    return out;
}

uint32_t VirtualServer::slotUsage() const {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    return static_cast<uint32_t>(sessions_.size());
}

bool VirtualServer::hasNicknameConflict(const std::string& nickname, uint32_t exceptId) const {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    for (const auto& [id, s] : sessions_) {
        if (id != exceptId && s->nickname() == nickname) return true;
    }
    return false;
}

bool VirtualServer::claimNickname(uint32_t clientId, const std::string& nickname) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    for (const auto& [id, s] : sessions_) {
        if (s->nickname() == nickname) return false;
    }
    const auto it = sessions_.find(clientId);
    if (it != sessions_.end()) it->second->setNickname(nickname);
    return true;
}

bool VirtualServer::verifyServerKey(const std::string& key) const {
    std::lock_guard<std::mutex> lock(configMutex_);
    return !config_.serverKey.empty() && !holdsNul(key) && config_.serverKey == key;
}

// ---------------------------------------------------------------- admission

bool VirtualServer::fullLocked(int64_t maxSlots) const {
    // Below the limit with every session counted, there is no need to look.
    if (static_cast<int64_t>(sessions_.size()) < maxSlots) return false;
    // A closed session only waits for its removal (behind the move lock when
    // others come and go): its slot is free already.
    int64_t held = 0;
    for (const auto& [id, s] : sessions_) held += s->isClosed() ? 0 : 1;
    return held >= maxSlots;
}

bool VirtualServer::acceptSession(std::shared_ptr<ClientSession> session) {
    if (!session) return false;
    const int64_t maxSlots = config().maxSlots;
    const uint32_t clientId = session->clientId();

    auto refuseFull = [&] {
        Logger::instance().logf(LogLevel::Warn, "[VServer {}] Rejected client {} – server full", id_, clientId);
        session->disconnect("Server is full");
        return false;
    };

    bool full;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        full = fullLocked(maxSlots);
    }
    if (full) return refuseFull();

    if (isBanned(session->address(), "")) {
        session->disconnect("You are banned from this server");
        return false;
    }

    // The count is tested again in the same hold as the insertion, so two
    // admissions racing for the last slot cannot both get it.
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        full = fullLocked(maxSlots);
        if (!full) {
            session->setVServer(weak_from_this());
            session->updateInfo([this](UserInfo& u) { u.vsId = id_; });
            sessions_[clientId] = session;
        }
    }
    if (full) return refuseFull();

    Logger::instance().logf(LogLevel::Info, "[VServer {}] Client {} ({}) accepted", id_, clientId,
                            session->address());
    return true;
}

// ---------------------------------------------------------------- broadcasts

void VirtualServer::broadcast(const std::vector<uint8_t>& packet, uint32_t exceptId) const {
    for (const auto& s : allSessions()) {
        if (s->clientId() != exceptId) s->send(packet);
    }
}

void VirtualServer::broadcastToChannel(uint16_t channelId, const std::vector<uint8_t>& packet,
                                       uint32_t exceptId) const {
    const std::vector<uint32_t> members = channelManager.usersIn(channelId);
    if (members.empty()) return;
    std::vector<std::shared_ptr<ClientSession>> recipients;
    recipients.reserve(members.size());
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        for (uint32_t id : members) {
            if (id == exceptId) continue;
            const auto it = sessions_.find(id);
            if (it != sessions_.end()) recipients.push_back(it->second);
        }
    }
    for (const auto& s : recipients) s->send(packet);
}

// ---------------------------------------------------------------- permission gate

bool VirtualServer::checkPerm(uint32_t clientId, Permission flag, uint16_t channelId) const {
    if (clientId == 0) return true;  // the system actor
    const auto session = findSession(clientId);
    if (!session) return false;
    return permissions.check(clientId, session->role(), flag, channelId);
}

// ---------------------------------------------------------------- notifications

void VirtualServer::notifyBotChatMessage(uint32_t clientId, const std::string& nickname, const std::string& text) {
    if (auto* bot = botApi.load(std::memory_order_acquire)) bot->onChatMessage(clientId, nickname, text);
}

void VirtualServer::notifyBotUserMoved(uint32_t clientId, uint16_t fromChannel, uint16_t toChannel) {
    if (auto* bot = botApi.load(std::memory_order_acquire)) bot->onUserMoved(clientId, fromChannel, toChannel);
}

void VirtualServer::notifyPluginChatMessage(uint32_t clientId, uint16_t channelId, const std::string& nickname,
                                            const std::string& text, uint64_t messageId) {
    if (auto* host = pluginLoader.load(std::memory_order_acquire))
        host->onChatMessage(clientId, channelId, nickname, text, messageId);
}

// ---------------------------------------------------------------- tick

void VirtualServer::tick() {
    // One counter for every virtual server of the process.
    static std::atomic<unsigned> counter{0};
    if ((counter.fetch_add(1, std::memory_order_relaxed) + 1) % 5 == 0) {
        for (const auto& s : allSessions()) s->sendPing();
    }
    const int64_t now = unixSeconds();
    std::lock_guard<std::mutex> lock(bansMutex_);
    std::erase_if(bans_, [now](const BanEntry& b) { return b.expiresAt != 0 && b.expiresAt <= now; });
}

}  // namespace Korrafin
