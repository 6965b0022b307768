// The real binary and the directory service: the test runs where the
// service's names map to 127.0.0.1 and a throw-away CA is the system's trust
// (loopback-netns.sh --host), with the HTTPS fake standing in for the service.
#include <chrono>
#include <string>
#include <vector>

#include "directory/GlobalApiClient.h"

#include "e2e/E2eFixture.h"
#include "support/HttpsFake.h"
#include "support/TestClient.h"

namespace Korrafin::Test {
namespace {

using json = nlohmann::json;

constexpr const char* kRegister = "/api/servers/register";
constexpr const char* kHeartbeat = "/api/servers/heartbeat";
constexpr const char* kUnregister = "/api/servers/unregister";

std::vector<std::string> bodies(const std::vector<HttpsFake::Request>& requests) {
    std::vector<std::string> out;
    for (const auto& r : requests) out.push_back(r.body);
    return out;
}

using DirectoryTest = E2eTest;

// Slow: the first heartbeat comes 30 seconds after start-up.
TEST_F(DirectoryTest, TheServerIsListedWhileItRunsAndUnlistedWhenItEnds) {
    HttpsFake fake(json{{"routes", {{"GET /api/myip", {{"status", 200}, {"body", "198.51.100.44\n"}}}}},
                    {"default", {{"status", 200}, {"body", "{}"}}}});
    const uint16_t ownPort = freePort();
    config.globalApi = {{"publicIp", "auto"}, {"listed", true}, {"description", "Ende zu Ende"}, {"country", "SE"}};
    writeConfig(json::array({
        {{"id", 1}, {"name", "Eins"}, {"serverKey", "k1"}, {"maxSlots", 20}},
        {{"id", 2}, {"name", "Zwei"}, {"serverKey", "k1"}, {"maxSlots", 5}, {"tcpPort", ownPort}},
    }));
    auto server = startReady();

    // The main listing is the first virtual server in registry order, which
    // need not be 1; the one with a port of its own is a secondary listing
    // as well (also when it is the first).
    // Start-up registers after it listens.
    ASSERT_TRUE(eventually([&] { return fake.requests("POST", kRegister).size() == 2; })) << server->output();
    const auto registers = bodies(fake.requests("POST", kRegister));
    const auto mainRegister = [&](const std::string& name, int slots) {
        return R"({"name":")" + name + R"(","ip":"198.51.100.44","port":)" + std::to_string(tcpPort) +
               R"(,"description":"Ende zu Ende","country":"SE","current_users":0,"max_slots":)" +
               std::to_string(slots) +
               R"(,"password_protected":false,"version":"1.0.0","listed":true,"icon_url":"","banner_url":""})";
    };
    const bool zweiFirst = registers[0] == mainRegister("Zwei", 5);
    EXPECT_EQ(registers[0], zweiFirst ? mainRegister("Zwei", 5) : mainRegister("Eins", 20));
    EXPECT_EQ(registers[1], R"({"name":"Zwei","ip":"198.51.100.44","port":)" + std::to_string(ownPort) +
                                R"(,"description":"","country":"SE","current_users":0,"max_slots":5,)"
                                R"("password_protected":false,"version":"1.0.0","listed":true,"icon_url":"",)"
                                R"("banner_url":""})");

    // A user on the own port, then one on the main port, which leads to the
    // first virtual server: the host's count is then that server's users.
    auto b = TestClient::dial(ownPort);
    ASSERT_TRUE(b && b->hello() && b->login("b"));
    auto a = TestClient::dial(tcpPort);
    ASSERT_TRUE(a && a->hello() && a->login("a"));
    const std::string users = zweiFirst ? "2" : "1";
    const std::string mainBeat = R"({"ip":"198.51.100.44","port":)" + std::to_string(tcpPort) + R"(,"name":")" +
                                 (zweiFirst ? "Zwei" : "Eins") + R"(","description":"Ende zu Ende","current_users":)" +
                                 users + R"(,"max_slots":)" + (zweiFirst ? "5" : "20") +
                                 R"(,"listed":true,"total_slots_configured":25,"icon_url":"","banner_url":""})";
    const std::string ownBeat = R"({"ip":"198.51.100.44","port":)" + std::to_string(ownPort) +
                                R"(,"name":"Zwei","description":"","current_users":)" + users +
                                R"(,"max_slots":5,"listed":true,"total_slots_configured":5,"icon_url":"",)"
                                R"("banner_url":""})";
    // Up to 30 seconds and a step after start-up, and a loaded machine.
    ASSERT_TRUE(eventually(
        [&] {
            const auto beats = bodies(fake.requests("POST", kHeartbeat));
            for (std::size_t i = 0; i + 1 < beats.size(); ++i) {
                if (beats[i] == mainBeat && beats[i + 1] == ownBeat) return true;
            }
            return false;
        },
        kPatience + std::chrono::seconds(30)))
        << ::testing::PrintToString(bodies(fake.requests("POST", kHeartbeat)));

    stopCleanly(*server);
    // Main then secondary, both after the beats ended.
    EXPECT_EQ(bodies(fake.requests("DELETE", kUnregister)),
              (std::vector<std::string>{R"({"ip":"198.51.100.44","port":)" + std::to_string(tcpPort) + "}",
                                        R"({"ip":"198.51.100.44","port":)" + std::to_string(ownPort) + "}"}));
    EXPECT_NE(server->output().find("[GlobalAPI] Server unregistering (background)"), std::string::npos);
}

TEST_F(DirectoryTest, AtExitAnUnansweredUnregisterIsWaitedForOnlyBriefly) {
    HttpsFake fake(json{{"routes", {{"DELETE /api/servers/unregister", {{"status", 200}, {"delay", 60}}}}},
                    {"default", {{"status", 200}}}});
    config.globalApi = {{"publicIp", "203.0.113.5"}, {"listed", true}};
    writeConfig();
    auto server = startReady();
    ASSERT_TRUE(eventually([&] { return fake.requests("POST", kRegister).size() == 1; }));
    // The beats keep away for 30 seconds: stopping now ends no beat.

    const auto exit = server->stopWith(SIGTERM);
    ASSERT_TRUE(exit.status) << "still running";
    EXPECT_EQ(*exit.status, 0) << server->output() << server->errors();
    // The request went out and was given its while, then given up on.
    EXPECT_EQ(fake.requests("DELETE", kUnregister).size(), 1u);
    EXPECT_GE(exit.took, std::chrono::milliseconds(2500));
    EXPECT_LT(exit.took, std::chrono::seconds(3) + kPromptly);
    EXPECT_NE(server->output().find("Server shutdown complete"), std::string::npos);
}

// A service that holds every request of start-up: one that never completes
// the TLS handshake, or one that takes each request and never answers. The
// listings of the main port and two virtual servers of their own wait on it.
struct Stalled {
    const char* what;
    json scenario;
    std::string publicIp;
};

std::vector<Stalled> stalledServices() {
    const json never = {{"status", 200}, {"delay", 600}};
    return {
        {"handshake never completes, address detected", {{"handshake", "stall"}}, "auto"},
        {"handshake never completes, address given", {{"handshake", "stall"}}, "203.0.113.5"},
        {"no answer, address detected", {{"default", never}}, "auto"},
        {"no answer, address given", {{"default", never}}, "203.0.113.5"},
    };
}

// True once the service holds a request of the server's (or its handshake).
bool holdsARequest(const HttpsFake& fake) { return fake.stalledConnections() > 0 || !fake.requests().empty(); }

// What stopping may take: no wait on the service but the bounded one for the
// unregister requests at exit.
constexpr auto kStopBound = GlobalApiClient::kExitWait + kPromptly;

TEST_F(DirectoryTest, TheMainPortServesWhileTheServiceHoldsStartUp) {
    for (const auto& c : stalledServices()) {
        SCOPED_TRACE(c.what);
        HttpsFake fake(c.scenario);
        config.globalApi = {{"publicIp", c.publicIp}, {"listed", true}};
        writeThreeVServers();
        const auto t0 = std::chrono::steady_clock::now();
        auto server = startReady();
        auto client = TestClient::dial(tcpPort);
        ASSERT_TRUE(client && client->hello() && client->login("early")) << server->output();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, kPromptly) << "the main port waited for the directory";
        EXPECT_TRUE(eventually([&] { return holdsARequest(fake); }));
        EXPECT_EQ(server->output().find("[GlobalAPI] Server registered"), std::string::npos);
        server->signal(SIGTERM);
        ASSERT_TRUE(server->waitExit()) << "still running after SIGTERM";
    }
}

TEST_F(DirectoryTest, SigtermWhileTheServiceHoldsStartUpEndsTheProcess) {
    for (const auto& c : stalledServices()) {
        SCOPED_TRACE(c.what);
        HttpsFake fake(c.scenario);
        config.globalApi = {{"publicIp", c.publicIp}, {"listed", true}};
        writeThreeVServers();
        auto server = start();
        ASSERT_TRUE(eventually([&] { return holdsARequest(fake); })) << server->output();

        const auto exit = server->stopWith(SIGTERM);
        ASSERT_TRUE(exit.status) << "still running after SIGTERM";
        EXPECT_EQ(*exit.status, 0) << server->output() << server->errors();
        EXPECT_LT(exit.took, kStopBound);
        EXPECT_NE(server->output().find("Server shutdown complete"), std::string::npos) << server->output();
    }
}

// Slow: the first heartbeat comes 30 seconds after start-up.
TEST_F(DirectoryTest, SigtermDuringABeatEndsTheProcess) {
    HttpsFake fake(json{{"routes", {{"POST /api/servers/heartbeat", {{"status", 200}, {"delay", 600}}}}},
                    {"default", {{"status", 200}, {"body", "{}"}}}});
    config.globalApi = {{"publicIp", "203.0.113.5"}, {"listed", true}};
    writeThreeVServers();
    auto server = startReady();
    ASSERT_TRUE(eventually([&] { return !fake.requests("POST", kHeartbeat).empty(); },
                           kPatience + std::chrono::seconds(30)))
        << server->output();

    const auto exit = server->stopWith(SIGTERM);
    ASSERT_TRUE(exit.status) << "still running after SIGTERM";
    EXPECT_EQ(*exit.status, 0) << server->output() << server->errors();
    EXPECT_LT(exit.took, kStopBound);
    // The beat was given up on; every listing was withdrawn after it.
    EXPECT_EQ(fake.requests("POST", kHeartbeat).size(), 1u);
    EXPECT_EQ(fake.requests("DELETE", kUnregister).size(), 3u);
    EXPECT_NE(server->output().find("[GlobalAPI] Server unregistering (background)"), std::string::npos);
}

}  // namespace
}  // namespace Korrafin::Test
