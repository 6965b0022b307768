// The client session over real sockets: framing, header refusals, handler
// errors, Hello, ping, sending and closing.
#include <fcntl.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/LogCapture.h"
#include "support/SessionHarness.h"
#include "support/TestClient.h"
#include "support/Time.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<uint8_t> bytes(std::size_t n, uint8_t fill = 0xAB) { return std::vector<uint8_t>(n, fill); }

class ClientSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        Logger::instance().setLevel(LogLevel::Trace);
        LogCapture::instance().clear();
    }
    void TearDown() override { Logger::instance().setLevel(LogLevel::Info); }
};

// ---------------------------------------------------------------- framing

// Three Hellos (payloads 0, 1000 and 3 bytes, never read) around a packet of
// a type nobody handles: however the stream is cut, the same three HelloAcks
// come back and the unknown type is reported once.
std::vector<uint8_t> mixedStream() {
    return concat({packet(MessageType::Hello), rawPacket(0x0099, bytes(5)),
                   packet(MessageType::Hello, bytes(1000)), packet(MessageType::Hello, bytes(3))});
}

void expectMixedStreamAnswered(TestClient& client, uint32_t clientId) {
    for (int i = 0; i < 3; ++i) {
        auto p = client.next();
        ASSERT_TRUE(p) << "HelloAck " << i;
        EXPECT_EQ(p->type, MessageType::HelloAck);
    }
    EXPECT_TRUE(client.drain(100ms).empty()) << "exactly three HelloAcks";
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Trace,
                                           "Client " + std::to_string(clientId) + ": unhandled message type 0099"),
              1u);
}

TEST_F(ClientSessionTest, FramingDispatchesTheSamePacketsHoweverTheStreamIsCut) {
    const std::vector<uint8_t> stream = mixedStream();
    struct Cut {
        const char* name;
        std::vector<std::size_t> sizes;  // chunk sizes; the last one repeats
    };
    std::mt19937 rng(12345);
    std::vector<std::size_t> randomSizes;
    for (int i = 0; i < 200; ++i) randomSizes.push_back(1 + rng() % 97);
    const std::vector<Cut> cuts = {
        {"one chunk", {stream.size()}},
        {"one byte at a time", {1}},
        {"header split from payload", {11, 1, 1000}},
        {"random pieces", randomSizes},
    };
    uint32_t id = 100;
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.name);
        LogCapture::instance().clear();
        SessionHarness h(++id, SessionHarness::Transport::Unix);
        // The test is the reader thread here, so every cut is exactly as given.
        std::size_t off = 0, i = 0;
        while (off < stream.size()) {
            const std::size_t n = std::min(cut.sizes[std::min(i++, cut.sizes.size() - 1)], stream.size() - off);
            h.session->onDataReceived(stream.data() + off, n);
            off += n;
        }
        h.session->send(markerPacket());
        for (int k = 0; k < 3; ++k) {
            auto p = h.client.next();
            ASSERT_TRUE(p);
            EXPECT_EQ(p->type, MessageType::HelloAck);
        }
        auto last = h.client.next();
        ASSERT_TRUE(last);
        EXPECT_TRUE(isMarker(*last)) << "exactly three HelloAcks";
        EXPECT_EQ(LogCapture::instance().countContaining("unhandled message type 0099"), 1u);
    }
}

TEST_F(ClientSessionTest, FramingOverTheSocketOneByteAtATimeAndInOneChunk) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{8192}}) {
        SCOPED_TRACE(chunk);
        LogCapture::instance().clear();
        const uint32_t id = chunk == 1 ? 201 : 202;
        SessionHarness h(id);
        h.start({}, chunk);
        h.client.send(mixedStream());
        expectMixedStreamAnswered(h.client, id);
    }
}

TEST_F(ClientSessionTest, APacketIsDispatchedWhenItsLastByteArrives) {
    SessionHarness h(7, SessionHarness::Transport::Unix);
    const auto hello = packet(MessageType::Hello, bytes(20));
    h.session->onDataReceived(hello.data(), hello.size() - 1);
    EXPECT_EQ(h.session->state(), SessionState::Connected);
    h.session->onDataReceived(hello.data() + hello.size() - 1, 1);
    EXPECT_EQ(h.session->state(), SessionState::AwaitingAuth);
}

// ---------------------------------------------------------------- header refusals

TEST_F(ClientSessionTest, BadHeadersAreRefusedAsSoonAsTwelveBytesAreThere) {
    struct Case {
        const char* name;
        std::vector<uint8_t> header;  // 12 bytes only: the payload never arrives
        std::string warn;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"bad magic", rawPacket(0x01, {}, 0xDEADBEEF, 1, 100), "Client 7: bad magic DEADBEEF – disconnecting",
         "Protocol error"},
        {"bad magic is zero-padded", rawPacket(0x01, {}, 0x00ABCDEF, 1, 0),
         "Client 7: bad magic 00ABCDEF – disconnecting", "Protocol error"},
        {"version", rawPacket(0x01, {}, PacketHeader::kMagic, 2, 10), "Client 7: version mismatch 2",
         "Version mismatch"},
        {"version 255", rawPacket(0x01, {}, PacketHeader::kMagic, 255, 10), "Client 7: version mismatch 255",
         "Version mismatch"},
        {"one byte over the limit", rawPacket(0x01, {}, PacketHeader::kMagic, 1, 0x400001),
         "Client 7: oversized packet 4194305 bytes", "Oversized packet"},
        // Before the login a frame may announce 64 KiB at most, so that
        // nobody can make the server hold megabytes without an account.
        {"a full-sized frame before the login", rawPacket(0x01, {}, PacketHeader::kMagic, 1, 0x400000),
         "Client 7: oversized packet 4194304 bytes", "Oversized packet"},
        {"one byte over the limit before the login", rawPacket(0x01, {}, PacketHeader::kMagic, 1, 65537),
         "Client 7: oversized packet 65537 bytes", "Oversized packet"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture::instance().clear();
        SessionHarness h(7);
        h.start();
        // A valid Hello right behind the bad header must not be dispatched.
        h.client.send(concat({c.header, packet(MessageType::Hello)}));
        EXPECT_TRUE(h.client.waitClosed()) << "the refusal closes the connection";
        EXPECT_TRUE(h.client.drain(50ms).empty()) << "nothing is sent";
        h.join();
        EXPECT_EQ(h.session->state(), SessionState::Closed);
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, c.warn), 1u);
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client 7: " + c.reason), 1u);
    }
}

TEST_F(ClientSessionTest, ShortAndMaximalHeadersWait) {
    SessionHarness h(7, SessionHarness::Transport::Unix);
    // Eleven bytes of garbage are not yet a header.
    const auto junk = bytes(11, 0xFF);
    h.session->onDataReceived(junk.data(), junk.size());
    EXPECT_EQ(h.session->state(), SessionState::Connected);

    // Before the login: 64 KiB exactly is accepted and answered.
    SessionHarness fresh(9, SessionHarness::Transport::Unix);
    const auto atPreLoginLimit = packet(MessageType::Hello, bytes(ClientSession::kPreAuthMaxPayload));
    fresh.session->onDataReceived(atPreLoginLimit.data(), atPreLoginLimit.size());
    auto first = fresh.client.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->type, MessageType::HelloAck);

    // Logged in: the full limit.
    SessionHarness h2(8, SessionHarness::Transport::Unix);
    ASSERT_TRUE(h2.session->changeState(SessionState::Connected, SessionState::Authenticated));
    const auto maxHeader = rawPacket(0x01, {}, PacketHeader::kMagic, 1, PacketHeader::kMaxPayload);
    h2.session->onDataReceived(maxHeader.data(), maxHeader.size());
    EXPECT_FALSE(h2.session->isClosed()) << "exactly the limit is accepted";
    // Its payload completes it: a 4 MiB Hello is answered.
    const auto payload = bytes(PacketHeader::kMaxPayload);
    h2.session->onDataReceived(payload.data(), payload.size());
    auto ack = h2.client.next();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->type, MessageType::HelloAck);
    EXPECT_EQ(LogCapture::instance().countContaining("Disconnecting"), 0u);
}

// ---------------------------------------------------------------- handler errors

TEST_F(ClientSessionTest, AHandlerThatReadsTooFarIsLoggedAndTheNextPacketRuns) {
    struct Case {
        const char* name;
        bool withVServer;
        std::vector<uint8_t> shortPacket;
    };
    const std::vector<Case> cases = {
        // Read before the virtual server is looked at: one byte is too short for its channel id.
        {"channel join", false, packet(MessageType::ChannelJoin, {0x05})},
        // A role change needs a u32 target and a u8 role.
        {"role change", true, packet(MessageType::SetUserRole, {1, 0, 0, 0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture::instance().clear();
        auto vs = std::make_shared<VirtualServer>(VirtualServer::VSConfig{});
        SessionHarness h(7);
        if (c.withVServer) {
            ASSERT_TRUE(vs->acceptSession(h.session));
        }
        ASSERT_TRUE(h.session->changeState(SessionState::Connected, SessionState::Authenticated));
        h.start();
        h.client.send(concat({c.shortPacket, packet(MessageType::Hello)}));
        auto p = h.client.next();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->type, MessageType::HelloAck);
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn,
                                               "Client 7: packet processing error: PacketReader: buffer underflow"),
                  1u);
        EXPECT_FALSE(h.session->isClosed());
    }
}

// ---------------------------------------------------------------- hello

TEST_F(ClientSessionTest, HelloWithoutAVirtualServer) {
    SessionHarness h(7);
    h.start();
    h.client.send(packet(MessageType::Hello));
    auto p = h.client.next();
    ASSERT_TRUE(p);
    ASSERT_EQ(p->type, MessageType::HelloAck);
    const HelloAck a = helloAckOf(*p);
    EXPECT_EQ(a.ok, 1);
    EXPECT_EQ(a.vsId, 0);
    EXPECT_EQ(a.name, "Korrafin");
    EXPECT_EQ(a.maxSlots, 32u);
    EXPECT_EQ(a.users, 0u);
    // The state changes on the reader thread, after the answer is out (and
    // the end of the connection closes it, so it is watched while open).
    EXPECT_TRUE(eventually([&] { return h.session->state() == SessionState::AwaitingAuth; }));
}

TEST_F(ClientSessionTest, HelloWithAVirtualServerCountsEverySession) {
    VirtualServer::VSConfig cfg;
    cfg.id = 9;
    cfg.name = "Ninth";
    cfg.maxSlots = 5;
    auto vs = std::make_shared<VirtualServer>(cfg);
    SessionHarness other(6);
    ASSERT_TRUE(vs->acceptSession(other.session));  // never says Hello, still counts
    SessionHarness h(7);
    ASSERT_TRUE(vs->acceptSession(h.session));
    h.start();
    h.client.send(packet(MessageType::Hello));
    auto p = h.client.next();
    ASSERT_TRUE(p);
    const HelloAck a = helloAckOf(*p);
    EXPECT_EQ(a.vsId, 9);
    EXPECT_EQ(a.name, "Ninth");
    EXPECT_EQ(a.maxSlots, 5u);
    EXPECT_EQ(a.users, 2u);
}

TEST_F(ClientSessionTest, HelloSendsTheBitsOfANegativeSlotLimit) {
    VirtualServer::VSConfig cfg;
    cfg.maxSlots = 3;
    auto vs = std::make_shared<VirtualServer>(cfg);
    SessionHarness h(7, SessionHarness::Transport::Unix);
    ASSERT_TRUE(vs->acceptSession(h.session));
    cfg.maxSlots = -1;
    vs->setConfig(cfg);
    const auto hello = packet(MessageType::Hello);
    h.session->onDataReceived(hello.data(), hello.size());
    auto p = h.client.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(helloAckOf(*p).maxSlots, 0xFFFFFFFFu);
}

TEST_F(ClientSessionTest, ASecondHelloReturnsAnAuthenticatedSessionToAwaitingAuth) {
    SessionHarness h(7, SessionHarness::Transport::Unix);
    ASSERT_TRUE(h.session->changeState(SessionState::Connected, SessionState::Authenticated));
    h.session->updateInfo([](UserInfo& u) {
        u.nickname = "ann";
        u.channelId = 4;
        u.role = UserRole::Admin;
    });
    const auto hello = packet(MessageType::Hello);
    h.session->onDataReceived(hello.data(), hello.size());
    EXPECT_EQ(h.session->state(), SessionState::AwaitingAuth);
    const UserInfo info = h.session->info();
    EXPECT_EQ(info.nickname, "ann");
    EXPECT_EQ(info.channelId, 4);
    EXPECT_EQ(info.role, UserRole::Admin);
    ASSERT_TRUE(h.client.next());
}

// ---------------------------------------------------------------- closing

TEST_F(ClientSessionTest, DisconnectClosesOnceLogsOnceAndWakesTheReader) {
    SessionHarness h(7);
    std::atomic<int> ended{0};
    h.start([&](uint32_t) { ended.fetch_add(1); });
    h.session->disconnect("bye");
    h.session->disconnect("again");
    h.session->disconnect("");
    EXPECT_TRUE(h.client.waitClosed()) << "the peer sees the connection end";
    h.join();  // the reader was blocked in recv and has been woken
    EXPECT_EQ(ended.load(), 1);
    EXPECT_EQ(h.session->state(), SessionState::Closed);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client 7: bye"), 1u);
    EXPECT_EQ(LogCapture::instance().countContaining("Disconnecting client 7"), 1u);
}

TEST_F(ClientSessionTest, AnEmptyReasonIsNotLogged) {
    SessionHarness h(7, SessionHarness::Transport::Unix);
    h.session->disconnect("");
    EXPECT_TRUE(h.session->isClosed());
    EXPECT_EQ(LogCapture::instance().countContaining("Disconnecting client 7"), 0u);
}

TEST_F(ClientSessionTest, NothingIsSentOrDispatchedAfterDisconnect) {
    SessionHarness h(7, SessionHarness::Transport::Unix);
    h.session->disconnect("kicked");
    h.session->send(markerPacket());
    const auto hello = packet(MessageType::Hello);
    h.session->onDataReceived(hello.data(), hello.size());
    EXPECT_EQ(h.session->state(), SessionState::Closed) << "closed is final";
    EXPECT_FALSE(h.session->changeState(SessionState::Closed, SessionState::Connected));
    EXPECT_TRUE(h.client.waitClosed());
    EXPECT_TRUE(h.client.drain(50ms).empty());
}

TEST_F(ClientSessionTest, TheDescriptorStaysOpenUntilTheLastReferenceGoes) {
    SessionHarness h(7, SessionHarness::Transport::Unix);
    const int fd = h.session->fd();
    h.session->disconnect("bye");
    // While the session lives its number cannot be handed to a new socket.
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
    const SocketPair fresh = unixPair();
    EXPECT_NE(fresh.server, fd);
    EXPECT_NE(fresh.client, fd);
    ::close(fresh.server);
    ::close(fresh.client);
    h.session.reset();
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "closed by the destructor";
}

TEST_F(ClientSessionTest, DisconnectDoesNotDisturbAnotherSessionsSocket) {
    // After one session is gone, a new session may get its number; the old
    // session's late send must not reach the new one.
    auto h1 = std::make_unique<SessionHarness>(7, SessionHarness::Transport::Unix);
    auto old = h1->session;
    old->disconnect("bye");
    SessionHarness h2(8, SessionHarness::Transport::Unix);
    old->send(markerPacket());
    old.reset();
    h1.reset();
    h2.session->send(packet(MessageType::Ping, {0, 0, 0, 0}));
    auto p = h2.client.next();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, MessageType::Ping);
    EXPECT_FALSE(h2.client.next(50ms));
}

// ---------------------------------------------------------------- sending

// A session read by its reader thread, as the host reads it, whose client
// reads nothing at all, with small socket buffers on both ends.
struct DeafClient {
    DeafClient() {
        const int small = 4096;
        ::setsockopt(h.session->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::setsockopt(h.client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const timeval readLimit{20, 0};  // a failing test must not hang on a read
        ::setsockopt(h.client.fd(), SOL_SOCKET, SO_RCVTIMEO, &readLimit, sizeof readLimit);
        h.start();
    }
    // Everything the client can still read: what got through, then the end.
    std::vector<uint8_t> readRest() {
        std::vector<uint8_t> got;
        uint8_t buf[65536];
        for (;;) {
            const ssize_t n = ::recv(h.client.fd(), buf, sizeof buf, 0);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    SessionHarness h{7, SessionHarness::Transport::Unix};
};

std::vector<uint8_t> fullSizedPacket() {
    PacketBuilder big(MessageType::ChatMessage);
    big.payload.assign(PacketHeader::kMaxPayload, 0x5A);
    return big.finalise();
}

TEST_F(ClientSessionTest, AClientThatStopsReadingIsDisconnectedAfterTheStallTimeAndGetsNoFurtherPacket) {
    DeafClient deaf;
    const auto first = fullSizedPacket();
    const auto t0 = std::chrono::steady_clock::now();
    deaf.h.session->send(first);
    deaf.h.session->send(markerPacket());
    // A send that waited would end only with the stall; the bound allows for
    // slow copies on a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, ClientSession::kStallTimeout / 2)
        << "a send never waits for the peer";
    EXPECT_FALSE(deaf.h.session->isClosed());

    ASSERT_TRUE(eventually([&] { return deaf.h.readerDone(); }, ClientSession::kStallTimeout + 10s));
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, ClientSession::kStallTimeout - 1s);
    EXPECT_TRUE(deaf.h.session->isClosed());
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client 7: Send timed out"), 1u);

    // Everything the peer can read is a prefix of the first packet, then the end.
    const auto got = deaf.readRest();
    EXPECT_LT(got.size(), first.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), first.begin()));
}

TEST_F(ClientSessionTest, AClientWhoseQueueWouldPassItsBoundIsDisconnectedAtOnce) {
    DeafClient deaf;
    const auto big = fullSizedPacket();
    const auto t0 = std::chrono::steady_clock::now();
    // Two fit (the bound is a few MiB beyond the largest packet); the third does not.
    for (int i = 0; i < 3; ++i) deaf.h.session->send(big);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, ClientSession::kStallTimeout / 2) << "not by the stall";
    EXPECT_TRUE(deaf.h.session->isClosed());
    // The woken reader may win the close and write the line a moment later.
    EXPECT_TRUE(eventually([&] { return deaf.h.readerDone(); }, 5s)) << "the reader is woken";
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client 7: Send buffer full"), 1u);
    const auto got = deaf.readRest();
    EXPECT_LT(got.size(), 2 * big.size());
}

// A session whose client has not read a large packet yet is sent whole-state
// snapshots and other packets; once all are queued the client reads, and
// gets exactly `expect`: an unsent older snapshot of a kind shows the newer
// one in its own place, and nothing more of the kind follows.
TEST_F(ClientSessionTest, AnUnsentSnapshotShowsTheNewestOfItsKindInItsPlace) {
    // Each packet is named by a letter that fills its payload (after the
    // channel id of a content packet).
    struct Named {
        char name;
        MessageType type;
        uint16_t channel = 0;  // ChannelContent only
    };
    auto bytesOf = [](const Named& n) {
        std::vector<uint8_t> payload;
        if (n.type == MessageType::ChannelContent) payload = {static_cast<uint8_t>(n.channel), 0};
        payload.resize(payload.size() + 50 + static_cast<std::size_t>(n.name), static_cast<uint8_t>(n.name));
        return packet(n.type, payload);
    };
    const Named listA{'a', MessageType::ChannelList}, listB{'b', MessageType::ChannelList};
    const Named join{'j', MessageType::UserJoinedChannel}, chat{'c', MessageType::ChatMessage};
    const Named settingsS{'s', MessageType::ServerSettings}, settingsT{'t', MessageType::ServerSettings};
    const Named content5p{'p', MessageType::ChannelContent, 5}, content5q{'q', MessageType::ChannelContent, 5};
    const Named content6r{'r', MessageType::ChannelContent, 6};
    const Named usersU{'u', MessageType::UserList}, usersV{'v', MessageType::UserList};

    enum class Via { Send, Enqueue };  // enqueue: as one change's packets under the move lock, then one flush
    struct Case {
        const char* what;
        Via via;
        std::vector<Named> sent;
        std::string expect;
    };
    const std::vector<Case> cases = {
        {"list, list", Via::Send, {listA, listB}, "b"},
        {"list, join, list", Via::Send, {listA, join, listB}, "bj"},
        {"list, chat, list", Via::Send, {listA, chat, listB}, "bc"},
        {"list, join, list, queued for one flush", Via::Enqueue, {listA, join, listB}, "bj"},
        {"settings, list, settings", Via::Send, {settingsS, listA, settingsT}, "ta"},
        {"content of channels 5, 6, 5", Via::Send, {content5p, content6r, content5q}, "qr"},
        {"user list, user list", Via::Send, {usersU, usersV}, "uv"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SessionHarness h{7, SessionHarness::Transport::Unix};
        const int small = 4096;
        ::setsockopt(h.session->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::setsockopt(h.client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        // Many times what the socket buffers hold: the rest waits for the client.
        PacketBuilder large(MessageType::ChatMessage);
        large.payload.assign(256 * 1024, '#');
        h.session->send(large);

        for (const Named& n : c.sent) {
            if (c.via == Via::Send) {
                h.session->send(bytesOf(n));
            } else {
                h.session->enqueue(OutboundQueue::share(bytesOf(n)));
            }
        }
        h.session->flush();
        h.session->send(markerPacket());
        ASSERT_FALSE(h.session->isClosed());

        std::string got;
        for (;;) {
            auto p = h.client.next();
            ASSERT_TRUE(p) << "the marker never came";
            if (isMarker(*p)) break;
            got += static_cast<char>(p->payload.back());
            if (p->payload.back() == '#') continue;
            const auto it = std::find_if(c.sent.begin(), c.sent.end(),
                                         [&](const Named& n) { return n.name == got.back(); });
            ASSERT_NE(it, c.sent.end()) << "got " << got;
            EXPECT_EQ(p->bytes(), bytesOf(*it)) << it->name << " arrived whole";
        }
        EXPECT_EQ(got, "#" + c.expect);
    }
}

TEST_F(ClientSessionTest, AWriteToAClosedPeerClosesTheSession) {
    const SocketPair pair = unixPair();
    auto session = std::make_shared<ClientSession>(pair.server, 7, "127.0.0.1");
    ::close(pair.client);
    session->send(markerPacket());
    EXPECT_TRUE(session->isClosed());
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client 7: Send failed"), 1u);
}

TEST_F(ClientSessionTest, AnOverlongOutgoingPacketIsDroppedWhole) {
    SessionHarness h(7, SessionHarness::Transport::Unix);
    h.session->send(std::vector<uint8_t>(ClientSession::kMaxPacketBytes + 1, 0));
    EXPECT_FALSE(h.session->isClosed());
    EXPECT_EQ(LogCapture::instance().countContaining("Client 7: outgoing packet of 4194317 bytes"), 1u);
    h.session->send(markerPacket());
    auto p = h.client.next();
    ASSERT_TRUE(p);
    EXPECT_TRUE(isMarker(*p));
}

TEST_F(ClientSessionTest, ConcurrentSendersNeverInterleavePackets) {
    SessionHarness h(7);
    constexpr int kThreads = 4, kPerThread = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                PacketBuilder b(MessageType::ChatMessage);
                b.writeLE<uint32_t>(static_cast<uint32_t>(t));
                b.payload.resize(4 + 3000 + 97 * t, static_cast<uint8_t>(t));
                h.session->send(b);
            }
        });
    }
    int got = 0;
    while (got < kThreads * kPerThread) {
        auto p = h.client.next();
        ASSERT_TRUE(p);
        auto r = p->reader();
        const uint32_t t = r.readLE<uint32_t>();
        ASSERT_LT(t, static_cast<uint32_t>(kThreads));
        ASSERT_EQ(p->payload.size(), 4 + 3000 + 97 * t);
        for (std::size_t i = 4; i < p->payload.size(); ++i) ASSERT_EQ(p->payload[i], t);
        ++got;
    }
    for (auto& th : threads) th.join();
}

// ---------------------------------------------------------------- repeated warnings

TEST_F(ClientSessionTest, AFloodOfMalformedPacketsLogsAFewLinesAndOneSummary) {
    auto h = std::make_unique<SessionHarness>(7, SessionHarness::Transport::Unix);
    ASSERT_TRUE(h->session->changeState(SessionState::Connected, SessionState::Authenticated));
    std::vector<uint8_t> flood;
    for (int i = 0; i < 40; ++i) {
        const auto p = packet(MessageType::ChannelJoin, {0x05});  // too short for its channel id
        flood.insert(flood.end(), p.begin(), p.end());
    }
    h->session->onDataReceived(flood.data(), flood.size());
    const std::string line = "Client 7: packet processing error: PacketReader: buffer underflow";
    const std::size_t written = LogCapture::instance().count(LogLevel::Warn, line);
    EXPECT_GE(written, 1u);
    EXPECT_LE(written, ClientSession::kWarningsPerSecond) << "a flood must not reach the log";
    h.reset();  // the connection ends: what was held back is summarised
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "Client 7: " + std::to_string(40 - written) +
                                                               " similar log lines suppressed"),
              1u);
}

// ---------------------------------------------------------------- ping

TEST_F(ClientSessionTest, PingAndPongMeasureTheRoundTrip) {
    SessionHarness h(7);
    h.start();
    // None outstanding: nothing changes. The Hello behind it tells when the
    // reader thread is past it.
    h.client.send(concat({packet(MessageType::Pong), packet(MessageType::Hello)}));
    auto ack = h.client.next();
    ASSERT_TRUE(ack);
    ASSERT_EQ(ack->type, MessageType::HelloAck);
    EXPECT_EQ(h.session->lastPingMs(), 0u);
    h.session->sendPing();
    h.session->sendPing();  // still outstanding: not sent
    auto ping = h.client.next();
    ASSERT_TRUE(ping);
    ASSERT_EQ(ping->type, MessageType::Ping);
    EXPECT_EQ(ping->reader().readLE<uint32_t>(), 0u);
    EXPECT_FALSE(h.client.next(50ms));
    EXPECT_EQ(h.session->lastPingMs(), 0u);

    std::this_thread::sleep_for(30ms);
    h.client.send(packet(MessageType::Pong, {1, 2, 3}));
    // The Pong is handled on the reader thread; wait for it to land.
    eventually([&] { return h.session->lastPingMs() != 0; });
    const uint32_t rtt = h.session->lastPingMs();
    EXPECT_GE(rtt, 30u);
    EXPECT_LT(rtt, static_cast<uint32_t>(kPatience.count()));
    EXPECT_EQ(h.session->info().pingMs, rtt);

    h.session->sendPing();
    auto again = h.client.next();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->reader().readLE<uint32_t>(), rtt) << "a new Ping carries the last round trip";
}

}  // namespace
}  // namespace Korrafin::Test
