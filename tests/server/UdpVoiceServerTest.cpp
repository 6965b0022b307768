// The voice relay over real UDP sockets on loopback: who may send, who
// receives, what is learned and forgotten, injection, and stopping.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "protocol/ClientSession.h"
#include "server/UdpVoiceServer.h"
#include "support/SessionHarness.h"
#include "support/Time.h"
#include "support/UdpPeer.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
using kt::le16;
using kt::le32;
using namespace std::chrono_literals;

constexpr uint16_t kVs = 7;
constexpr uint16_t kRoom = 2;
constexpr unsigned kRelayThreads = 4;

uint32_t ipOf(const char* text) {
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return ntohl(a.s_addr);
}

class UdpVoiceServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualServer::VSConfig cfg;
        cfg.id = kVs;
        vs = std::make_shared<VirtualServer>(cfg);
        ChannelInfo room;
        room.id = kRoom;
        room.name = "Room";
        vs->channelManager.createChannel(room);

        a = member(11, kRoom);
        b = member(12, kRoom);
        c = member(13, ChannelManager::kLobbyId);

        // Several relay threads whatever the machine: every rule must hold
        // across them.
        ASSERT_TRUE(relay.start(0, kRelayThreads));
        ASSERT_EQ(relay.threadCount(), kRelayThreads);
        relay.registerVServer(kVs, vs);
    }

    void TearDown() override { relay.stop(); }

    // A session admitted to the virtual server and moved into `channel`.
    std::unique_ptr<kt::SessionHarness> member(uint32_t id, uint16_t channel, const char* address = "127.0.0.1") {
        auto h = std::make_unique<kt::SessionHarness>(id, kt::SessionHarness::Transport::Unix, address);
        EXPECT_TRUE(vs->acceptSession(h->session));
        EXPECT_TRUE(vs->moveUserToChannel(id, channel, ""));
        return h;
    }

    // Sends a datagram from `peer` and gives the relay time to handle it.
    void say(kt::UdpPeer& peer, uint32_t sender, uint16_t channel, uint32_t seq = 0,
             std::vector<uint8_t> payload = {1, 2, 3}) {
        peer.sendTo(relay.localPort(), kt::voiceDatagram(sender, kVs, channel, seq, payload));
    }

    bool learned(uint32_t id, const kt::UdpPeer& peer) {
        // Learning happens on the relay's thread.
        return kt::eventually([&] {
            const auto e = relay.endpointOf(id);
            return e && e->port == peer.port();
        });
    }

    // Every member speaks once, so the relay learns where each listens; what
    // that relayed in the room is read away (the lobby member was alone).
    void introduceAll() {
        say(pa, 11, kRoom);
        say(pb, 12, kRoom);
        say(pc, 13, ChannelManager::kLobbyId);
        ASSERT_TRUE(learned(11, pa) && learned(12, pb) && learned(13, pc));
        pa.drain(50ms);
        pb.drain(50ms);
    }

    std::shared_ptr<VirtualServer> vs;
    std::unique_ptr<kt::SessionHarness> a, b, c;
    UdpVoiceServer relay;
    kt::UdpPeer pa, pb, pc;
};

TEST_F(UdpVoiceServerTest, ADatagramReachesTheOtherMembersOfItsChannelUnchanged) {
    ASSERT_NO_FATAL_FAILURE(introduceAll());
    pc.drain(50ms);

    // Bytes after the declared payload travel too.
    auto datagram = kt::voiceDatagram(11, kVs, kRoom, 77, {9, 8, 7, 6}, 5, 2);
    pa.sendTo(relay.localPort(), datagram);
    const auto got = pb.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, datagram);
    EXPECT_TRUE(pa.drain().empty()) << "the sender hears itself";
    EXPECT_TRUE(pc.drain().empty()) << "another channel hears it";

    // A header with no payload is relayed as 20 bytes.
    auto bare = kt::voiceDatagram(12, kVs, kRoom, 1, {});
    pb.sendTo(relay.localPort(), bare);
    const auto got2 = pa.receive();
    ASSERT_TRUE(got2);
    EXPECT_EQ(got2->size(), 20u);
}

TEST_F(UdpVoiceServerTest, AMemberThatNeverSentReceivesNothing) {
    say(pa, 11, kRoom);
    ASSERT_TRUE(learned(11, pa));
    say(pa, 11, kRoom, 1);
    EXPECT_TRUE(pb.drain().empty());
}

TEST_F(UdpVoiceServerTest, DispatchRelaysAndLearnsOnlyForALiveMemberFromItsOwnAddress) {
    VirtualServer::VSConfig otherCfg;
    otherCfg.id = 8;
    auto other = std::make_shared<VirtualServer>(otherCfg);
    kt::SessionHarness elsewhere(20, kt::SessionHarness::Transport::Unix, "127.0.0.1");
    ASSERT_TRUE(other->acceptSession(elsewhere.session));
    ASSERT_TRUE(other->moveUserToChannel(20, ChannelManager::kLobbyId, ""));
    relay.registerVServer(8, other);
    auto closed = member(14, kRoom);
    closed->session->disconnect("gone");
    auto remote = member(15, kRoom, "10.1.2.3");

    const uint32_t loop = ipOf("127.0.0.1");
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        uint32_t ip;
        bool relayed;
    };
    const std::vector<Case> cases = {
        {"shorter than the header", std::vector<uint8_t>(19, 0), loop, false},
        {"payload longer than the datagram", kt::voiceDatagram(11, kVs, kRoom, 0, {1, 2}, 1, 3), loop, false},
        {"unregistered virtual server", kt::voiceDatagram(11, 99, kRoom, 0, {1}), loop, false},
        {"sender is no session", kt::voiceDatagram(4242, kVs, kRoom, 0, {1}), loop, false},
        {"sender id 0", kt::voiceDatagram(0, kVs, kRoom, 0, {1}), loop, false},
        {"the injection sender id", kt::voiceDatagram(UdpVoiceServer::kInjectSenderId, kVs, kRoom, 0, {1}), loop, false},
        {"session of another virtual server", kt::voiceDatagram(20, kVs, ChannelManager::kLobbyId, 0, {1}), loop, false},
        {"sender not in the named channel", kt::voiceDatagram(13, kVs, kRoom, 0, {1}), loop, false},
        {"closed session", kt::voiceDatagram(14, kVs, kRoom, 0, {1}), loop, false},
        {"not from the session's address", kt::voiceDatagram(11, kVs, kRoom, 0, {1}), ipOf("127.0.0.2"), false},
        {"session on another host, datagram from here", kt::voiceDatagram(15, kVs, kRoom, 0, {1}), loop, false},
        {"session on another host, from its address", kt::voiceDatagram(15, kVs, kRoom, 0, {1}), ipOf("10.1.2.3"),
         true},
        {"live member from its own address", kt::voiceDatagram(11, kVs, kRoom, 0, {1}), loop, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t sender = c.bytes.size() >= 4 ? le32(c.bytes, 0) : 0;
        if (sender) relay.forgetClient(sender);
        EXPECT_EQ(relay.dispatch(c.bytes.data(), c.bytes.size(), c.ip, 40000), c.relayed);
        EXPECT_EQ(relay.endpointOf(sender).has_value(), c.relayed);
    }
}

TEST_F(UdpVoiceServerTest, AReceiverThatMovesToANewPortIsFollowed) {
    kt::UdpPeer pb2;
    say(pa, 11, kRoom);
    say(pb, 12, kRoom);
    ASSERT_TRUE(learned(11, pa) && learned(12, pb));
    say(pb2, 12, kRoom);
    ASSERT_TRUE(learned(12, pb2));
    // Relay threads take the first datagrams in any order: pb may have heard a.
    pa.drain(50ms);
    pb.drain(50ms);

    say(pa, 11, kRoom, 5);
    EXPECT_TRUE(pb2.receive());
    EXPECT_TRUE(pb.drain().empty());
}

TEST_F(UdpVoiceServerTest, AForgottenClientReceivesNothingMore) {
    say(pa, 11, kRoom);
    say(pb, 12, kRoom);
    ASSERT_TRUE(learned(11, pa) && learned(12, pb));
    pa.drain(50ms);
    pb.drain(50ms);  // a's first datagram, if b was learned before it was relayed
    relay.forgetClient(12);
    EXPECT_FALSE(relay.endpointOf(12));
    say(pa, 11, kRoom, 1);
    EXPECT_TRUE(pb.drain().empty());
}

TEST_F(UdpVoiceServerTest, BadDatagramsDoNotStopTheRelay) {
    say(pb, 12, kRoom);
    ASSERT_TRUE(learned(12, pb));
    pa.sendTo(relay.localPort(), {});
    pa.sendTo(relay.localPort(), std::vector<uint8_t>(19, 0xFF));
    pa.sendTo(relay.localPort(), kt::voiceDatagram(11, kVs, kRoom, 0, {1}, 1, 500));
    pa.sendTo(relay.localPort(), std::vector<uint8_t>(4000, 0x11));  // cut to 2048 bytes, then judged
    say(pa, 11, kRoom, 9);
    const auto got = pb.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(le32(*got, 8), 9u);
}

TEST_F(UdpVoiceServerTest, EmptyChannelsAndUnknownServersProduceNothing) {
    say(pa, 11, kRoom);
    say(pb, 12, kRoom);
    ASSERT_TRUE(learned(11, pa) && learned(12, pb));
    pb.drain(50ms);
    pa.sendTo(relay.localPort(), kt::voiceDatagram(11, 99, kRoom, 0, {1}));
    relay.unregisterVServer(kVs);
    say(pa, 11, kRoom, 3);
    EXPECT_TRUE(pb.drain().empty());
}

TEST_F(UdpVoiceServerTest, InjectedAudioReachesEveryKnownMember) {
    ASSERT_NO_FATAL_FAILURE(introduceAll());

    std::vector<int16_t> samples(960);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 31 - 5000);
    relay.injectPcm(kVs, kRoom, samples.data(), 960);
    relay.injectPcm(kVs, kRoom, samples.data(), 2);
    std::vector<std::vector<uint8_t>> got;
    for (auto* peer : {&pa, &pb}) {
        auto first = peer->receive();
        auto second = peer->receive();
        ASSERT_TRUE(first && second);
        got.push_back(*first);
        EXPECT_EQ(le32(*second, 8), le32(*first, 8) + 1) << "consecutive injections take consecutive numbers";
    }
    const auto& d = got[0];
    ASSERT_EQ(d.size(), 1940u);
    EXPECT_EQ(le32(d, 0), UdpVoiceServer::kInjectSenderId);
    EXPECT_EQ(le16(d, 4), kVs);
    EXPECT_EQ(le16(d, 6), kRoom);
    EXPECT_EQ(le32(d, 12), 0u);
    EXPECT_EQ(le16(d, 16), 2);
    EXPECT_EQ(le16(d, 18), 1920);
    EXPECT_EQ(std::memcmp(d.data() + 20, samples.data(), 1920), 0);
    EXPECT_EQ(got[1], got[0]);
    EXPECT_TRUE(pc.drain().empty());
}

TEST_F(UdpVoiceServerTest, InjectionRefusesWhatCannotBeOneFrameAndTakesNoNumberForIt) {
    say(pa, 11, kRoom);
    ASSERT_TRUE(learned(11, pa));
    std::vector<int16_t> big(40000);
    relay.injectPcm(kVs, kRoom, big.data(), 1);
    const auto first = pa.receive();
    ASSERT_TRUE(first);

    relay.injectPcm(kVs, kRoom, nullptr, 10);
    relay.injectPcm(kVs, kRoom, big.data(), 0);
    relay.injectPcm(kVs, kRoom, big.data(), -4);
    relay.injectPcm(kVs, kRoom, big.data(), 32768);    // 65536 bytes: one too many for the length field
    relay.injectPcm(kVs, kRoom, big.data(), INT_MAX);  // the byte count must not wrap to something small
    relay.injectPcm(kVs, 99, big.data(), 1);            // empty channel
    EXPECT_TRUE(pa.drain(100ms).empty());

    relay.injectPcm(kVs, kRoom, big.data(), 1);
    const auto next = pa.receive();
    ASSERT_TRUE(next);
    EXPECT_EQ(le32(*next, 8), le32(*first, 8) + 1);
}

TEST(UdpVoiceServerLifecycle, StopWakesTheReceiverAndIsIdempotent) {
    UdpVoiceServer never;
    never.stop();  // never started: nothing to do

    UdpVoiceServer relay;
    ASSERT_TRUE(relay.start(0));
    EXPECT_FALSE(relay.start(0)) << "started once per process";
    std::this_thread::sleep_for(20ms);  // let the receiver block in its call
    const auto t0 = std::chrono::steady_clock::now();
    relay.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kt::kPromptly);
    EXPECT_FALSE(relay.isRunning());
    relay.stop();
}

TEST(UdpVoiceServerLifecycle, ATakenPortFailsTheStart) {
    UdpVoiceServer first;
    ASSERT_TRUE(first.start(0));
    UdpVoiceServer second;
    EXPECT_FALSE(second.start(first.localPort()));
}

}  // namespace
}  // namespace Korrafin
