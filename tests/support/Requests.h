// The requests a client sends, as whole packet bytes, written field by field
// here (not with the server's own packet writers), so a test states the wire
// layout itself. Plain functions, usable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/Records.h"
#include "protocol/ChannelInfo.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"
#include "support/Wire.h"

namespace Korrafin::Test {

// ---------------------------------------------------------------- generic shapes

// One string (ChatMessage, UserActivityUpdate, PrivKeyRevoke, UsePrivilegeKey, FileRequest, ...).
inline std::vector<uint8_t> stringRequest(MessageType type, const std::string& s) {
    PacketBuilder b(type);
    b.writeStr(s);
    return b.finalise();
}

// Two strings (UserRegister, UserLogin).
inline std::vector<uint8_t> twoStringRequest(MessageType type, const std::string& a, const std::string& second) {
    PacketBuilder b(type);
    b.writeStr(a);
    b.writeStr(second);
    return b.finalise();
}

// One byte (VoiceState, UserStatusUpdate).
inline std::vector<uint8_t> byteRequest(MessageType type, uint8_t value) {
    PacketBuilder b(type);
    b.writeLE(value);
    return b.finalise();
}

// One u16 id (ChannelDelete, ChannelContentGet, VServerStop, VServerStart).
inline std::vector<uint8_t> idRequest(MessageType type, uint16_t id) {
    PacketBuilder b(type);
    b.writeLE(id);
    return b.finalise();
}

// The request with its last `n` payload bytes cut off; the header's length
// follows the cut.
inline std::vector<uint8_t> cutShort(std::vector<uint8_t> request, std::size_t n) {
    request.resize(request.size() - n);
    const auto len = static_cast<uint32_t>(request.size() - PacketHeader::kSize);
    for (int i = 0; i < 4; ++i) request[7 + i] = static_cast<uint8_t>(len >> (8 * i));
    return request;
}

// ---------------------------------------------------------------- session

inline std::vector<uint8_t> helloRequest() { return packet(MessageType::Hello); }

// Nickname, server key, identity, and the two optional strings when given.
inline std::vector<uint8_t> authRequest(const std::string& nickname, const std::string& serverKey = "",
                                        const std::string& identity = "",
                                        const std::optional<std::string>& extra1 = std::nullopt,
                                        const std::optional<std::string>& extra2 = std::nullopt) {
    PacketBuilder b(MessageType::AuthRequest);
    b.writeStr(nickname);
    b.writeStr(serverKey);
    b.writeStr(identity);
    if (extra1) b.writeStr(*extra1);
    if (extra2) b.writeStr(*extra2);
    return b.finalise();
}

inline std::vector<uint8_t> channelJoinRequest(uint16_t channel, const std::string& password = "") {
    PacketBuilder b(MessageType::ChannelJoin);
    b.writeLE(channel);
    b.writeStr(password);
    return b.finalise();
}

// ---------------------------------------------------------------- chat

inline std::vector<uint8_t> chatRequest(const std::string& text) { return stringRequest(MessageType::ChatMessage, text); }

inline std::vector<uint8_t> dmRequest(uint32_t to, const std::string& text) {
    PacketBuilder b(MessageType::DmSend);
    b.writeLE(to);
    b.writeStr(text);
    return b.finalise();
}

inline std::vector<uint8_t> messageDeleteRequest(uint64_t messageId) {
    PacketBuilder b(MessageType::MessageDelete);
    b.writeLE(messageId);
    return b.finalise();
}

// ---------------------------------------------------------------- moderation

inline std::vector<uint8_t> kickRequest(uint32_t target, const std::string& reason) {
    PacketBuilder b(MessageType::KickUser);
    b.writeLE(target);
    b.writeStr(reason);
    return b.finalise();
}

inline std::vector<uint8_t> banRequest(uint32_t target, const std::string& reason, uint32_t seconds) {
    PacketBuilder b(MessageType::BanUser);
    b.writeLE(target);
    b.writeStr(reason);
    b.writeLE(seconds);
    return b.finalise();
}

inline std::vector<uint8_t> moveRequest(uint32_t target, uint16_t channel) {
    PacketBuilder b(MessageType::MoveUser);
    b.writeLE(target);
    b.writeLE(channel);
    return b.finalise();
}

inline std::vector<uint8_t> roleRequest(uint32_t target, uint8_t role) {
    PacketBuilder b(MessageType::SetUserRole);
    b.writeLE(target);
    b.writeLE(role);
    return b.finalise();
}

// ---------------------------------------------------------------- channel administration

// The record of a create or update request. `tail` is how many of the six
// optional fields are written (0 = the record ends after logMode).
struct ChannelRequest {
    uint16_t parentId = 0;
    std::string name = "Raum";
    std::string description = "";
    std::string password = "";
    uint16_t maxUsers = 0;
    uint8_t sortOrder = 0;
    uint8_t isPermanent = 0;
    uint8_t type = static_cast<uint8_t>(ChannelType::Text);
    uint8_t logMode = 0;
    int tail = 6;
    uint8_t requiredRole = 0;
    std::string iconUrl = "";
    std::string bannerUrl = "";
    std::string textColor = "";

    void write(PacketBuilder& b) const {
        b.writeLE(parentId);
        b.writeStr(name);
        b.writeStr(description);
        b.writeStr(password);
        b.writeLE(maxUsers);
        b.writeLE(sortOrder);
        b.writeLE(isPermanent);
        b.writeLE(type);
        b.writeLE(logMode);
        if (tail >= 1) b.writeLE(requiredRole);
        if (tail >= 2) b.writeLE<uint8_t>(0xEE);
        if (tail >= 3) b.writeLE<uint8_t>(0xEE);
        if (tail >= 4) b.writeStr(iconUrl);
        if (tail >= 5) b.writeStr(bannerUrl);
        if (tail >= 6) b.writeStr(textColor);
    }
};

inline std::vector<uint8_t> channelCreateRequest(const ChannelRequest& c) {
    PacketBuilder b(MessageType::ChannelCreate);
    c.write(b);
    return b.finalise();
}

inline std::vector<uint8_t> channelUpdateRequest(uint16_t id, const ChannelRequest& c) {
    PacketBuilder b(MessageType::ChannelUpdate);
    b.writeLE(id);
    c.write(b);
    return b.finalise();
}

inline std::vector<uint8_t> channelDeleteRequest(uint16_t id) { return idRequest(MessageType::ChannelDelete, id); }

// The ids as given; `count` overrides the count field.
inline std::vector<uint8_t> channelReorderRequest(const std::vector<uint16_t>& ids,
                                                  std::optional<uint16_t> count = std::nullopt) {
    PacketBuilder b(MessageType::ChannelReorder);
    b.writeLE(count ? *count : static_cast<uint16_t>(ids.size()));
    for (uint16_t id : ids) b.writeLE(id);
    return b.finalise();
}

// ---------------------------------------------------------------- channel content

inline std::vector<uint8_t> contentGetRequest(uint16_t channel) {
    return idRequest(MessageType::ChannelContentGet, channel);
}

inline std::vector<uint8_t> contentUpdateRequest(uint16_t channel, const std::string& content) {
    PacketBuilder b(MessageType::ChannelContentUpdate);
    b.writeLE(channel);
    b.writeStr(content);
    return b.finalise();
}

inline std::vector<uint8_t> reactionToggleRequest(uint16_t channel, const std::string& post, const std::string& emoji) {
    PacketBuilder b(MessageType::ChannelReactionToggle);
    b.writeLE(channel);
    b.writeStr(post);
    b.writeStr(emoji);
    return b.finalise();
}

// ---------------------------------------------------------------- files

// Extension, the announced size (the data's own unless given), the data.
inline std::vector<uint8_t> fileUploadRequest(const std::string& ext, const std::vector<uint8_t>& data,
                                              std::optional<uint32_t> announced = std::nullopt) {
    PacketBuilder b(MessageType::FileUpload);
    b.writeStr(ext);
    b.writeLE(announced ? *announced : static_cast<uint32_t>(data.size()));
    b.writeBytes(data.data(), data.size());
    return b.finalise();
}

inline std::vector<uint8_t> fileRequest(const std::string& name) { return stringRequest(MessageType::FileRequest, name); }

// ---------------------------------------------------------------- keys and tokens

// The role byte, then the description when given.
inline std::vector<uint8_t> keyCreateRequest(uint8_t role, const std::optional<std::string>& description = std::nullopt) {
    PacketBuilder b(MessageType::PrivKeyCreate);
    b.writeLE(role);
    if (description) b.writeStr(*description);
    return b.finalise();
}

inline std::vector<uint8_t> botCreateRequest(const std::string& name, const std::string& description,
                                             uint32_t permissions) {
    PacketBuilder b(MessageType::BotTokenCreate);
    b.writeStr(name);
    b.writeStr(description);
    b.writeLE(permissions);
    return b.finalise();
}

inline std::vector<uint8_t> botRevokeRequest(uint64_t id) {
    PacketBuilder b(MessageType::BotTokenRevoke);
    b.writeLE(id);
    return b.finalise();
}

// ---------------------------------------------------------------- server settings

// The eight fields, then the badge configuration when asked for.
inline std::vector<uint8_t> settingsRequest(const DB::DbServerSettings& s, bool withBadge = true) {
    PacketBuilder b(MessageType::ServerSettingsUpdate);
    b.writeStr(s.name);
    b.writeStr(s.description);
    b.writeStr(s.icon_url);
    b.writeStr(s.banner_url);
    b.writeLE(s.accent_color);
    b.writeLE(s.notify_channel_id);
    b.writeStr(s.welcome_message);
    b.writeLE(s.entry_channel_id);
    if (withBadge) b.writeStr(s.badge_config_json);
    return b.finalise();
}

}  // namespace Korrafin::Test
