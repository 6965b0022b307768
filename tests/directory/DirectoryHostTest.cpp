// The host's use of the directory client, in a network namespace where only
// loopback is up: which listings start-up announces, and that start-up and
// shutdown go through with no network at all.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <string>

#include "server/Server.h"
#include "support/LogCapture.h"
#include "support/Ports.h"
#include "support/ServerConfig.h"
#include "support/TempDir.h"
#include "support/Time.h"

namespace Korrafin::Test {
namespace {

using nlohmann::json;

struct Booted {
    TempDir dir;
    std::unique_ptr<Server> server;
    bool ok = false;
};

// A server started in this process with `globalApi.publicIp` set to `publicIp`.
std::unique_ptr<Booted> boot(const json& virtualServers, const std::string& publicIp) {
    auto b = std::make_unique<Booted>();
    ServerConfig cfg;
    cfg.virtualServers = virtualServers;
    cfg.dbPath = b->dir.file("data/server.db");
    cfg.logFile = "";
    json doc = cfg.document();
    doc["globalApi"]["publicIp"] = publicIp;
    const std::string path = b->dir.file("server.json");
    writeFile(path, doc.dump(4));
    b->server = std::make_unique<Server>();
    testing::internal::CaptureStdout();
    b->ok = b->server->init(path);
    testing::internal::GetCapturedStdout();
    return b;
}

TEST(DirectoryHost, AnnouncesEachVirtualServerWithItsOwnPortAndWithdrawsAtShutdown) {
    const uint16_t portB = freePort(SOCK_STREAM);
    const uint16_t portC = freePort(SOCK_STREAM);
    const json servers = json::array({
        {{"id", 1}, {"name", "Main"}},
        {{"id", 2}, {"name", "Bee"}, {"tcpPort", portB}},
        {{"id", 3}, {"name", "Sea"}, {"tcpPort", portC}, {"maxSlots", 5}},
    });
    LogCapture::instance().clear();
    const auto t0 = std::chrono::steady_clock::now();
    auto b = boot(servers, "203.0.113.5");
    ASSERT_TRUE(b->ok);
    auto& log = LogCapture::instance();
    // The directory cannot be reached here: the register fails, the server runs.
    EXPECT_TRUE(log.waitFor(LogLevel::Warn, "[GlobalAPI] Initial registration failed – will retry on next heartbeat"));
    EXPECT_TRUE(
        log.waitFor(LogLevel::Info, "[GlobalAPI] Secondary VS 'Bee' registered (port=" + std::to_string(portB) + ")"));
    EXPECT_TRUE(
        log.waitFor(LogLevel::Info, "[GlobalAPI] Secondary VS 'Sea' registered (port=" + std::to_string(portC) + ")"));
    EXPECT_EQ(log.count(LogLevel::Warn, "[GlobalAPI] Initial registration failed – will retry on next heartbeat"), 1u);
    EXPECT_EQ(log.countContaining("Secondary VS 'Main'"), 0u);

    b->server.reset();  // never ran: the destructor stops the client itself
    EXPECT_EQ(log.count(LogLevel::Info, "[GlobalAPI] Server unregistering (background)"), 1u);
    EXPECT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kPatience);
}

TEST(DirectoryHost, FailedDetectionLeavesTheServerRunningWithoutListings) {
    const json servers = json::array({{{"id", 2}, {"name", "Bee"}, {"tcpPort", freePort(SOCK_STREAM)}}});
    LogCapture::instance().clear();
    auto b = boot(servers, "auto");
    ASSERT_TRUE(b->ok);
    auto& log = LogCapture::instance();
    EXPECT_TRUE(log.waitFor(LogLevel::Warn,
                            "[GlobalAPI] Could not detect public IP — GlobalAPI disabled. Set globalApi.publicIp manually "
                            "in server.json"));
    EXPECT_EQ(log.countContaining("Secondary VS"), 0u);

    std::thread serving([&] { b->server->run(); });
    ASSERT_TRUE(eventually([&] { return b->server->isRunning(); }));
    b->server->stop();
    serving.join();
    b->server.reset();
    EXPECT_EQ(log.countContaining("unregistering"), 0u);
}

}  // namespace
}  // namespace Korrafin::Test
