// Channel administration, channel persistence, message counts and the
// server settings record.
//
// With a database, a channel's id is its row id: the row is stored first and
// the tree takes its id, so what clients see is what a restart reloads.
#include <algorithm>
#include <exception>
#include <limits>
#include <mutex>

#include "core/Logger.h"
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

constexpr std::size_t kMaxChannelName = 128;
constexpr int64_t kMaxChannelId = 0xFFFF;

bool validName(const std::string& name) { return !name.empty() && name.size() <= kMaxChannelName; }

// What the tree holds of a stored number: the narrower field, where a value
// past either end is that end rather than a wrapped value (a position past
// the last is the last place, a limit past the largest is the largest).
template <class Field>
Field fieldFromRow(int64_t stored) {
    return static_cast<Field>(
        std::clamp<int64_t>(stored, std::numeric_limits<Field>::min(), std::numeric_limits<Field>::max()));
}

// A row id that can be a channel id without narrowing onto another channel.
bool fitsChannelId(int64_t rowId) { return rowId >= 1 && rowId <= kMaxChannelId; }

// Only rows whose id fits are read. A parent id that cannot name a channel
// names none (top level) rather than a wrapped one.
ChannelInfo channelFromRow(const DB::DbChannel& row) {
    ChannelInfo c;
    c.id = static_cast<uint16_t>(row.id);
    c.parentId = fitsChannelId(row.parent_id) ? static_cast<uint16_t>(row.parent_id) : 0;
    c.name = row.name;
    c.description = row.description;
    c.password = row.password;
    c.hasPassword = row.has_password;
    c.maxUsers = fieldFromRow<uint16_t>(row.max_users);
    c.userCount = 0;
    c.sortOrder = fieldFromRow<uint8_t>(row.sort_order);
    c.isPermanent = row.is_permanent;
    c.requiredRole = fieldFromRow<uint8_t>(row.required_role);
    c.type = fieldFromRow<uint8_t>(row.channel_type);
    c.logMode = row.log_mode;
    c.iconUrl = row.icon_url;
    c.bannerUrl = row.banner_url;
    c.textColor = row.text_color;
    c.messageCount = static_cast<uint32_t>(row.message_count);
    return c;
}

// The row's message count is never written from the record.
DB::DbChannel rowFromChannel(const ChannelInfo& c, int64_t id) {
    DB::DbChannel row;
    row.id = id;
    row.parent_id = c.parentId;
    row.name = c.name;
    row.description = c.description;
    row.password = c.password;
    row.has_password = c.hasPassword;
    row.max_users = c.maxUsers;
    row.sort_order = c.sortOrder;
    row.is_permanent = c.isPermanent;
    row.required_role = c.requiredRole;
    row.channel_type = c.type;
    row.log_mode = c.logMode;
    row.icon_url = c.iconUrl;
    row.banner_url = c.bannerUrl;
    row.text_color = c.textColor;
    row.message_count = 0;
    return row;
}

}  // namespace

// ---------------------------------------------------------------- loading

void VirtualServer::loadChannelsFromDb() {
    const auto store = db;
    if (!store) return;

    try {
        auto rows = store->GetAllChannels();
        if (rows.empty()) return;
        std::sort(rows.begin(), rows.end(),
                  [](const DB::DbChannel& a, const DB::DbChannel& b) { return a.sort_order < b.sort_order; });
        channelManager.clear();
        std::size_t loaded = 0;
        for (const auto& row : rows) {
            // Narrowing such an id would put the row onto another channel.
            if (!fitsChannelId(row.id)) {
                Logger::instance().logf(LogLevel::Warn, "[VServer {}] Channel row {} skipped: id out of range", id_,
                                        row.id);
                continue;
            }
            channelManager.createChannelWithId(channelFromRow(row));
            ++loaded;
        }
        Logger::instance().logf(LogLevel::Info, "[VServer {}] Loaded {} channels from DB", id_, loaded);
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Warn, "[VServer {}] Failed to load channels from DB: {}", id_, e.what());
    }

    // Whatever the rows held: there is a lobby to enter, and no channel hangs
    // under a parent that is not there (it is shown at the top level).
    if (!channelManager.find(ChannelManager::kLobbyId))
        channelManager.createChannelWithId(ChannelManager::lobbyRecord());
    for (auto c : channelManager.all()) {
        if (c.parentId != 0 && !channelManager.find(c.parentId)) {
            c.parentId = 0;
            channelManager.updateChannel(c);
        }
    }
}

// ---------------------------------------------------------------- administration

void VirtualServer::warnDenied(uint32_t actorId, const char* what) const {
    // Through the client's own throttle: repeated requests must not flood the log.
    if (const auto session = findSession(actorId)) {
        session->warnings().logf(LogLevel::Warn, "Client " + std::to_string(actorId),
                                 "[VServer {}] Client {} denied: {}", id_, actorId, what);
        return;
    }
    Logger::instance().logf(LogLevel::Warn, "[VServer {}] Client {} denied: {}", id_, actorId, what);
}

uint16_t VirtualServer::adminCreateChannel(const ChannelInfo& info, uint32_t actorId) {
    if (!checkPerm(actorId, Permission::CREATE_CHANNELS, 0)) {
        warnDenied(actorId, "CREATE_CHANNELS");
        return 0;
    }
    // A record cut short on the wire would not be the channel the tree holds.
    if (!validName(info.name) || !info.fitsWireWhole()) return 0;
    // Refused before anything is stored; the tree tests it again as it takes
    // the channel, against creations running meanwhile.
    if (!channelManager.listFitsWith(info)) return 0;

    ChannelInfo channel = info;
    uint16_t newId = 0;
    Recipients recipients;
    // Put in the tree and announced in one step against other changes, and
    // hidden from requests until its list is queued to everybody: nobody can
    // name the channel to a client before the list that holds it. A request
    // from a client whose list went out meanwhile waits for the reveal.
    const auto createAndAnnounce = [&](const ChannelInfo& c) -> uint16_t {
        std::lock_guard<std::mutex> move(moveMutex_);
        const uint16_t id = channelManager.createHiddenIfFree(c);
        if (id == 0) return 0;
        struct Reveal {
            ChannelManager& tree;
            uint16_t id;
            ~Reveal() { tree.reveal(id); }
        } reveal{channelManager, id};
        recipients = queueToAll({OutboundQueue::share(channelManager.announce(id))});
        return id;
    };
    if (const auto store = db) {
        // Stored first: a channel the database does not hold would vanish at
        // the next restart, so a failed store refuses the creation.
        int64_t rowId = 0;
        try {
            rowId = store->SaveChannel(rowFromChannel(channel, 0));
        } catch (const std::exception& e) {
            Logger::instance().logf(LogLevel::Warn, "[VServer {}] DB save channel failed: {}", id_, e.what());
            return 0;
        }
        if (fitsChannelId(rowId)) {
            channel.id = static_cast<uint16_t>(rowId);
            newId = createAndAnnounce(channel);
        }
        if (newId == 0) {
            // Out of range, or the id of a channel that lives in memory only:
            // never replace that channel. Or a channel under itself (the
            // parent chain already names the new id), or a list grown too
            // long meanwhile: refused like a bad name. Either way, drop the
            // row nobody can reach.
            const bool refusedRecord =
                fitsChannelId(rowId) && (channelManager.wouldBeOwnAncestor(channel.id, channel.parentId) ||
                                         !channelManager.listFitsWith(channel));
            if (!refusedRecord) {
                Logger::instance().logf(LogLevel::Warn, "[VServer {}] Channel row {} cannot become a channel id",
                                        id_, rowId);
            }
            try {
                store->DeleteChannel(rowId);
            } catch (const std::exception& e) {
                Logger::instance().logf(LogLevel::Warn, "[VServer {}] DB delete channel {} failed: {}", id_, rowId,
                                        e.what());
            }
            return 0;
        }
    } else {
        channel.id = 0;  // automatic: never replace a channel the caller named
        newId = createAndAnnounce(channel);
        if (newId == 0) return 0;
    }

    flushAll(recipients);
    if (auto* bot = botApi.load(std::memory_order_acquire)) bot->onChannelCreated(newId, info.name, info.parentId);
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Channel '{}' (id={}) created by client {}", id_, info.name,
                            newId, actorId);
    return newId;
}

bool VirtualServer::adminUpdateChannel(const ChannelInfo& info, uint32_t actorId) {
    if (!checkPerm(actorId, Permission::EDIT_CHANNELS, 0)) {
        warnDenied(actorId, "EDIT_CHANNELS");
        return false;
    }
    if (!validName(info.name) || !info.fitsWireWhole()) return false;
    {
        // Stored in the order the tree takes the changes.
        std::lock_guard<std::mutex> channels(channelsMutex_);
        // A channel under itself, however far down, has no place in the tree.
        if (!channelManager.updateChannelAcyclic(info)) return false;

        if (const auto store = db) {
            try {
                store->UpdateChannel(rowFromChannel(info, info.id));
            } catch (const std::exception& e) {
                Logger::instance().logf(LogLevel::Warn, "[VServer {}] DB update channel failed: {}", id_, e.what());
            }
        }
    }
    broadcastChannelList();
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Channel {} updated by client {}", id_, info.id, actorId);
    return true;
}

bool VirtualServer::adminDeleteChannel(uint16_t channelId, uint32_t actorId) {
    if (channelId == ChannelManager::kLobbyId) return false;
    if (!checkPerm(actorId, Permission::DELETE_CHANNELS, 0)) {
        warnDenied(actorId, "DELETE_CHANNELS");
        return false;
    }
    const auto channel = channelManager.find(channelId);
    if (!channel) return false;
    if (channel->isPermanent && channel->type != static_cast<uint8_t>(ChannelType::Spacer)) return false;

    for (uint32_t member : channelManager.usersIn(channelId)) moveUserToChannel(member, ChannelManager::kLobbyId, "");

    // Whoever is still listed (the lobby refused the move, or the member came
    // in meanwhile) leaves with the channel instead of staying in one that no
    // longer exists. Under the move lock, so nobody joins between this and
    // the removal.
    Recipients recipients;
    {
        std::lock_guard<std::mutex> move(moveMutex_);
        std::vector<OutboundQueue::Bytes> leaves;
        for (uint32_t member : channelManager.usersIn(channelId)) {
            channelManager.removeUser(channelId, member);
            if (const auto session = findSession(member)) {
                session->updateInfo([channelId](UserInfo& u) {
                    if (u.channelId == channelId) u.channelId = 0;
                });
            }
            leaves.push_back(OutboundQueue::share(userLeftChannelPacket(member, channelId)));
        }
        channelManager.deleteChannel(channelId);
        recipients = queueToAll(leaves);
    }
    flushAll(recipients);

    if (const auto store = db) {
        try {
            store->DeleteChannel(channelId);
        } catch (const std::exception& e) {
            Logger::instance().logf(LogLevel::Warn, "[VServer {}] DB delete channel {} failed: {}", id_, channelId,
                                    e.what());
        }
    }
    broadcastChannelList();
    if (auto* bot = botApi.load(std::memory_order_acquire)) bot->onChannelDeleted(channelId);
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Channel {} deleted by client {}", id_, channelId, actorId);
    return true;
}

bool VirtualServer::adminReorderChannels(const std::vector<uint16_t>& ids, uint32_t actorId) {
    if (!checkPerm(actorId, Permission::EDIT_CHANNELS, 0)) {
        warnDenied(actorId, "EDIT_CHANNELS (reorder)");
        return false;
    }
    const auto count = static_cast<uint16_t>(ids.size());
    const auto order = OutboundQueue::share(channelReorderPacket(ids));
    Recipients recipients;
    {
        // Stored in the order the tree takes the changes.
        std::lock_guard<std::mutex> channels(channelsMutex_);
        {
            // The new order, its list and the order itself in one step
            // against other announcements: a list that shows the order
            // never comes before it, one without it never after it. The
            // requester's own order is never dropped for a newer list.
            std::lock_guard<std::mutex> move(moveMutex_);
            for (uint16_t i = 0; i < count; ++i) channelManager.setSortOrder(ids[i], i);
            recipients = queueToAll({OutboundQueue::share(channelManager.listPacket()), order}, actorId);
        }
        if (const auto store = db) {
            try {
                store->ReorderChannels(std::vector<int64_t>(ids.begin(), ids.end()));
            } catch (const std::exception& e) {
                Logger::instance().logf(LogLevel::Warn, "[VServer {}] DB reorder failed: {}", id_, e.what());
            }
        }
    }
    flushAll(recipients);
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Channels reordered by client {}", id_, actorId);
    return true;
}

// ---------------------------------------------------------------- message counts

void VirtualServer::incrementChannelMessageCount(uint16_t channelId) {
    if (channelId == 0 || !channelManager.find(channelId)) return;

    Recipients recipients;
    {
        // Counted, stored and announced in the order of the counts, and
        // against the lists that show them: the last count a client applies
        // is the stored one.
        std::lock_guard<std::mutex> channels(channelsMutex_);
        int64_t stored = 0;  // 0: no row, or the store failed
        if (const auto store = db) {
            try {
                stored = store->IncrementChannelMessageCount(channelId);
            } catch (const std::exception& e) {
                Logger::instance().logf(LogLevel::Warn,
                                        "[VServer {}] message-count persist failed for channel {}: {}", id_,
                                        channelId, e.what());
            }
        }
        std::lock_guard<std::mutex> move(moveMutex_);
        const uint32_t inTree = channelManager.incrementMessageCount(channelId);
        // No row (a channel made in memory only): the tree's count is the count.
        const uint32_t count = stored != 0 ? static_cast<uint32_t>(stored) : inTree;
        recipients = queueToAll({OutboundQueue::share(channelMessageCountPacket(channelId, count))});
    }
    flushAll(recipients);
}

// ---------------------------------------------------------------- settings

DB::DbServerSettings VirtualServer::getServerSettings() const {
    if (const auto store = db) return store->GetServerSettings();
    return DB::DbServerSettings{};
}

void VirtualServer::saveServerSettings(const DB::DbServerSettings& settings) {
    if (const auto store = db) store->SaveServerSettings(settings);
}

void VirtualServer::updateServerSettings(const DB::DbServerSettings& settings) {
    const auto packet = OutboundQueue::share(serverSettingsPacket(settings));
    Recipients recipients;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        saveServerSettings(settings);
        recipients = queueToAll({packet});
    }
    flushAll(recipients);
}

}  // namespace Korrafin
