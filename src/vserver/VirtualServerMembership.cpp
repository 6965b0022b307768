// Channel and user lists, channel join/leave announcements, moves and the
// removal of a finished session.
#include <exception>
#include <utility>

#include "core/Logger.h"
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

using Packets = std::vector<OutboundQueue::Bytes>;

// Takes the client out of `channelId` (0 = in none: nothing) and adds its
// announcement: the leave, then the channel list as it is without it.
void leaveChannel(ChannelManager& channels, uint32_t clientId, uint16_t channelId, Packets& out) {
    if (channelId == 0) return;
    channels.removeUser(channelId, clientId);
    out.push_back(OutboundQueue::share(userLeftChannelPacket(clientId, channelId)));
    out.push_back(OutboundQueue::share(channels.listPacket()));
}

}  // namespace

VirtualServer::Recipients VirtualServer::queueToAll(const Packets& packets, uint32_t ownerId) const {
    Recipients recipients = allSessions();
    const bool observed = static_cast<bool>(onQueued);  // once per walk: the loop runs per session
    for (const auto& packet : packets) {
        for (const auto& s : recipients) {
            s->enqueue(packet, s->clientId() == ownerId ? OutboundQueue::Place::Own : OutboundQueue::Place::Shared);
            if (observed) onQueued(*s);
        }
    }
    return recipients;
}

void VirtualServer::flushAll(const Recipients& recipients) {
    for (const auto& s : recipients) s->flush();
}

void VirtualServer::broadcastChannelList() const {
    Recipients recipients;
    {
        // Built and queued in one step against every other change: a list
        // built earlier never reaches anybody after this one.
        std::lock_guard<std::mutex> move(moveMutex_);
        recipients = queueToAll({OutboundQueue::share(channelManager.listPacket())});
    }
    flushAll(recipients);
}

void VirtualServer::sendChannelList(const std::shared_ptr<ClientSession>& session) const {
    if (!session) return;
    {
        std::lock_guard<std::mutex> move(moveMutex_);
        session->enqueue(OutboundQueue::share(channelManager.listPacket()), OutboundQueue::Place::Own);
    }
    session->flush();
}

void VirtualServer::sendLoginHead(const std::shared_ptr<ClientSession>& session, const Packets& lead,
                                  const DB::DbServerSettings& fallback) const {
    if (!session) return;
    {
        // The settings as stored when they are queued, so no update can
        // slip in between with a newer one that this one then overtakes.
        std::lock_guard<std::mutex> settingsLock(settingsMutex_);
        const auto settingsPacket =
            OutboundQueue::share(serverSettingsPacket(loginSettings(session->clientId(), fallback)));
        // No channel announcement comes between the answer and the list:
        // nothing names a channel before the client has the list.
        std::lock_guard<std::mutex> move(moveMutex_);
        for (const auto& packet : lead) session->enqueue(packet);
        session->enqueue(settingsPacket, OutboundQueue::Place::Own);
        session->enqueue(OutboundQueue::share(channelManager.listPacket()), OutboundQueue::Place::Own);
    }
    session->flush();
}

DB::DbServerSettings VirtualServer::loginSettings(uint32_t clientId, const DB::DbServerSettings& fallback) const {
    try {
        return getServerSettings();
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Warn, "Client {}: server settings unavailable during login: {}", clientId,
                                e.what());
        return fallback;
    }
}

void VirtualServer::sendUserList(const std::shared_ptr<ClientSession>& session) const {
    if (!session) return;
    {
        // Channels change members only under the move lock: the list names
        // no channel that the announcements queued before it do not show.
        std::lock_guard<std::mutex> move(moveMutex_);
        const auto sessions = allSessions();
        std::vector<UserInfo> users;
        users.reserve(sessions.size());
        for (const auto& s : sessions) users.push_back(s->info());
        session->enqueue(OutboundQueue::share(userListPacket(users)));
    }
    session->flush();
}

void VirtualServer::onUserJoinedChannel(uint32_t clientId, uint16_t channelId) {
    const auto session = findSession(clientId);
    if (!session) return;
    const UserInfo info = session->info();
    broadcast(userInfoPacket(MessageType::UserJoinedChannel, info), 0);
    broadcastChannelList();
    if (auto* bot = botApi.load(std::memory_order_acquire)) bot->onUserJoin(clientId, info.nickname, channelId);
}

void VirtualServer::onUserLeftChannel(uint32_t clientId, uint16_t channelId) {
    broadcast(userLeftChannelPacket(clientId, channelId), 0);
    broadcastChannelList();
}

bool VirtualServer::moveUserToChannel(uint32_t clientId, uint16_t channelId, const std::string& password) {
    std::shared_ptr<ClientSession> session;
    Recipients recipients;
    std::string nickname;
    {
        // The checks and the membership change form one step against other
        // moves and removals of this virtual server; the announcements are
        // built here, from the state this move left, and queued in the same
        // step, so that no client gets them out of order.
        std::lock_guard<std::mutex> move(moveMutex_);
        session = findSession(clientId);
        if (!session) return false;
        const auto channel = channelManager.find(channelId);
        if (!channel) return false;
        if (channel->type == static_cast<uint8_t>(ChannelType::Spacer)) return false;
        // The moved user's own right; the system actor's exemption does not apply.
        if (!permissions.check(clientId, session->role(), Permission::JOIN_CHANNEL, channelId)) return false;
        if (!channelManager.checkPassword(channelId, password)) return false;
        if (channel->maxUsers != 0 && channelManager.userCount(channelId) >= channel->maxUsers) return false;

        Packets announcements;
        announcements.reserve(4);
        leaveChannel(channelManager, clientId, session->channelId(), announcements);
        channelManager.addUser(channelId, clientId);
        UserInfo info;
        session->updateInfo([&](UserInfo& u) {
            u.channelId = channelId;
            info = u;
        });
        nickname = info.nickname;
        announcements.push_back(OutboundQueue::share(userInfoPacket(MessageType::UserJoinedChannel, info)));
        announcements.push_back(OutboundQueue::share(channelManager.listPacket()));
        // The moved client's lists keep their places in its own sequence.
        recipients = queueToAll(announcements, clientId);
    }

    flushAll(recipients);
    if (auto* bot = botApi.load(std::memory_order_acquire)) bot->onUserJoin(clientId, nickname, channelId);
    session->send(channelJoinResultPacket(ResultCode::Ok, channelId));
    return true;
}

void VirtualServer::removeSession(uint32_t clientId) {
    // The host calls this on every virtual server: most find nothing and
    // should not queue behind a move.
    if (!findSession(clientId)) return;

    std::shared_ptr<ClientSession> session;
    Recipients recipients;
    {
        std::lock_guard<std::mutex> move(moveMutex_);
        {
            std::lock_guard<std::mutex> lock(sessionsMutex_);
            const auto it = sessions_.find(clientId);
            if (it == sessions_.end()) return;
            session = std::move(it->second);
            sessions_.erase(it);
        }
        Packets announcements;
        leaveChannel(channelManager, clientId, session->channelId(), announcements);
        announcements.push_back(OutboundQueue::share(userLeftPacket(clientId)));
        recipients = queueToAll(announcements);
    }

    flushAll(recipients);
    if (auto* bot = botApi.load(std::memory_order_acquire)) bot->onUserLeave(clientId, session->nickname());
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Client {} ({}) disconnected", id_, clientId,
                            session->address());
}

}  // namespace Korrafin
