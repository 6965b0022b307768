// The virtual server under concurrent admissions, moves, removals, broadcasts
// and stops: the slot and channel limits hold, and a user is never listed in
// two channels.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/Logger.h"
#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/Names.h"
#include "support/TestClient.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;

// A session whose peer reads and discards everything, so that broadcasts to
// it never wait.
class DrainedSession {
public:
    DrainedSession(uint32_t id, bool authenticated = true) {
        pair_ = kt::unixPair();
        session = std::make_shared<ClientSession>(pair_.server, id, "127.0.0.1");
        if (authenticated) session->changeState(SessionState::Connected, SessionState::Authenticated);
        session->setRole(UserRole::Member);
        drainer_ = std::thread([fd = pair_.client] {
            uint8_t buf[16384];
            while (::recv(fd, buf, sizeof buf, 0) > 0) {
            }
        });
    }
    ~DrainedSession() {
        ::shutdown(pair_.client, SHUT_RDWR);
        drainer_.join();
        ::close(pair_.client);
    }
    DrainedSession(const DrainedSession&) = delete;
    DrainedSession& operator=(const DrainedSession&) = delete;

    std::shared_ptr<ClientSession> session;

private:
    kt::SocketPair pair_;
    std::thread drainer_;
};

std::vector<uint8_t> chatPacket(uint32_t from) {
    PacketBuilder b(MessageType::ChatMessage);
    b.writeLE(from);
    b.writeStr("hello everybody");
    return b.finalise();
}

// How often the client appears in the member lists of the given channels.
int listings(const VirtualServer& vs, uint32_t clientId, const std::vector<uint16_t>& channels) {
    int n = 0;
    for (uint16_t ch : channels) {
        const auto members = vs.channelManager.usersIn(ch);
        n += static_cast<int>(std::count(members.begin(), members.end(), clientId));
    }
    return n;
}

class VirtualServerThreadsTest : public ::testing::Test {
protected:
    // The operations log a line each; keep the output readable.
    void SetUp() override { Logger::instance().setLevel(LogLevel::Error); }
    void TearDown() override { Logger::instance().setLevel(LogLevel::Info); }

    static std::shared_ptr<VirtualServer> makeVs(int32_t maxSlots) {
        VirtualServer::VSConfig cfg;
        cfg.maxSlots = maxSlots;
        auto vs = std::make_shared<VirtualServer>(cfg);
        for (uint16_t id : {5, 6, 7}) {
            ChannelInfo c;
            c.id = id;
            c.name = kt::numbered("c", id);
            vs->channelManager.createChannel(c);
        }
        return vs;
    }

    static void setLimit(VirtualServer& vs, uint16_t channelId, uint16_t maxUsers) {
        auto c = vs.channelManager.find(channelId);
        ASSERT_TRUE(c);
        c->maxUsers = maxUsers;
        ASSERT_TRUE(vs.channelManager.updateChannel(*c));
    }
};

TEST_F(VirtualServerThreadsTest, AdmissionNeverExceedsTheSlotLimit) {
    constexpr int kThreads = 8, kPerThread = 8, kSlots = 10;
    for (int round = 0; round < 10; ++round) {
        auto vs = makeVs(kSlots);
        std::vector<std::shared_ptr<ClientSession>> sessions;
        for (int i = 0; i < kThreads * kPerThread; ++i)
            sessions.push_back(std::make_shared<ClientSession>(-1, static_cast<uint32_t>(i + 1), "10.0.0.1"));
        std::atomic<bool> go{false};
        std::atomic<int> accepted{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                while (!go.load()) std::this_thread::yield();
                for (int i = 0; i < kPerThread; ++i)
                    if (vs->acceptSession(sessions[t * kPerThread + i])) accepted.fetch_add(1);
            });
        }
        go = true;
        for (auto& th : threads) th.join();
        ASSERT_EQ(accepted.load(), kSlots) << "round " << round;
        ASSERT_EQ(vs->slotUsage(), static_cast<uint32_t>(kSlots));
        for (const auto& s : sessions) EXPECT_EQ(s->isClosed(), vs->findSession(s->clientId()) == nullptr);
    }
}

TEST_F(VirtualServerThreadsTest, OneNicknameIsClaimedOnce) {
    auto vs = makeVs(100);
    std::vector<std::shared_ptr<ClientSession>> sessions;
    for (uint32_t i = 1; i <= 16; ++i) {
        sessions.push_back(std::make_shared<ClientSession>(-1, i, "10.0.0.1"));
        ASSERT_TRUE(vs->acceptSession(sessions.back()));
    }
    std::atomic<bool> go{false};
    std::atomic<int> won{0};
    std::vector<std::thread> threads;
    for (uint32_t i = 1; i <= 16; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            if (vs->claimNickname(i, "same")) won.fetch_add(1);
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(won.load(), 1);
    int holders = 0;
    for (const auto& s : sessions) holders += s->nickname() == "same" ? 1 : 0;
    EXPECT_EQ(holders, 1);
}

TEST_F(VirtualServerThreadsTest, JoinsMovesLeavesAndBroadcastsKeepTheChannelLimit) {
    constexpr int kWorkers = 8, kRounds = 5, kMoves = 40;
    constexpr uint16_t kLimited = 7, kLimit = 3;
    const std::vector<uint16_t> channels = {1, 5, 6, 7};
    auto vs = makeVs(1000);
    setLimit(*vs, kLimited, kLimit);

    std::atomic<bool> stop{false};
    std::atomic<uint32_t> maxSeen{0};
    std::thread watcher([&] {
        while (!stop.load()) {
            const uint32_t n = vs->channelManager.userCount(kLimited);
            uint32_t prev = maxSeen.load();
            while (n > prev && !maxSeen.compare_exchange_weak(prev, n)) {
            }
            std::this_thread::yield();
        }
    });

    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 rng(static_cast<unsigned>(w) * 7919u + 1u);
            for (int r = 0; r < kRounds; ++r) {
                const uint32_t id = static_cast<uint32_t>(w * 1000 + r + 1);
                DrainedSession d(id);
                if (!vs->acceptSession(d.session)) {
                    failures.fetch_add(1);
                    continue;
                }
                vs->moveUserToChannel(id, 1, "");
                for (int m = 0; m < kMoves; ++m) {
                    const uint16_t target = channels[rng() % channels.size()];
                    const bool moved = vs->moveUserToChannel(id, target, "");
                    if (!moved && target != kLimited) failures.fetch_add(1);
                    // Only this worker moves this user: its listing is stable here.
                    const uint16_t now = d.session->channelId();
                    if (moved && now != target) failures.fetch_add(1);
                    if (listings(*vs, id, channels) != 1 || vs->channelManager.channelOf(id) != now)
                        failures.fetch_add(1);
                    if (m % 5 == 0) vs->broadcast(chatPacket(id), 0);
                    if (m % 7 == 0) vs->broadcastToChannel(now, chatPacket(id), id);
                }
                vs->removeSession(id);
                if (listings(*vs, id, channels) != 0 || vs->findSession(id)) failures.fetch_add(1);
            }
        });
    }
    for (auto& th : workers) th.join();
    stop = true;
    watcher.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(maxSeen.load(), kLimit);
    EXPECT_EQ(vs->slotUsage(), 0u);
    for (const auto& c : vs->channelManager.all()) EXPECT_EQ(c.userCount, 0u) << "channel " << c.id;
}

TEST_F(VirtualServerThreadsTest, OneUserMovedFromManyThreadsEndsInOneChannel) {
    const std::vector<uint16_t> channels = {1, 5, 6, 7};
    for (int round = 0; round < 5; ++round) {
        auto vs = makeVs(10);
        DrainedSession user(42);
        DrainedSession watcher(43);
        ASSERT_TRUE(vs->acceptSession(user.session));
        ASSERT_TRUE(vs->acceptSession(watcher.session));
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 rng(static_cast<unsigned>(round * 100 + t));
                while (!go.load()) std::this_thread::yield();
                for (int i = 0; i < 150; ++i) vs->moveUserToChannel(42, channels[rng() % channels.size()], "");
            });
        }
        go = true;
        for (auto& th : threads) th.join();
        const uint16_t now = user.session->channelId();
        EXPECT_EQ(listings(*vs, 42, channels), 1) << "round " << round;
        const auto members = vs->channelManager.usersIn(now);
        EXPECT_EQ(std::count(members.begin(), members.end(), 42u), 1);
        EXPECT_EQ(vs->channelManager.channelOf(42), now);
    }
}

TEST_F(VirtualServerThreadsTest, ARemovalRacingMovesLeavesNoListing) {
    const std::vector<uint16_t> channels = {1, 5, 6, 7};
    for (int round = 0; round < 10; ++round) {
        auto vs = makeVs(10);
        DrainedSession user(42);
        ASSERT_TRUE(vs->acceptSession(user.session));
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                std::mt19937 rng(static_cast<unsigned>(round * 10 + t));
                while (!go.load()) std::this_thread::yield();
                for (int i = 0; i < 100; ++i) vs->moveUserToChannel(42, channels[rng() % channels.size()], "");
            });
        }
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
            vs->removeSession(42);
        });
        go = true;
        for (auto& th : threads) th.join();
        EXPECT_EQ(vs->findSession(42), nullptr);
        EXPECT_EQ(listings(*vs, 42, channels), 0) << "round " << round;
        EXPECT_FALSE(vs->moveUserToChannel(42, 5, ""));
    }
}

TEST_F(VirtualServerThreadsTest, StoppingWhileBroadcastingAndDisconnecting) {
    auto vs = makeVs(100);
    vs->start();
    std::vector<std::unique_ptr<DrainedSession>> sessions;
    for (uint32_t i = 1; i <= 12; ++i) {
        sessions.push_back(std::make_unique<DrainedSession>(i));
        ASSERT_TRUE(vs->acceptSession(sessions.back()->session));
    }
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 200; ++i) {
                vs->broadcast(chatPacket(static_cast<uint32_t>(t)), 0);
                if (i % 50 == 0) sessions[static_cast<std::size_t>(t * 3)]->session->disconnect("kicked");
            }
        });
    }
    threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        vs->stop();
    });
    go = true;
    for (auto& th : threads) th.join();
    for (const auto& s : sessions) EXPECT_TRUE(s->session->isClosed());
    EXPECT_FALSE(vs->isRunning());
}

}  // namespace
}  // namespace Korrafin
