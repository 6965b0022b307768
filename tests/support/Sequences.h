// What a client must be able to rely on in what it receives, however slow
// it is or busy the server: its own sequences (its login, its moves) in
// their order, every channel a packet names in a channel list before it,
// the current lists and settings last, and, applying everything in order,
// the stored state in the end. Each check returns an empty text when it
// holds, else what is wrong.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol/MessageType.h"
#include "support/Wire.h"

namespace Korrafin::Test {

// One step of a sequence: a packet of `type` that `match` (when given) accepts.
struct Step {
    MessageType type;
    std::string what;
    std::function<bool(const Packet&)> match = {};
};

// Finds the steps in `packets`, from index `from` on, in this order (other
// packets may come between them).
inline std::string missingInOrder(const std::vector<Packet>& packets, const std::vector<Step>& steps,
                                  std::size_t from = 0) {
    std::size_t i = from;
    for (const Step& step : steps) {
        while (i < packets.size() && !(packets[i].type == step.type && (!step.match || step.match(packets[i])))) ++i;
        if (i == packets.size()) return "no " + step.what + " in its place";
        ++i;
    }
    return "";
}

inline Step userJoinedChannelStep(uint32_t client, uint16_t channel) {
    return {MessageType::UserJoinedChannel, "own UserJoinedChannel into " + std::to_string(channel),
            [=](const Packet& p) {
                const UserInfo u = userOf(p);
                return u.clientId == client && u.channelId == channel;
            }};
}

inline Step joinResultStep(uint16_t channel) {
    return {MessageType::ChannelJoinResult, "ChannelJoinResult for " + std::to_string(channel),
            [=](const Packet& p) { return joinResultOf(p) == std::pair<uint16_t, uint16_t>{0, channel}; }};
}

// The login of client `self` that ends in channel `entry`.
inline std::vector<Step> loginSequence(uint32_t self, uint16_t entry) {
    return {
        {MessageType::AuthResponse, "AuthResponse",
         [=](const Packet& p) {
             const auto a = authResultOf(p);
             return a.result == 0 && a.clientId == self;
         }},
        {MessageType::IdentityStatus, "IdentityStatus"},
        {MessageType::ServerSettings, "ServerSettings"},
        {MessageType::ChannelList, "ChannelList after the settings"},
        {MessageType::UserList, "UserList"},
        {MessageType::ChatMessage, "welcome", [](const Packet& p) { return chatOf(p).senderId == 0; }},
        userJoinedChannelStep(self, entry),
        {MessageType::ChannelList, "ChannelList after the join"},
        joinResultStep(entry),
    };
}

// The move of client `self` from channel `from` (0: none) into `to`.
inline std::vector<Step> moveSequence(uint32_t self, uint16_t from, uint16_t to) {
    std::vector<Step> steps;
    if (from != 0) {
        steps.push_back({MessageType::UserLeftChannel, "own UserLeftChannel from " + std::to_string(from),
                         [=](const Packet& p) {
                             auto r = p.reader();
                             const uint32_t client = r.readLE<uint32_t>();
                             return client == self && r.readLE<uint16_t>() == from;
                         }});
        steps.push_back({MessageType::ChannelList, "ChannelList after the leave"});
    }
    steps.push_back(userJoinedChannelStep(self, to));
    steps.push_back({MessageType::ChannelList, "ChannelList after the join"});
    steps.push_back(joinResultStep(to));
    return steps;
}

// The channels a packet names (0, "in no channel", is none).
inline std::vector<uint16_t> channelsNamedBy(const Packet& p) {
    std::vector<uint16_t> ids;
    auto r = p.reader();
    switch (p.type) {
        case MessageType::UserJoinedChannel:
        case MessageType::UserJoined:
        case MessageType::UserUpdated:
            ids.push_back(userOf(p).channelId);
            break;
        case MessageType::UserList:
            for (const auto& u : usersOf(p)) ids.push_back(u.channelId);
            break;
        case MessageType::UserLeftChannel:
            r.readLE<uint32_t>();
            ids.push_back(r.readLE<uint16_t>());
            break;
        case MessageType::ChannelJoinResult:
            ids.push_back(joinResultOf(p).second);
            break;
        case MessageType::ChannelReorder: {
            const uint16_t n = r.readLE<uint16_t>();
            for (uint16_t i = 0; i < n; ++i) ids.push_back(r.readLE<uint16_t>());
            break;
        }
        case MessageType::ChatMessage:
            ids.push_back(chatOf(p).channelId);
            break;
        case MessageType::ChannelMessageCount:
        case MessageType::ChannelContent:
        case MessageType::ChannelReactionUpdate:
            ids.push_back(r.readLE<uint16_t>());
            break;
        default:
            break;
    }
    std::erase(ids, uint16_t{0});
    return ids;
}

// The first packet, from index `from` on, that names a channel which no
// ChannelList before it held, nor `known` (what the client was told before
// `packets`), unless it is in `gone` (deleted since).
inline std::string unlistedChannel(const std::vector<Packet>& packets, std::set<uint16_t> known = {},
                                   const std::set<uint16_t>& gone = {}, std::size_t from = 0) {
    for (std::size_t i = from; i < packets.size(); ++i) {
        const Packet& p = packets[i];
        if (p.type == MessageType::ChannelList) {
            for (const auto& c : channelsOf(p)) known.insert(c.id);
            continue;
        }
        for (uint16_t id : channelsNamedBy(p)) {
            if (!known.count(id) && !gone.count(id))
                return "packet " + std::to_string(i) + " (type " + std::to_string(static_cast<int>(p.type)) +
                       ") names channel " + std::to_string(id) + " before any list holds it";
        }
    }
    return "";
}

// The index of the first packet of `type` (packets.size() when none).
inline std::size_t firstOf(const std::vector<Packet>& packets, MessageType type) {
    std::size_t i = 0;
    while (i < packets.size() && packets[i].type != type) ++i;
    return i;
}

// The last packet of `type`, if any.
inline std::optional<Packet> lastOf(const std::vector<Packet>& packets, MessageType type) {
    for (auto it = packets.rbegin(); it != packets.rend(); ++it)
        if (it->type == type) return *it;
    return std::nullopt;
}

// ---------------------------------------------------------------- what a client computes

// A channel's content as a client reads it: the JSON document, or the text
// itself when it is not one.
inline nlohmann::json contentDocOf(const std::string& text) {
    if (text.empty()) return nlohmann::json::object();
    auto doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    return doc.is_discarded() ? nlohmann::json(text) : doc;
}

// What a client holds once it has applied what it got, in order: the
// records of its last channel list with the reorders and message counts
// that came after it, and each channel's content with the reaction lists
// that came after it.
struct ClientView {
    std::map<uint16_t, ChannelInfo> channels;
    std::map<uint16_t, nlohmann::json> contents;
};

inline ClientView viewFrom(const std::vector<Packet>& packets, std::size_t from = 0) {
    ClientView v;
    for (std::size_t i = from; i < packets.size(); ++i) {
        const Packet& p = packets[i];
        auto r = p.reader();
        switch (p.type) {
            case MessageType::ChannelList:
                v.channels.clear();
                for (const auto& c : channelsOf(p)) v.channels[c.id] = c;
                break;
            case MessageType::ChannelReorder: {
                const uint16_t n = r.readLE<uint16_t>();
                for (uint16_t k = 0; k < n; ++k) {
                    const auto it = v.channels.find(r.readLE<uint16_t>());
                    if (it != v.channels.end()) it->second.sortOrder = static_cast<uint8_t>(k);
                }
                break;
            }
            case MessageType::ChannelMessageCount: {
                const uint16_t id = r.readLE<uint16_t>();
                const uint32_t count = r.readLE<uint32_t>();
                if (const auto it = v.channels.find(id); it != v.channels.end()) it->second.messageCount = count;
                break;
            }
            case MessageType::ChannelContent: {
                const uint16_t id = r.readLE<uint16_t>();
                v.contents[id] = contentDocOf(r.readStr());
                break;
            }
            case MessageType::ChannelReactionUpdate: {
                const uint16_t id = r.readLE<uint16_t>();
                const std::string post = r.readStr();
                const std::string emoji = r.readStr();
                r.readLE<uint32_t>();
                const uint16_t n = r.readLE<uint16_t>();
                std::vector<uint32_t> ids;
                for (uint16_t k = 0; k < n; ++k) ids.push_back(r.readLE<uint32_t>());
                const auto doc = v.contents.find(id);
                if (doc == v.contents.end() || !doc->second.is_object() || !doc->second.contains("posts")) break;
                for (auto& entry : doc->second["posts"]) {
                    if (!entry.is_object() || entry.value("id", std::string()) != post) continue;
                    auto& reactions = entry["reactions"];
                    if (!reactions.is_object()) reactions = nlohmann::json::object();
                    if (ids.empty()) {
                        reactions.erase(emoji);
                    } else {
                        reactions[emoji] = ids;
                    }
                    break;
                }
                break;
            }
            default:
                break;
        }
    }
    return v;
}

// The order and message count of every channel of `current` (a ChannelList
// packet's bytes) against what the view holds.
inline std::string orderAndCountsDiffer(const ClientView& v, const std::vector<uint8_t>& current) {
    const Packet list{MessageType::ChannelList,
                      std::vector<uint8_t>(current.begin() + PacketHeader::kSize, current.end())};
    const auto stored = channelsOf(list);
    if (stored.size() != v.channels.size())
        return "the client holds " + std::to_string(v.channels.size()) + " channels, the server " +
               std::to_string(stored.size());
    for (const auto& c : stored) {
        const auto it = v.channels.find(c.id);
        if (it == v.channels.end()) return "the client does not hold channel " + std::to_string(c.id);
        if (it->second.sortOrder != c.sortOrder)
            return "channel " + std::to_string(c.id) + " is at " + std::to_string(it->second.sortOrder) +
                   " for the client, at " + std::to_string(c.sortOrder) + " on the server";
        if (it->second.messageCount != c.messageCount)
            return "channel " + std::to_string(c.id) + " counts " + std::to_string(it->second.messageCount) +
                   " messages for the client, " + std::to_string(c.messageCount) + " on the server";
    }
    return "";
}

// The content the view holds for `channel` against the stored text.
inline std::string contentDiffers(const ClientView& v, uint16_t channel, const std::string& stored) {
    const auto it = v.contents.find(channel);
    const nlohmann::json held = it == v.contents.end() ? nlohmann::json::object() : it->second;
    if (held == contentDocOf(stored)) return "";
    return "channel " + std::to_string(channel) + " holds " + held.dump() + " for the client, " + stored +
           " on the server";
}

}  // namespace Korrafin::Test
