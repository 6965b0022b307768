// Create, pause, resume and remove of one id from several threads at once,
// while clients connect to it: no operation may destroy a live server or a
// joinable thread, two creations never both succeed, and whatever state the
// id ends in is a consistent one.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "support/Ports.h"
#include "support/ServerHost.h"
#include "support/TestClient.h"
#include "support/Time.h"
#include "support/VServerWorld.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
using namespace std::chrono_literals;

constexpr uint16_t kId = 9;

VirtualServer::VSConfig raceConfig(uint16_t port) { return kt::vsConfig(kId, "Contested", 32, port); }

TEST(ServerLifecycleRace, SimultaneousCreationsOfOneIdHaveOneWinner) {
    kt::Host host;
    ASSERT_TRUE(host.ok);
    constexpr int kThreads = 6;
    for (int round = 0; round < 20; ++round) {
        std::barrier start(kThreads);
        std::atomic<int> wins{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                if (host.server->createVServer(raceConfig(0))) wins.fetch_add(1);
            });
        }
        for (auto& t : threads) t.join();
        ASSERT_EQ(wins.load(), 1) << "round " << round;
        const auto vs = host.server->getVServer(kId);
        ASSERT_TRUE(vs);
        EXPECT_TRUE(vs->isRunning());
        ASSERT_TRUE(host.server->removeVServer(kId));
    }
}

TEST(ServerLifecycleRace, MixedOperationsOnOneIdLeaveAConsistentServer) {
    const uint16_t port = kt::freePort();
    kt::Host host;
    ASSERT_TRUE(host.ok);
    Server& server = *host.server;
    std::thread runner([&] { server.run(); });
    if (!kt::eventually([&] { return server.isRunning(); })) {
        server.stop();  // honoured by run once it gets there
        runner.join();
        FAIL() << "the server never started running";
    }
    ASSERT_TRUE(server.createVServer(raceConfig(port)));

    std::atomic<bool> go{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1u);
            while (go.load()) {
                switch (rng() % 5) {
                    case 0: server.createVServer(raceConfig(port)); break;
                    case 1: server.pauseVServer(kId); break;
                    case 2: server.resumeVServer(kId); break;
                    case 3: server.removeVServer(kId); break;
                    default: {
                        // Lookups hand out servers that stay usable.
                        if (auto vs = server.getVServer(kId)) vs->broadcastChannelList();
                        server.isVServerRunning(kId);
                        break;
                    }
                }
            }
        });
    }
    // Clients keep arriving on the contested port and on the main port.
    threads.emplace_back([&] {
        while (go.load()) {
            for (uint16_t p : {port, host.config.tcpPort}) {
                const int fd = kt::connectLoopback(p);
                if (fd < 0) continue;
                kt::TestClient c(fd);
                try {
                    c.send(kt::packet(MessageType::Hello));
                    c.next(20ms);
                } catch (const std::exception&) {
                    // closed under us by a pause or removal: expected here
                }
            }
        }
    });
    std::this_thread::sleep_for(1500ms);
    go.store(false);
    for (auto& t : threads) t.join();

    // Bring the id into a known state and check it serves.
    server.createVServer(raceConfig(port));
    server.resumeVServer(kId);
    ASSERT_TRUE(server.getVServer(kId));
    EXPECT_TRUE(server.isVServerRunning(kId));
    const int fd = kt::connectLoopback(port);
    ASSERT_GE(fd, 0) << "a running server with its own port accepts";
    kt::TestClient c(fd);
    c.send(kt::packet(MessageType::Hello));
    // The leaves of the racing clients' sessions may still be announced first.
    EXPECT_TRUE(c.waitFor(MessageType::HelloAck, 10000ms));
    c.close();

    server.stop();
    runner.join();
    host.server.reset();  // waits for every reader
}

}  // namespace
}  // namespace Korrafin
