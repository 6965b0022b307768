// The host in this process: the registry's lifecycle operations, the
// listeners and their connections, reader threads and their end, stop and
// destruction.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "protocol/ClientSession.h"
#include "support/FullDescriptorTable.h"
#include "support/LogCapture.h"
#include "support/Ports.h"
#include "support/ServerHost.h"
#include "support/TestClient.h"
#include "support/Time.h"
#include "support/UdpPeer.h"
#include "support/VServerWorld.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
using namespace std::chrono_literals;
using kt::LogCapture;
using nlohmann::json;

using kt::eventually;
using kt::vsConfig;

class ServerHostTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    void TearDown() override { stopServing(); }

    void boot(const json& virtualServers = json::array()) {
        kt::ServerConfig cfg;
        cfg.virtualServers = virtualServers;
        host = std::make_unique<kt::Host>(cfg);
        ASSERT_TRUE(host->ok);
    }
    Server& server() { return *host->server; }

    void serve() {
        runner = std::thread([this] { server().run(); });
        ASSERT_TRUE(eventually([this] { return server().isRunning(); }));
    }
    void stopServing() {
        if (!runner.joinable()) return;
        server().stop();
        runner.join();
    }

    static std::unique_ptr<kt::TestClient> connect(uint16_t port) { return kt::TestClient::dial(port); }

    std::unique_ptr<kt::Host> host;
    std::thread runner;
};

TEST_F(ServerHostTest, TheLifecycleOfAVirtualServerWithoutAPortOfItsOwn) {
    boot(json::parse(R"([{"id":1,"name":"One"}])"));
    Server& s = server();
    auto& log = LogCapture::instance();

    EXPECT_FALSE(s.createVServer(vsConfig(1, "Again")));
    EXPECT_EQ(log.count(LogLevel::Warn, "VS 1 already exists"), 1u);
    EXPECT_EQ(s.getVServer(1)->config().name, "One");

    ASSERT_TRUE(s.createVServer(vsConfig(3, "Three")));
    EXPECT_EQ(log.count(LogLevel::Info, "VS 3 'Three' created (port=0, maxSlots=32)"), 1u);
    EXPECT_TRUE(s.isVServerRunning(3));
    EXPECT_EQ(s.allVServers().size(), 2u);
    EXPECT_EQ(s.getVServer(3)->db.get(), s.getVServer(1)->db.get()) << "both use the master database";

    ASSERT_TRUE(s.pauseVServer(3));
    EXPECT_FALSE(s.isVServerRunning(3));
    EXPECT_FALSE(s.getVServer(3)->isRunning());
    log.clear();
    EXPECT_TRUE(s.pauseVServer(3));
    EXPECT_TRUE(log.lines().empty()) << "a second pause does nothing";
    EXPECT_EQ(s.allVServers().size(), 2u) << "paused servers stay listed";

    ASSERT_TRUE(s.resumeVServer(3));
    EXPECT_EQ(log.count(LogLevel::Info, "VS 3 resumed on port 0"), 1u);
    EXPECT_TRUE(s.isVServerRunning(3));
    log.clear();
    EXPECT_TRUE(s.resumeVServer(3));
    EXPECT_TRUE(log.lines().empty()) << "resuming a running server does nothing";

    ASSERT_TRUE(s.removeVServer(3));
    EXPECT_EQ(log.count(LogLevel::Info, "VS 3 removed"), 1u);
    EXPECT_FALSE(s.getVServer(3));
    EXPECT_TRUE(s.createVServer(vsConfig(3, "Three again"))) << "the id is free at once";

    for (uint16_t unknown : {uint16_t{40}, uint16_t{0}}) {
        EXPECT_FALSE(s.pauseVServer(unknown));
        EXPECT_FALSE(s.resumeVServer(unknown));
        EXPECT_FALSE(s.removeVServer(unknown));
        EXPECT_FALSE(s.isVServerRunning(unknown));
        EXPECT_FALSE(s.getVServer(unknown));
    }
}

TEST_F(ServerHostTest, AFailedCreationKeepsNothing) {
    boot(json::parse(R"([{"id":1}])"));
    Server& s = server();
    const uint16_t taken = kt::freePort();
    kt::PortHolder holder(taken);

    kt::TempDir dir;
    auto busy = vsConfig(5, "Busy", 32, taken);
    busy.dbPath = dir.file("new/busy.db");
    EXPECT_FALSE(s.createVServer(busy));
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Error,
                                           "VS 5: bind/listen on port " + std::to_string(taken) + " failed"),
              1u);
    EXPECT_FALSE(s.getVServer(5));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "neither its database nor its folder is kept";

    auto badDb = vsConfig(6, "BadDb");
    badDb.dbPath = "/proc/self/no-such-dir/x.db";
    EXPECT_FALSE(s.createVServer(badDb));
    EXPECT_EQ(LogCapture::instance().countContaining("VS 6 DB init failed: "), 1u);
    EXPECT_FALSE(s.getVServer(6));

    EXPECT_TRUE(s.createVServer(vsConfig(5, "Free", 32, kt::freePort())));
}

TEST_F(ServerHostTest, AVirtualServerWithItsOwnDatabaseLeavesTheFileBehind) {
    boot();
    kt::TempDir dir;
    auto cfg = vsConfig(4, "Own");
    cfg.dbPath = dir.file("own.db");
    ASSERT_TRUE(server().createVServer(cfg));
    EXPECT_NE(server().getVServer(4)->db.get(), server().getVServer(1)->db.get());
    EXPECT_NE(server().getVServer(4)->keyManager, nullptr);
    ASSERT_TRUE(server().removeVServer(4));
    EXPECT_TRUE(std::filesystem::exists(cfg.dbPath));
}

TEST_F(ServerHostTest, OwnPortsServeWhileRunningAndCloseWhilePaused) {
    const uint16_t port = kt::freePort();
    boot(json::parse(R"([{"id":1,"name":"Main"},{"id":2,"name":"Side","tcpPort":)" + std::to_string(port) + "}]"));
    serve();

    auto first = connect(port);
    ASSERT_TRUE(first);
    auto ack = first->hello();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->vsId, 2);
    EXPECT_EQ(ack->name, "Side");

    ASSERT_TRUE(server().pauseVServer(2));
    EXPECT_TRUE(first->waitClosed()) << "pausing disconnects its sessions";
    EXPECT_FALSE(connect(port)) << "and closes its port";

    ASSERT_TRUE(server().resumeVServer(2));
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "VS 2 resumed on port " + std::to_string(port)), 1u);
    auto again = connect(port);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->hello());
}

TEST_F(ServerHostTest, AResumeThatCannotListenStopsTheServerAgain) {
    const uint16_t port = kt::freePort();
    boot(json::parse(R"([{"id":2,"tcpPort":)" + std::to_string(port) + "}]"));
    ASSERT_TRUE(server().pauseVServer(2));
    {
        kt::PortHolder squatter(port);
        EXPECT_FALSE(server().resumeVServer(2));
        EXPECT_EQ(LogCapture::instance().count(
                      LogLevel::Error, "VS 2: bind/listen on port " + std::to_string(port) + " failed on resume"),
                  1u);
        EXPECT_FALSE(server().isVServerRunning(2));
        EXPECT_FALSE(server().getVServer(2)->isRunning()) << "a server nobody can reach must not run";
    }
    EXPECT_TRUE(server().resumeVServer(2));
    EXPECT_TRUE(server().isVServerRunning(2));
}

TEST_F(ServerHostTest, ClientIdsCountFromOneAcrossPortsAndNeverGiveZero) {
    const uint16_t port = kt::freePort();
    boot(json::parse(R"([{"id":1},{"id":2,"tcpPort":)" + std::to_string(port) + "}]"));
    serve();
    auto a = connect(host->config.tcpPort);
    auto b = connect(port);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->hello() && b->hello());
    std::vector<uint32_t> ids;
    for (const auto& vs : server().allVServers())
        for (const auto& s : vs->allSessions()) ids.push_back(s->clientId());
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2}));

    std::atomic<uint32_t> counter{0xFFFFFFFFu};
    EXPECT_EQ(Server::takeNonZeroId(counter), 0xFFFFFFFFu);
    EXPECT_EQ(Server::takeNonZeroId(counter), 1u);
}

// The main port feeds the first virtual server in registry order; while that
// one is paused it admits nobody, and the main port refuses a connection as
// it refuses one to a full server.
TEST_F(ServerHostTest, TheMainPortFeedsTheFirstVirtualServerAndRefusesWhileItIsPaused) {
    boot(json::parse(R"([{"id":1,"name":"A"},{"id":2,"name":"B"}])"));
    serve();
    const auto first = server().allVServers().front();
    ASSERT_TRUE(server().pauseVServer(first->id()));
    auto refused = connect(host->config.tcpPort);
    ASSERT_TRUE(refused);
    refused->send(kt::helloRequest());
    EXPECT_TRUE(refused->waitClosed());
    EXPECT_TRUE(refused->seen.empty()) << "no HelloAck";
    EXPECT_EQ(first->slotUsage(), 0u);
    EXPECT_EQ(LogCapture::instance().countContaining("[VServer " + std::to_string(first->id()) +
                                                     "] Rejected client"),
              1u);

    ASSERT_TRUE(server().resumeVServer(first->id()));
    for (int i = 0; i < 2; ++i) {
        auto c = connect(host->config.tcpPort);
        ASSERT_TRUE(c);
        const auto ack = c->hello();
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->vsId, first->id());
    }
}

// Whatever the order of the configuration file and of later creates and
// removes, the first virtual server is the one with the lowest id: the main
// port feeds it, the bot API is bound to it at start-up, and every list
// comes in ascending id order.
TEST_F(ServerHostTest, TheFirstVirtualServerIsTheOneWithTheLowestId) {
    boot(json::parse(R"([{"id":3,"name":"C"},{"id":2,"name":"B"},{"id":5,"name":"E"}])"));
    serve();
    EXPECT_NE(server().getVServer(2)->botApi.load(), nullptr) << "bound to the lowest id";
    EXPECT_EQ(server().getVServer(3)->botApi.load(), nullptr);
    EXPECT_EQ(server().getVServer(5)->botApi.load(), nullptr);

    struct Step {
        std::string what;
        std::function<bool(Server&)> change;
        std::vector<uint16_t> ids;  // listed, in this order; the first is fed by the main port
    };
    const std::vector<Step> steps = {
        {"as configured", [](Server&) { return true; }, {2, 3, 5}},
        {"a higher id created", [](Server& s) { return s.createVServer(vsConfig(7, "G")); }, {2, 3, 5, 7}},
        {"a lower id created", [](Server& s) { return s.createVServer(vsConfig(1, "A")); }, {1, 2, 3, 5, 7}},
        {"one between", [](Server& s) { return s.createVServer(vsConfig(4, "D")); }, {1, 2, 3, 4, 5, 7}},
        {"the lowest removed", [](Server& s) { return s.removeVServer(1); }, {2, 3, 4, 5, 7}},
        {"the next removed", [](Server& s) { return s.removeVServer(2); }, {3, 4, 5, 7}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_TRUE(step.change(server()));
        std::vector<uint16_t> listed;
        for (const auto& vs : server().allVServers()) listed.push_back(vs->id());
        EXPECT_EQ(listed, step.ids);
        auto c = connect(host->config.tcpPort);
        ASSERT_TRUE(c);
        const auto ack = c->hello();
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->vsId, step.ids.front());
    }
}

TEST_F(ServerHostTest, WithNoVirtualServerAConnectionIsStillServed) {
    boot();
    ASSERT_TRUE(server().removeVServer(1));  // the "Default Server"
    serve();
    auto c = connect(host->config.tcpPort);
    ASSERT_TRUE(c);
    const auto ack = c->hello();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->vsId, 0);
    EXPECT_EQ(ack->name, "Korrafin");
    EXPECT_EQ(server().liveReaderCount(), 1u);
    c->close();
    EXPECT_TRUE(eventually([&] { return server().liveReaderCount() == 0; }));
}

TEST_F(ServerHostTest, AClosedConnectionLeavesItsServerAndIsForgottenByTheRelay) {
    boot(json::parse(R"([{"id":1}])"));
    serve();
    auto a = connect(host->config.tcpPort);
    auto b = connect(host->config.tcpPort);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->hello() && b->hello());
    ASSERT_TRUE(eventually([&] { return server().currentUsers() == 2; }));
    const auto vs = server().getVServer(1);
    ASSERT_EQ(vs->slotUsage(), 2u);
    const uint32_t aId = std::min(vs->allSessions()[0]->clientId(), vs->allSessions()[1]->clientId());
    ASSERT_TRUE(vs->moveUserToChannel(aId, 1, ""));

    // a talks once, so the relay knows its address.
    kt::UdpPeer voice;
    voice.sendTo(server().voiceRelay().localPort(), kt::voiceDatagram(aId, 1, 1, 0, {1}));
    ASSERT_TRUE(eventually([&] { return server().voiceRelay().endpointOf(aId).has_value(); }));

    a->close();
    ASSERT_TRUE(eventually([&] { return vs->slotUsage() == 1; }));
    EXPECT_TRUE(eventually([&] { return server().currentUsers() == 1; }));
    EXPECT_FALSE(server().voiceRelay().endpointOf(aId));
    bool toldLeft = false;
    for (const auto& p : b->drain())
        if (p.type == MessageType::UserLeft && p.reader().readLE<uint32_t>() == aId) toldLeft = true;
    EXPECT_TRUE(toldLeft);
}

TEST_F(ServerHostTest, RemovingAVirtualServerWaitsForTheReadersOfItsSessions) {
    const uint16_t port = kt::freePort();
    boot(json::parse(R"([{"id":1},{"id":2,"tcpPort":)" + std::to_string(port) + "}]"));
    serve();
    std::vector<std::unique_ptr<kt::TestClient>> clients;
    // Logged in: one address may have only 16 connections waiting for their login.
    for (int i = 0; i < 24; ++i) {
        clients.push_back(connect(port));
        ASSERT_TRUE(clients.back() && clients.back()->hello() && clients.back()->login("user" + std::to_string(i)));
    }
    std::weak_ptr<VirtualServer> watch = server().getVServer(2);
    ASSERT_EQ(server().liveReaderCount(), 24u);

    ASSERT_TRUE(server().removeVServer(2));
    EXPECT_EQ(server().liveReaderCount(), 0u) << "every reader of its sessions has ended";
    EXPECT_TRUE(watch.expired()) << "nothing keeps the removed server alive";
    for (auto& c : clients) EXPECT_TRUE(c->waitClosed());
}

TEST_F(ServerHostTest, DestroyingTheHostEndsEveryConnectionAndWaitsForItsReader) {
    boot();
    ASSERT_TRUE(server().removeVServer(1));
    serve();
    auto unadmitted = connect(host->config.tcpPort);  // no virtual server to hand it to
    ASSERT_TRUE(unadmitted && unadmitted->hello());
    const uint16_t port = kt::freePort();
    ASSERT_TRUE(server().createVServer(vsConfig(2, "Late", 32, port)));
    auto admitted = connect(port);
    ASSERT_TRUE(admitted && admitted->hello());
    ASSERT_EQ(server().liveReaderCount(), 2u);

    stopServing();
    const auto t0 = std::chrono::steady_clock::now();
    host->server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kt::kPromptly);
    EXPECT_TRUE(admitted->waitClosed());
    EXPECT_TRUE(unadmitted->waitClosed());
}

TEST_F(ServerHostTest, AStopBeforeRunIsHonouredWhenRunBeginsAndStopRunsOnce) {
    boot();
    server().stop();  // as a signal during start-up would
    const auto t0 = std::chrono::steady_clock::now();
    server().run();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kt::kPromptly);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Server stopping..."), 1u);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Server shutdown complete"), 1u);
    server().stop();
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Server stopping..."), 1u);
    EXPECT_EQ(kt::connectLoopback(host->config.tcpPort), -1) << "the main port is closed";
}

TEST_F(ServerHostTest, AcceptingSurvivesRunningOutOfDescriptors) {
    const uint16_t port = kt::freePort();
    boot(json::parse(R"([{"id":1},{"id":2,"tcpPort":)" + std::to_string(port) + "}]"));
    serve();
    // The directory client looks up the address on a thread of its own, its
    // descriptors coming and going, until it gives up (there is no network).
    ASSERT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn,
                                               "[GlobalAPI] Could not detect public IP — GlobalAPI disabled. Set "
                                               "globalApi.publicIp manually in server.json"));

    // Both connections are made while descriptors are exhausted: the accept
    // calls fail with EMFILE until the limit is raised again.
    const int mainFd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int sideFd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::optional<kt::FullDescriptorTable> full;  // every number below the limit in use
    full.emplace();
    ASSERT_TRUE(full->ok());
    auto connectTo = [](int fd, uint16_t p) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(p);
        return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    };
    const int r1 = connectTo(mainFd, host->config.tcpPort);
    const int r2 = connectTo(sideFd, port);
    // The loops run into it and say so, once a second at most.
    const std::string failed = "accept() failed: Too many open files – retrying";
    const auto t0 = std::chrono::steady_clock::now();
    const bool told = eventually([&] { return LogCapture::instance().countContaining(failed) >= 1; }, 10s);
    std::this_thread::sleep_for(200ms);
    const auto waited = std::chrono::steady_clock::now() - t0;
    const std::size_t lines = LogCapture::instance().countContaining(failed);
    full.reset();
    ASSERT_EQ(r1, 0);
    ASSERT_EQ(r2, 0);
    EXPECT_TRUE(told);
    EXPECT_LE(lines, 1u + static_cast<std::size_t>(std::chrono::duration_cast<std::chrono::seconds>(waited).count()));

    kt::TestClient mainClient(mainFd), sideClient(sideFd);
    EXPECT_TRUE(mainClient.hello());
    EXPECT_TRUE(sideClient.hello());
    // And later connections are served as well.
    auto later = connect(port);
    ASSERT_TRUE(later);
    EXPECT_TRUE(later->hello());
}

}  // namespace
}  // namespace Korrafin
