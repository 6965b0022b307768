// Client-side steps of the protocol for tests that drive sessions through
// their sockets: request packets, a connected session read by its own thread
// (removed from its virtual server when the connection ends, as the host
// does), Hello, and a barrier that tells when a session's reader thread has
// handled everything sent before it.
//
// The barrier is a ChannelJoin to channel kBarrierChannel, which no test
// creates: an authenticated session answers it with ChannelJoinResult
// {4, kBarrierChannel} and nothing else. Packets a reader thread sends to
// other sessions are in their sockets before that answer is.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/SessionHarness.h"
#include "support/TestClient.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {

constexpr uint16_t kBarrierChannel = 0xFFFF;

inline std::vector<uint8_t> helloRequest() { return packet(MessageType::Hello); }

inline std::vector<uint8_t> authRequest(const std::string& nickname, const std::string& serverKey = "",
                                        const std::string& identity = "",
                                        std::optional<std::string> extra1 = std::nullopt,
                                        std::optional<std::string> extra2 = std::nullopt) {
    PacketBuilder b(MessageType::AuthRequest);
    b.writeStr(nickname);
    b.writeStr(serverKey);
    b.writeStr(identity);
    if (extra1) b.writeStr(*extra1);
    if (extra2) b.writeStr(*extra2);
    return b.finalise();
}

// A request whose payload is two strings (UserRegister, UserLogin).
inline std::vector<uint8_t> twoStrings(MessageType type, const std::string& a, const std::string& b) {
    PacketBuilder p(type);
    p.writeStr(a);
    p.writeStr(b);
    return p.finalise();
}

inline std::vector<uint8_t> oneString(MessageType type, const std::string& s) {
    PacketBuilder p(type);
    p.writeStr(s);
    return p.finalise();
}

inline std::vector<uint8_t> channelJoinRequest(uint16_t channel, const std::string& password = "") {
    PacketBuilder b(MessageType::ChannelJoin);
    b.writeLE(channel);
    b.writeStr(password);
    return b.finalise();
}

inline bool isBarrierAnswer(const Packet& p) {
    if (p.type != MessageType::ChannelJoinResult || p.payload.size() != 4) return false;
    auto r = p.reader();
    return r.readLE<uint16_t>() == 4 && r.readLE<uint16_t>() == kBarrierChannel;
}

// Sends the barrier and returns every packet that arrived before its answer.
inline std::vector<Packet> untilBarrier(TestClient& client) {
    client.send(channelJoinRequest(kBarrierChannel));
    std::vector<Packet> out;
    for (;;) {
        auto p = client.next();
        if (!p) {
            ADD_FAILURE() << "the barrier was not answered";
            return out;
        }
        if (isBarrierAnswer(*p)) return out;
        out.push_back(std::move(*p));
    }
}

// Sends `request`, then the barrier; the packets in between.
inline std::vector<Packet> roundTrip(TestClient& client, const std::vector<uint8_t>& request) {
    client.send(request);
    return untilBarrier(client);
}

// Everything a session's client got before a marker that the server sends
// now (from the calling thread). Call it once the reader thread that sent
// the packets of interest has passed a barrier.
inline std::vector<Packet> receivedSoFar(SessionHarness& h) {
    PacketBuilder b(MessageType::ServerSettings);
    b.writeStr("marker");
    h.session->send(b.finalise());
    std::vector<Packet> out;
    for (;;) {
        auto p = h.client.next();
        if (!p) {
            ADD_FAILURE() << "the marker never arrived for client " << h.clientId;
            return out;
        }
        if (p->type == MessageType::ServerSettings && p->payload.size() == 8) {
            auto r = p->reader();
            if (r.readStr() == "marker") return out;
        }
        out.push_back(std::move(*p));
    }
}

// A session admitted to `vs` (when given) whose reader thread runs and which
// leaves the virtual server when its connection ends.
inline std::unique_ptr<SessionHarness> connectTo(const std::shared_ptr<VirtualServer>& vs, uint32_t clientId,
                                                 const std::string& address = "127.0.0.1",
                                                 SessionHarness::Transport transport = SessionHarness::Transport::Tcp) {
    auto h = std::make_unique<SessionHarness>(clientId, transport, address);
    if (vs) {
        EXPECT_TRUE(vs->acceptSession(h->session));
        std::weak_ptr<VirtualServer> weak = vs;
        h->start([weak](uint32_t id) {
            if (auto v = weak.lock()) v->removeSession(id);
        });
    } else {
        h->start();
    }
    return h;
}

// Hello and its HelloAck: the session then awaits its AuthRequest.
inline void sayHello(SessionHarness& h) {
    h.client.send(helloRequest());
    auto ack = h.client.next();
    ASSERT_TRUE(ack) << "no HelloAck";
    ASSERT_EQ(ack->type, MessageType::HelloAck);
}

struct AuthResult {
    uint16_t result = 0xFFFF;
    uint32_t clientId = 0;
    uint8_t role = 0xFF;
};

inline AuthResult authResultOf(const Packet& p) {
    EXPECT_EQ(p.type, MessageType::AuthResponse);
    auto r = p.reader();
    AuthResult a;
    a.result = r.readLE<uint16_t>();
    a.clientId = r.readLE<uint32_t>();
    a.role = r.readLE<uint8_t>();
    EXPECT_EQ(r.remaining(), 0u);
    return a;
}

// Hello, AuthRequest and the whole reply sequence (up to the barrier).
// Fails the test unless the login is accepted.
inline std::vector<Packet> logIn(SessionHarness& h, const std::string& nickname, const std::string& serverKey = "",
                                 const std::string& identity = "") {
    sayHello(h);
    auto got = roundTrip(h.client, authRequest(nickname, serverKey, identity));
    EXPECT_FALSE(got.empty());
    if (!got.empty()) {
        EXPECT_EQ(authResultOf(got.front()).result, 0) << nickname;
    }
    return got;
}

}  // namespace Korrafin::Test
