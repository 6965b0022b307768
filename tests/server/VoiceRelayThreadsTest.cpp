// The voice relay with several relay threads and talkers in several channels
// at once: every datagram reaches every other member of its own channel
// exactly once, nobody else, and in the order its sender sent it; a join, a
// leave or a disconnect holds for the very next datagram whichever relay
// thread carries it.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
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
using kt::le32;
using namespace std::chrono_literals;

constexpr uint16_t kVs = 3;
constexpr unsigned kRelayThreads = 4;
constexpr int kChannels = 4;
constexpr int kPerChannel = 4;
constexpr uint32_t kFirstId = 100;


// A payload that names its sender and number, so a copy that arrives
// altered or at the wrong member shows.
std::vector<uint8_t> payloadOf(uint32_t sender, uint32_t seq) {
    std::vector<uint8_t> p(24);
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(sender * 31 + seq * 7 + i);
    return p;
}

struct Talker {
    uint32_t id = 0;
    uint16_t channel = 0;
    std::unique_ptr<kt::SessionHarness> harness;
    std::unique_ptr<kt::UdpPeer> peer;
};

class VoiceRelayThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualServer::VSConfig cfg;
        cfg.id = kVs;
        vs = std::make_shared<VirtualServer>(cfg);
        for (int c = 0; c < kChannels; ++c) {
            ChannelInfo room;
            room.id = static_cast<uint16_t>(10 + c);
            room.name = "Room " + std::to_string(c);
            vs->channelManager.createChannel(room);
        }
        for (int i = 0; i < kChannels * kPerChannel; ++i) {
            auto t = std::make_unique<Talker>();
            t->id = kFirstId + static_cast<uint32_t>(i);
            t->channel = static_cast<uint16_t>(10 + i / kPerChannel);
            t->harness = std::make_unique<kt::SessionHarness>(t->id, kt::SessionHarness::Transport::Unix, "127.0.0.1");
            ASSERT_TRUE(vs->acceptSession(t->harness->session));
            ASSERT_TRUE(vs->moveUserToChannel(t->id, t->channel, ""));
            t->peer = std::make_unique<kt::UdpPeer>();
            const int bytes = 1 << 20;
            ::setsockopt(t->peer->fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
            talkers.push_back(std::move(t));
        }
        ASSERT_TRUE(relay.start(0, kRelayThreads));
        ASSERT_EQ(relay.threadCount(), kRelayThreads);
        relay.registerVServer(kVs, vs);

        // Everybody speaks once so the relay learns every address; what that
        // relayed is read away.
        for (auto& t : talkers) say(*t, 0);
        ASSERT_TRUE(kt::eventually([&] {
            for (auto& t : talkers) {
                const auto e = relay.endpointOf(t->id);
                if (!e || e->port != t->peer->port()) return false;
            }
            return true;
        }));
        for (auto& t : talkers) t->peer->drain(50ms);
    }

    void TearDown() override { relay.stop(); }

    void say(const Talker& t, uint32_t seq) { say(t, t.channel, seq); }
    void say(const Talker& t, uint16_t channel, uint32_t seq) {
        t.peer->sendTo(relay.localPort(), kt::voiceDatagram(t.id, kVs, channel, seq, payloadOf(t.id, seq)));
    }

    // What each talker received, read until every socket has been quiet for
    // `quiet` and `done` holds: by receiver, the datagrams in arrival order.
    std::map<uint32_t, std::vector<std::vector<uint8_t>>> collect(const std::atomic<bool>& done,
                                                                   std::chrono::milliseconds quiet) {
        std::map<uint32_t, std::vector<std::vector<uint8_t>>> got;
        std::vector<pollfd> fds;
        for (auto& t : talkers) fds.push_back(pollfd{t->peer->fd(), POLLIN, 0});
        std::vector<uint8_t> buf(4096);
        auto lastSeen = std::chrono::steady_clock::now();
        for (;;) {
            for (auto& p : fds) p.revents = 0;
            const int ready = ::poll(fds.data(), fds.size(), 10);
            const auto now = std::chrono::steady_clock::now();
            if (ready <= 0) {
                if (done.load() && now - lastSeen > quiet) return got;
                continue;
            }
            lastSeen = now;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN)) continue;
                for (;;) {
                    const ssize_t n = ::recv(fds[i].fd, buf.data(), buf.size(), MSG_DONTWAIT);
                    if (n < 0) break;
                    got[talkers[i]->id].emplace_back(buf.begin(), buf.begin() + n);
                }
            }
        }
    }

    std::shared_ptr<VirtualServer> vs;
    std::vector<std::unique_ptr<Talker>> talkers;
    UdpVoiceServer relay;
};

TEST_F(VoiceRelayThreadsTest, EveryDatagramReachesEachOtherMemberOfItsChannelOnceAndInOrder) {
    constexpr uint32_t kFrames = 150;
    constexpr int kSenders = 4;

    std::atomic<bool> sent{false};
    std::map<uint32_t, std::vector<std::vector<uint8_t>>> got;
    std::thread collector([&] { got = collect(sent, 300ms); });
    // Senders on several threads, each speaking for talkers of every channel,
    // so that all channels are busy at once on every relay thread.
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (uint32_t seq = 1; seq <= kFrames; ++seq) {
                for (std::size_t i = static_cast<std::size_t>(s); i < talkers.size(); i += kSenders) say(*talkers[i], seq);
                std::this_thread::sleep_for(1ms);  // a pace the receive buffers take under a sanitizer
            }
        });
    }
    for (auto& t : senders) t.join();
    sent = true;
    collector.join();

    for (const auto& r : talkers) {
        SCOPED_TRACE("receiver " + std::to_string(r->id));
        std::map<uint32_t, std::vector<uint32_t>> seqsFrom;
        for (const auto& d : got[r->id]) {
            ASSERT_GE(d.size(), 20u);
            const uint32_t sender = le32(d, 0);
            const uint32_t seq = le32(d, 8);
            EXPECT_EQ(d, kt::voiceDatagram(sender, kVs, r->channel, seq, payloadOf(sender, seq)))
                << "altered on the way, or from another channel";
            seqsFrom[sender].push_back(seq);
        }
        std::vector<uint32_t> all(kFrames);
        for (uint32_t i = 0; i < kFrames; ++i) all[i] = i + 1;
        for (const auto& s : talkers) {
            const bool hears = s->channel == r->channel && s->id != r->id;
            // Exactly 1..kFrames in sending order: a loss, a copy or a
            // reordering all show as a different list.
            EXPECT_EQ(seqsFrom[s->id], hears ? all : std::vector<uint32_t>{}) << "from sender " << s->id;
        }
    }
}

TEST_F(VoiceRelayThreadsTest, AChangeOfMembershipHoldsForTheNextDatagramOnEveryThread) {
    // The relay threads have copies of every channel once each has carried
    // traffic of it; then each change below must hold for the very next
    // datagrams, whichever thread carries them.
    Talker& leaver = *talkers[0];         // channel 10
    Talker& joiner = *talkers[kPerChannel];  // channel 11
    Talker& gone = *talkers[1];           // channel 10
    const uint16_t room = leaver.channel;

    struct Case {
        const char* what;
        std::function<void()> change;
        Talker* subject;
        bool hearsRoomAfter;
    };
    const std::vector<Case> cases = {
        {"a member leaves", [&] { ASSERT_TRUE(vs->moveUserToChannel(leaver.id, ChannelManager::kLobbyId, "")); },
         &leaver, false},
        {"a member of another channel joins", [&] { ASSERT_TRUE(vs->moveUserToChannel(joiner.id, room, "")); },
         &joiner, true},
        {"a member disconnects",
         [&] {
             // As the host ends a connection: closed, removed, forgotten.
             gone.harness->session->disconnect("");
             vs->removeSession(gone.id);
             relay.forgetClient(gone.id);
         },
         &gone, false},
    };
    uint32_t seq = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Warm every thread's copy: all rooms talk for a while.
        for (int round = 0; round < 5; ++round)
            for (auto& t : talkers) say(*t, ++seq);
        std::atomic<bool> warmed{true};
        collect(warmed, 100ms);

        c.change();
        const uint32_t mark = ++seq;
        for (auto& t : talkers)
            if (t.get() != c.subject) say(*t, room, mark);

        std::atomic<bool> sent{true};
        auto got = collect(sent, 300ms);
        int fromRoom = 0;
        for (const auto& d : got[c.subject->id])
            if (le32(d, 8) == mark && (d[6] | (d[7] << 8)) == room) ++fromRoom;
        int roomTalkers = 0;
        for (auto& t : talkers)
            if (t.get() != c.subject && vs->channelManager.channelOf(t->id) == room) ++roomTalkers;
        EXPECT_EQ(fromRoom, c.hearsRoomAfter ? roomTalkers : 0);

        // Whoever left can no longer speak into the room either.
        if (!c.hearsRoomAfter) {
            say(*c.subject, room, ++seq);
            for (const auto& [receiver, datagrams] : collect(sent, 100ms))
                for (const auto& d : datagrams) EXPECT_NE(le32(d, 0), c.subject->id) << "heard by " << receiver;
        }
    }
}

}  // namespace
}  // namespace Korrafin
