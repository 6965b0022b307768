// A client that speaks the protocol's everyday requests to a running server:
// Hello, login, channel joins and chat, with the replies parsed. For tests
// that talk to the real binary; one thread uses one ProtocolClient.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/PacketBuilder.h"
#include "support/Ports.h"
#include "support/TestClient.h"

namespace Korrafin::Test {

struct ChatLine {
    uint32_t senderId = 0;
    uint16_t channelId = 0;
    std::string nickname;
    std::string text;
    uint64_t messageId = 0;
};

inline ChatLine chatOf(const Packet& p) {
    auto r = p.reader();
    ChatLine c;
    c.senderId = r.readLE<uint32_t>();
    c.channelId = r.readLE<uint16_t>();
    c.nickname = r.readStr();
    c.text = r.readStr();
    c.messageId = r.readLE<uint64_t>();
    return c;
}

// ChannelMessageCount: channel id and count.
inline std::pair<uint16_t, uint32_t> messageCountOf(const Packet& p) {
    auto r = p.reader();
    const uint16_t channel = r.readLE<uint16_t>();
    return {channel, r.readLE<uint32_t>()};
}

class ProtocolClient {
public:
    // Connected to 127.0.0.1:port, or !connected() when refused.
    explicit ProtocolClient(uint16_t port) {
        const int fd = connectLoopback(port);
        if (fd >= 0) tcp = std::make_unique<TestClient>(fd);
    }
    bool connected() const { return tcp != nullptr; }

    // The next packet of `type` (others are skipped but kept in `seen`).
    std::optional<Packet> waitFor(MessageType type, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                                  const std::function<bool(const Packet&)>& match = {}) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            auto p = tcp->next(left);
            if (!p) return std::nullopt;
            seen.push_back(*p);
            if (p->type == type && (!match || match(*p))) return p;
        }
    }

    // Hello; the virtual server id of the HelloAck.
    std::optional<uint16_t> hello() {
        tcp->send(packet(MessageType::Hello));
        auto ack = waitFor(MessageType::HelloAck);
        if (!ack) return std::nullopt;
        auto r = ack->reader();
        r.readLE<uint8_t>();
        vsId = r.readLE<uint16_t>();
        return vsId;
    }

    // AuthRequest, then everything up to the answer of the entry channel's
    // join. False when the login was refused or did not finish.
    bool login(const std::string& nickname, const std::string& serverKey = "", const std::string& identity = "") {
        PacketBuilder b(MessageType::AuthRequest);
        b.writeStr(nickname);
        b.writeStr(serverKey);
        b.writeStr(identity);
        tcp->send(b);
        auto response = waitFor(MessageType::AuthResponse);
        if (!response) return false;
        auto r = response->reader();
        if (r.readLE<uint16_t>() != 0) return false;
        clientId = r.readLE<uint32_t>();
        role = r.readLE<uint8_t>();
        auto joined = waitFor(MessageType::ChannelJoinResult);
        if (!joined) return false;
        auto j = joined->reader();
        j.readLE<uint16_t>();
        channel = j.readLE<uint16_t>();
        return true;
    }

    bool join(uint16_t channelId, const std::string& password = "") {
        PacketBuilder b(MessageType::ChannelJoin);
        b.writeLE(channelId);
        b.writeStr(password);
        tcp->send(b);
        auto result = waitFor(MessageType::ChannelJoinResult);
        if (!result) return false;
        auto r = result->reader();
        if (r.readLE<uint16_t>() != 0) return false;
        channel = r.readLE<uint16_t>();
        return channel == channelId;
    }

    void chat(const std::string& text) {
        PacketBuilder b(MessageType::ChatMessage);
        b.writeStr(text);
        tcp->send(b);
    }

    std::unique_ptr<TestClient> tcp;
    std::vector<Packet> seen;
    uint16_t vsId = 0;
    uint32_t clientId = 0;
    uint8_t role = 0;
    uint16_t channel = 0;
};

}  // namespace Korrafin::Test
