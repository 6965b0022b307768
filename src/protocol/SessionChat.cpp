// Channel chat, direct messages, presence updates and a client's own channel joins.
#include <string>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

constexpr std::size_t kMaxChatBytes = 4096;

bool chatLengthOk(const std::string& text) { return !text.empty() && text.size() <= kMaxChatBytes; }

// u32 client id, u8 value: how a voice state or a status is announced.
std::vector<uint8_t> clientBytePacket(MessageType type, uint32_t clientId, uint8_t value) {
    PacketBuilder b(type);
    b.writeLE(clientId);
    b.writeLE(value);
    return b.finalise();
}

}  // namespace

void ClientSession::handleChatMessage(PacketReader& reader) {
    const auto vs = vserver();
    if (!vs) return;
    const std::string text = reader.readStr();
    if (!chatLengthOk(text)) return;

    const uint16_t channelId = this->channelId();
    const auto channel = vs->channelManager.find(channelId);
    if (channel && channel->type == static_cast<uint8_t>(ChannelType::News) &&
        static_cast<uint8_t>(role()) <= static_cast<uint8_t>(UserRole::Moderator)) {
        send(errorPacket("Only admins can post in announcement channels."));
        return;
    }

    const std::string nick = nickname();
    const uint64_t messageId = vs->lastMessageId.fetch_add(1, std::memory_order_relaxed) + 1;
    vs->broadcastToChannel(channelId, chatMessagePacket(clientId_, channelId, nick, text, messageId), 0);
    vs->incrementChannelMessageCount(channelId);
    vs->notifyBotChatMessage(clientId_, nick, text);
    vs->notifyPluginChatMessage(clientId_, channelId, nick, text, messageId);
}

void ClientSession::handleDmSend(PacketReader& reader) {
    const auto vs = vserver();
    if (!vs) return;
    const uint32_t recipient = reader.readLE<uint32_t>();
    const std::string text = reader.readStr();
    if (!chatLengthOk(text) || recipient == clientId_) return;
    vs->routeDirectMessage(clientId_, recipient, text);
}

// The id is relayed as it is: the server keeps no messages to check it against.
void ClientSession::handleMessageDelete(PacketReader& reader) {
    const auto vs = vserver();
    if (!vs) return;
    const uint64_t messageId = reader.readLE<uint64_t>();
    PacketBuilder b(MessageType::MessageDelete);
    b.writeLE(messageId);
    vs->broadcastToChannel(channelId(), b.finalise(), 0);
}

void ClientSession::handleChannelJoin(PacketReader& reader) {
    const uint16_t channel = reader.readLE<uint16_t>();
    const std::string password = reader.readStr();
    const auto vs = vserver();
    if (!vs) return;
    // A channel with a password is a credential check; while the address
    // waits after a burst of wrong ones the join is refused unchecked.
    const auto target = vs->channelManager.find(channel);
    const bool guarded = target && !target->password.empty();
    if (guarded && credentialsWaiting()) {
        send(channelJoinResultPacket(ResultCode::Refused, channel));
        noteCredentialFailure(CredentialGuard::Kind::Password, false);
        return;
    }
    // On success the virtual server has sent the ChannelJoinResult.
    if (vs->moveUserToChannel(clientId_, channel, password)) return;
    send(channelJoinResultPacket(ResultCode::Refused, channel));
    if (guarded && !vs->channelManager.checkPassword(channel, password))
        noteCredentialFailure(CredentialGuard::Kind::Password, true);
}

void ClientSession::handleChannelLeave(PacketReader& /*reader*/) {
    const auto vs = vserver();
    if (!vs) return;
    vs->moveUserToChannel(clientId_, ChannelManager::kLobbyId, "");
}

void ClientSession::handleVoiceState(PacketReader& reader) {
    const uint8_t flags = reader.readLE<uint8_t>();
    updateInfo([flags](UserInfo& u) { u.voiceFlags = flags; });
    if (const auto vs = vserver())
        vs->broadcast(clientBytePacket(MessageType::VoiceState, clientId_, flags), clientId_);
}

void ClientSession::handleUserStatusUpdate(PacketReader& reader) {
    const uint8_t status = reader.readLE<uint8_t>();
    updateInfo([status](UserInfo& u) { u.status = status; });
    if (const auto vs = vserver())
        vs->broadcast(clientBytePacket(MessageType::UserStatusUpdate, clientId_, status), clientId_);
}

void ClientSession::handleUserActivityUpdate(PacketReader& reader) {
    std::string activity = reader.readStr();
    // Every user list carries the text: an overlong one is refused, not stored.
    if (activity.size() > UserInfo::kMaxClientTextBytes) return;
    PacketBuilder b(MessageType::UserActivityUpdate);
    b.writeLE(clientId_);
    b.writeStr(activity);
    updateInfo([&](UserInfo& u) { u.activity = std::move(activity); });
    const auto vs = vserver();
    if (!vs) return;
    vs->broadcast(b.finalise(), 0);
}

}  // namespace Korrafin
