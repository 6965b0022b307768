// Per-channel content and its reactions. The content is one text per channel
// in the virtual server's database; only the reaction toggle looks inside it.
#include <array>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/Logger.h"
#include "protocol/ClientSession.h"
#include "protocol/ContentDocument.h"
#include "protocol/PacketBuilder.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

constexpr std::size_t kMaxEmojiBytes = 32;

// Writers of one channel's content (a toggle's load, change and store, and
// an update) run one at a time. The row is named by its database and channel
// id, so virtual servers sharing a database share the lock of a row; rows
// that share a stripe merely wait for each other.
std::mutex& contentLock(const DB::IDatabase* db, uint16_t channelId) {
    static std::array<std::mutex, 64> stripes;
    const std::size_t h = std::hash<const void*>{}(db) ^ (std::size_t{channelId} * 0x9E3779B97F4A7C15ull);
    return stripes[h % stripes.size()];
}

std::vector<uint8_t> channelContentPacket(uint16_t channelId, const std::string& content) {
    PacketBuilder b(MessageType::ChannelContent);
    b.writeLE(channelId);
    b.writeStr(content);
    return b.finalise();
}

}  // namespace

// u16 channel. The channel's content (empty when it has none) to the requester.
void ClientSession::handleChannelContentGet(PacketReader& reader) {
    const uint16_t channelId = reader.readLE<uint16_t>();
    auto vs = vserver();
    if (!vs) return;
    if (!vs->channelManager.find(channelId)) return;

    const auto db = vs->db;
    if (!db) {
        send(channelContentPacket(channelId, std::string()));
        return;
    }
    {
        // Read and queued in one step against the writers: an update that
        // stores a newer text comes after this answer, never before it.
        std::lock_guard<std::mutex> lock(contentLock(db.get(), channelId));
        std::string text;
        try {
            text = db->GetChannelContent(channelId).value_or(std::string());
        } catch (const std::exception& e) {
            Logger::instance().logf(LogLevel::Warn, "[ChannelContent] GetChannelContent({}) failed: {}", channelId,
                                    e.what());
            text.clear();
        }
        enqueue(OutboundQueue::share(channelContentPacket(channelId, text)));
    }
    flush();
}

// u16 channel, str content. Stored as sent (no JSON check) and echoed to every
// session of the virtual server.
void ClientSession::handleChannelContentUpdate(PacketReader& reader) {
    const uint16_t channelId = reader.readLE<uint16_t>();
    const std::string content = reader.readStr();
    auto vs = vserver();
    if (!vs) return;

    if (!vs->checkPerm(clientId_, Permission::EDIT_CHANNELS, 0)) {
        vs->warnDenied(clientId_, "EDIT_CHANNELS (channel content)");
        return;
    }
    const auto db = vs->db;
    if (!db || !vs->channelManager.find(channelId)) return;

    const auto packet = OutboundQueue::share(channelContentPacket(channelId, content));
    VirtualServer::Recipients recipients;
    {
        // Stored and queued in one step: clients get the texts in the order
        // they were stored, the stored one last.
        std::lock_guard<std::mutex> lock(contentLock(db.get(), channelId));
        try {
            db->SetChannelContent(channelId, content);
        } catch (const std::exception& e) {
            Logger::instance().logf(LogLevel::Error, "[ChannelContent] SetChannelContent({}) failed: {}", channelId,
                                    e.what());
            return;
        }
        recipients = vs->queueToAll({packet});
    }
    VirtualServer::flushAll(recipients);
}

// u16 channel, str post id, str emoji. Adds the requester's client id to the
// post's list for the emoji, or removes its first entry; stores the whole
// document and tells every session the new list.
void ClientSession::handleChannelReactionToggle(PacketReader& reader) {
    const uint16_t channelId = reader.readLE<uint16_t>();
    const std::string postId = reader.readStr();
    const std::string emoji = reader.readStr();
    auto vs = vserver();
    if (!vs) return;
    if (postId.empty() || emoji.empty() || emoji.size() > kMaxEmojiBytes) return;
    const auto db = vs->db;
    if (!db || !vs->channelManager.find(channelId)) return;

    VirtualServer::Recipients recipients;
    {
        // Load, change, store and queue the new list are one step against
        // other writers of this channel's content, so no toggle or update is
        // lost and clients get the lists in the order they were stored.
        std::lock_guard<std::mutex> lock(contentLock(db.get(), channelId));

        nlohmann::json doc;
        try {
            doc = ContentDocument::parse(db->GetChannelContent(channelId).value_or(std::string()));
        } catch (const std::exception& e) {
            Logger::instance().logf(LogLevel::Warn, "[ChannelReaction] Failed to parse content for channel {}: {}",
                                    channelId, e.what());
            doc = nlohmann::json::object();
        }

        // Without the post there is nothing to change, and a document that
        // could not be read is never overwritten.
        auto toggled = ContentDocument::toggleReaction(doc, postId, emoji, clientId_);
        if (!toggled) return;
        const std::vector<uint32_t>& ids = *toggled;

        PacketBuilder b(MessageType::ChannelReactionUpdate);
        b.writeLE(channelId);
        b.writeStr(postId);
        b.writeStr(emoji);
        b.writeLE(static_cast<uint32_t>(ids.size()));
        b.writeLE(static_cast<uint16_t>(ids.size()));
        for (uint32_t id : ids) b.writeLE(id);
        const auto packet = OutboundQueue::share(b.finalise());

        try {
            db->SetChannelContent(channelId, ContentDocument::serialise(doc));
        } catch (const std::exception& e) {
            Logger::instance().logf(LogLevel::Error, "[ChannelReaction] Persist failed for channel {} post {}: {}",
                                    channelId, postId, e.what());
            return;
        }
        // The requester's own list is never dropped for a newer content.
        recipients = vs->queueToAll({packet}, clientId_);
    }
    VirtualServer::flushAll(recipients);
}

}  // namespace Korrafin
