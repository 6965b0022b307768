// A bot's end of a bot API connection for tests: the frames a bot sends,
// readers for the three the server sends, and a client that logs in, sends
// commands and waits for their answers. One thread uses one BotClient.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/MessageType.h"
#include "protocol/PacketBuilder.h"
#include "support/Ports.h"
#include "support/Requests.h"
#include "support/TestClient.h"
#include "support/Wire.h"

namespace Korrafin::Test {

// BotAuth: str token.
inline std::vector<uint8_t> botAuthFrame(const std::string& token) { return stringRequest(MessageType::BotAuth, token); }

// A u8, then a str: BotCommand (command id, JSON arguments) and BotEvent
// (event type, JSON text).
inline std::vector<uint8_t> byteAndString(MessageType type, uint8_t first, const std::string& text) {
    PacketBuilder b(type);
    b.writeLE(first);
    b.writeStr(text);
    return b.finalise();
}

inline std::vector<uint8_t> botCommandFrame(uint8_t commandId, const std::string& args) {
    return byteAndString(MessageType::BotCommand, commandId, args);
}

// The exact bytes of a BotEvent frame.
inline std::vector<uint8_t> botEventFrame(uint8_t type, const std::string& json) {
    return byteAndString(MessageType::BotEvent, type, json);
}

// BotAuthResult and BotCommandResult: u16 result code, str text.
struct BotReply {
    uint16_t code = 0xFFFF;
    std::string text;
    bool operator==(const BotReply&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const BotReply& r) {
    return out << "{" << r.code << ", " << r.text << "}";
}

inline BotReply botReplyOf(const Packet& p) {
    auto r = p.reader();
    BotReply out;
    out.code = r.readLE<uint16_t>();
    out.text = r.readStr();
    EXPECT_EQ(r.remaining(), 0u);
    return out;
}

struct BotEventText {
    uint8_t type = 0;
    std::string json;
    bool operator==(const BotEventText&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const BotEventText& e) {
    return out << "{" << static_cast<int>(e.type) << ", " << e.json << "}";
}

inline BotEventText botEventOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::BotEvent);
    auto r = p.reader();
    BotEventText out;
    out.type = r.readLE<uint8_t>();
    out.json = r.readStr();
    EXPECT_EQ(r.remaining(), 0u);
    return out;
}

class BotClient : public TestClient {
public:
    using TestClient::TestClient;

    // A connection to 127.0.0.1:port; null when it is refused.
    static std::unique_ptr<BotClient> dial(uint16_t port, const DialOptions& options = {}) {
        const int fd = connectLoopback(port, options);
        if (fd < 0) return nullptr;
        return std::make_unique<BotClient>(fd);
    }

    // BotAuth and its answer; nothing when none comes.
    std::optional<BotReply> auth(const std::string& token) {
        send(botAuthFrame(token));
        auto p = waitFor(MessageType::BotAuthResult);
        if (!p) return std::nullopt;
        return botReplyOf(*p);
    }

    bool login(const std::string& token) {
        const auto r = auth(token);
        return r && r->code == 0;
    }

    // A command and its answer; the events that came first stay in `seen`.
    std::optional<BotReply> command(uint8_t commandId, const std::string& args = "{}",
                                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        send(botCommandFrame(commandId, args));
        auto p = waitFor(MessageType::BotCommandResult, timeout);
        if (!p) return std::nullopt;
        return botReplyOf(*p);
    }

    // The next event; nothing when none comes in time.
    std::optional<BotEventText> nextEvent(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        auto p = waitFor(MessageType::BotEvent, timeout);
        if (!p) return std::nullopt;
        return botEventOf(*p);
    }
};

}  // namespace Korrafin::Test
