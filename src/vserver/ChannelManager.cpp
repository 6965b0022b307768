#include "vserver/ChannelManager.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace Korrafin {

using nlohmann::json;

ChannelInfo ChannelManager::lobbyRecord() {
    ChannelInfo lobby;
    lobby.id = kLobbyId;
    lobby.name = "Lobby";
    lobby.description = "Default channel";
    lobby.isPermanent = true;
    lobby.type = static_cast<uint8_t>(ChannelType::Voice);
    return lobby;
}

uint16_t ChannelManager::allocateIdLocked() {
    // 65536 steps visit every value once; 0 and 1 are never handed out, and an
    // id in use is never reused, so the lobby and live channels are safe even
    // after the counter wraps.
    for (uint32_t step = 0; step <= 0xFFFF; ++step) {
        const uint16_t candidate = nextChannelId++;
        if (candidate >= kFirstAutoId && !channels.contains(candidate)) return candidate;
    }
    return 0;
}

uint16_t ChannelManager::storeLocked(const ChannelInfo& info, uint16_t id) {
    auto& stored = channels.insert_or_assign(id, info).first->second;
    stored.id = id;
    members[id].clear();
    bumpMembershipLocked();
    return id;
}

uint16_t ChannelManager::createChannel(const ChannelInfo& info) {
    std::optional<ChannelInfo> created;
    uint16_t id;
    {
        std::lock_guard lock(mutex);
        id = info.id != 0 ? info.id : allocateIdLocked();
        if (id == 0) return 0;
        storeLocked(info, id);
        if (onCreated) created = channels.at(id);
    }
    if (created) onCreated(*created);
    return id;
}

uint16_t ChannelManager::createChannelWithId(const ChannelInfo& info) {
    if (info.id == 0) return createChannel(info);
    std::optional<ChannelInfo> created;
    {
        std::lock_guard lock(mutex);
        storeLocked(info, info.id);
        if (info.id >= nextChannelId) nextChannelId = static_cast<uint16_t>(info.id + 1);
        if (onCreated) created = channels.at(info.id);
    }
    if (created) onCreated(*created);
    return info.id;
}

uint16_t ChannelManager::createChannelIfFree(const ChannelInfo& info) { return createIfFree(info, false); }

uint16_t ChannelManager::createHiddenIfFree(const ChannelInfo& info) { return createIfFree(info, true); }

std::vector<uint8_t> ChannelManager::announce(uint16_t channelId) {
    std::lock_guard lock(mutex);
    auto packet = listPacketLocked();
    for (auto& h : hidden)
        if (h.id == channelId) h.announced = true;
    return packet;
}

void ChannelManager::reveal(uint16_t channelId) {
    std::lock_guard lock(mutex);
    unhideLocked(channelId);
}

std::size_t ChannelManager::waitingFinds() const {
    std::lock_guard lock(mutex);
    return waiting;
}

const ChannelManager::Hidden* ChannelManager::hiddenLocked(uint16_t channelId) const {
    for (const auto& h : hidden)
        if (h.id == channelId) return &h;
    return nullptr;
}

void ChannelManager::unhideLocked(uint16_t channelId) {
    if (std::erase_if(hidden, [channelId](const Hidden& h) { return h.id == channelId; }) != 0)
        revealed.notify_all();
}

uint16_t ChannelManager::createIfFree(const ChannelInfo& info, bool hide) {
    std::optional<ChannelInfo> created;
    uint16_t id = info.id;
    const std::size_t recordBytes = info.wireSize();
    {
        std::lock_guard lock(mutex);
        if (listPayloadLocked() + recordBytes > kMaxListPayload) return 0;
        if (id == 0) {
            id = allocateIdLocked();
            if (id == 0) return 0;
        } else {
            if (channels.contains(id)) return 0;
        }
        if (onParentChainLocked(id, info.parentId)) return 0;
        storeLocked(info, id);
        if (hide) hidden.push_back(Hidden{id, false});
        if (id >= nextChannelId) nextChannelId = static_cast<uint16_t>(id + 1);
        if (onCreated) created = channels.at(id);
    }
    if (created) onCreated(*created);
    return id;
}

bool ChannelManager::onParentChainLocked(uint16_t id, uint16_t parentId) const {
    // A chain longer than the tree runs in a loop that does not pass `id`
    // (one made elsewhere, e.g. by stored rows): that is not this record's.
    uint16_t current = parentId;
    for (std::size_t steps = 0; current != 0 && steps <= channels.size(); ++steps) {
        if (current == id) return true;
        const auto it = channels.find(current);
        if (it == channels.end()) return false;
        current = it->second.parentId;
    }
    return false;
}

std::size_t ChannelManager::listPayloadLocked() const {
    std::size_t n = 2;
    for (const auto& [id, c] : channels) n += c.wireSize();
    return n;
}

bool ChannelManager::listFitsWith(const ChannelInfo& info) const {
    const std::size_t recordBytes = info.wireSize();
    std::lock_guard lock(mutex);
    return listPayloadLocked() + recordBytes <= kMaxListPayload;
}

bool ChannelManager::wouldBeOwnAncestor(uint16_t id, uint16_t parentId) const {
    std::lock_guard lock(mutex);
    return onParentChainLocked(id, parentId);
}

std::optional<ChannelInfo> ChannelManager::find(uint16_t channelId) const {
    std::unique_lock lock(mutex);
    if (const Hidden* h = hiddenLocked(channelId)) {
        // Not yet in any list: nobody can know the id. Being listed: the
        // asker may have the list already, so the answer waits until
        // everybody has it (the creator reveals it when its walk ends).
        if (!h->announced) return std::nullopt;
        ++waiting;
        revealed.wait(lock, [&] { return !hiddenLocked(channelId); });
        --waiting;
    }
    auto it = channels.find(channelId);
    if (it == channels.end()) return std::nullopt;
    return it->second;
}

std::vector<ChannelInfo> ChannelManager::all() const {
    std::lock_guard lock(mutex);
    std::vector<ChannelInfo> out;
    out.reserve(channels.size());
    for (const auto& [id, info] : channels) {
        if (hiddenLocked(id)) continue;
        out.push_back(info);
        auto m = members.find(id);
        out.back().userCount = m == members.end() ? 0 : static_cast<uint32_t>(m->second.size());
    }
    return out;
}

std::vector<uint8_t> ChannelManager::listPacket() const {
    std::lock_guard lock(mutex);
    return listPacketLocked();
}

std::vector<uint8_t> ChannelManager::listPacketLocked() const {
    ChannelListWriter list(channels.size(), listPayloadLocked() - 2);
    for (const auto& [id, info] : channels) {
        const auto m = members.find(id);
        list.add(info, m == members.end() ? 0 : static_cast<uint32_t>(m->second.size()));
    }
    return list.finish();
}

std::vector<ChannelInfo> ChannelManager::children(uint16_t parentId) const {
    std::lock_guard lock(mutex);
    std::vector<ChannelInfo> out;
    for (const auto& [id, info] : channels)
        if (info.parentId == parentId && !hiddenLocked(id)) out.push_back(info);
    return out;
}

bool ChannelManager::updateChannel(const ChannelInfo& info) { return replace(info, false); }

bool ChannelManager::updateChannelAcyclic(const ChannelInfo& info) { return replace(info, true); }

bool ChannelManager::replace(const ChannelInfo& info, bool guarded) {
    const std::size_t recordBytes = info.wireSize();
    {
        std::lock_guard lock(mutex);
        auto it = channels.find(info.id);
        if (it == channels.end()) return false;
        if (guarded) {
            if (onParentChainLocked(info.id, info.parentId)) return false;
            const std::size_t oldBytes = it->second.wireSize();
            if (recordBytes > oldBytes && listPayloadLocked() - oldBytes + recordBytes > kMaxListPayload) return false;
        }
        // The count is kept by the tree, as the stored row keeps its own.
        const uint32_t count = it->second.messageCount;
        it->second = info;
        it->second.messageCount = count;
    }
    if (onUpdated) onUpdated(info);
    return true;
}

bool ChannelManager::deleteChannel(uint16_t channelId) {
    if (channelId == kLobbyId) return false;
    ChannelInfo removed;
    {
        std::lock_guard lock(mutex);
        auto it = channels.find(channelId);
        if (it == channels.end()) return false;
        removed = std::move(it->second);
        channels.erase(it);
        unhideLocked(channelId);
        members.erase(channelId);
        bumpMembershipLocked();
    }
    if (onDeleted) onDeleted(removed);
    return true;
}

void ChannelManager::clear() {
    std::lock_guard lock(mutex);
    channels.clear();
    hidden.clear();
    revealed.notify_all();
    members.clear();
    bumpMembershipLocked();
    nextChannelId = kFirstAutoId;
}

bool ChannelManager::addUser(uint16_t channelId, uint32_t clientId) {
    std::lock_guard lock(mutex);
    if (!channels.contains(channelId)) return false;
    members[channelId].push_back(clientId);
    userChannel[clientId] = channelId;
    bumpMembershipLocked();
    return true;
}

bool ChannelManager::removeUser(uint16_t channelId, uint32_t clientId) {
    std::lock_guard lock(mutex);
    auto it = members.find(channelId);
    if (it == members.end()) return false;
    std::erase(it->second, clientId);
    userChannel.erase(clientId);
    bumpMembershipLocked();
    return true;
}

std::vector<uint32_t> ChannelManager::usersIn(uint16_t channelId) const {
    std::lock_guard lock(mutex);
    auto it = members.find(channelId);
    if (it == members.end()) return {};
    return it->second;
}

uint64_t ChannelManager::usersIn(uint16_t channelId, std::vector<uint32_t>& out) const {
    out.clear();
    std::lock_guard lock(mutex);
    auto it = members.find(channelId);
    if (it != members.end()) out.insert(out.end(), it->second.begin(), it->second.end());
    return membershipVersion_.load(std::memory_order_relaxed);
}

void ChannelManager::bumpMembershipLocked() {
    // Release: whoever reads the new number also sees the lists it stands for.
    membershipVersion_.fetch_add(1, std::memory_order_release);
}

uint32_t ChannelManager::userCount(uint16_t channelId) const {
    std::lock_guard lock(mutex);
    auto it = members.find(channelId);
    return it == members.end() ? 0 : static_cast<uint32_t>(it->second.size());
}

uint16_t ChannelManager::channelOf(uint32_t clientId) const {
    std::lock_guard lock(mutex);
    auto it = userChannel.find(clientId);
    return it == userChannel.end() ? 0 : it->second;
}

bool ChannelManager::checkPassword(uint16_t channelId, const std::string& password) const {
    std::lock_guard lock(mutex);
    auto it = channels.find(channelId);
    if (it == channels.end()) return false;
    return it->second.password.empty() || it->second.password == password;
}

bool ChannelManager::setSortOrder(uint16_t channelId, uint16_t order) {
    std::lock_guard lock(mutex);
    auto it = channels.find(channelId);
    if (it == channels.end()) return false;
    it->second.sortOrder = static_cast<uint8_t>(std::min<uint16_t>(order, 0xFF));
    return true;
}

uint32_t ChannelManager::incrementMessageCount(uint16_t channelId) {
    std::lock_guard lock(mutex);
    auto it = channels.find(channelId);
    if (it == channels.end()) return 0;
    return ++it->second.messageCount;
}

uint32_t ChannelManager::messageCount(uint16_t channelId) const {
    std::lock_guard lock(mutex);
    auto it = channels.find(channelId);
    return it == channels.end() ? 0 : it->second.messageCount;
}

uint16_t ChannelManager::nextId() {
    std::lock_guard lock(mutex);
    return allocateIdLocked();
}

json ChannelManager::toJson() const {
    std::lock_guard lock(mutex);
    json out = json::array();
    for (const auto& [id, c] : channels) {
        if (!c.isPermanent) continue;
        out.push_back(json{
            {"channelId", c.id},
            {"parentId", c.parentId},
            {"name", c.name},
            {"description", c.description},
            {"password", c.password},
            {"maxUsers", c.maxUsers},
            {"sortOrder", c.sortOrder},
            {"requiredRole", static_cast<int>(c.requiredRole)},
            {"type", static_cast<int>(c.type)},
        });
    }
    return out;
}

namespace {

// A number member as its low 64 bits: booleans count as 1 or 0, floating
// values are truncated toward zero. Any other JSON type makes the library
// throw its type_error. Out-of-range floats are reduced rather than cast, so
// no document can reach an undefined conversion.
uint64_t numberBits(const json& obj, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end()) return 0;
    switch (it->type()) {
        case json::value_t::boolean: return it->get<bool>() ? 1 : 0;
        case json::value_t::number_unsigned: return it->get<uint64_t>();
        case json::value_t::number_integer: return static_cast<uint64_t>(it->get<int64_t>());
        case json::value_t::number_float: {
            const double d = std::trunc(it->get<double>());
            if (!std::isfinite(d)) return 0;
            constexpr double kTwo64 = 18446744073709551616.0;
            const auto low = static_cast<uint64_t>(std::fmod(std::fabs(d), kTwo64));
            return d < 0 ? 0 - low : low;
        }
        default: return it->get<uint64_t>();  // throws type_error
    }
}

}  // namespace

void ChannelManager::fromJson(const json& value) {
    for (const auto& el : value) {
        // value() on a non-object is the library's own type_error.
        if (!el.is_object()) (void)el.value("channelId", 0);
        ChannelInfo c;
        c.id = static_cast<uint16_t>(numberBits(el, "channelId"));
        c.parentId = static_cast<uint16_t>(numberBits(el, "parentId"));
        c.name = el.value("name", std::string());
        c.description = el.value("description", std::string());
        c.password = el.value("password", std::string());
        c.maxUsers = static_cast<uint16_t>(numberBits(el, "maxUsers"));
        c.sortOrder = static_cast<uint8_t>(numberBits(el, "sortOrder"));
        c.requiredRole = static_cast<uint8_t>(numberBits(el, "requiredRole"));
        c.type = static_cast<uint8_t>(numberBits(el, "type"));
        c.hasPassword = !c.password.empty();
        c.isPermanent = true;
        if (c.id > kLobbyId) createChannel(c);
    }
}

}  // namespace Korrafin
