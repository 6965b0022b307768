// The directory client's lifecycle against a directory service in memory:
// address detection, the requests and their bodies, the beats, and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "directory/DirectoryRequests.h"
#include "directory/GlobalApiClient.h"
#include "support/FakeDirectory.h"
#include "support/LogCapture.h"
#include "support/Time.h"

namespace Korrafin::Test {
namespace {

using namespace std::chrono_literals;

const GlobalApiClient::Hosts kHosts{"dir.test", "echo1.test", "echo2.test"};
constexpr const char* kRegister = "/api/servers/register";
constexpr const char* kHeartbeat = "/api/servers/heartbeat";
constexpr const char* kUnregister = "/api/servers/unregister";

// Requests as "METHOD host path", for comparing sequences.
std::vector<std::string> lines(const std::vector<Request>& requests) {
    std::vector<std::string> out;
    for (const auto& r : requests) out.push_back(r.method + " " + r.host + " " + r.path);
    return out;
}

std::vector<std::string> bodies(const std::vector<Request>& requests) {
    std::vector<std::string> out;
    for (const auto& r : requests) out.push_back(r.body);
    return out;
}

// True when `part` occurs in `all` as consecutive elements.
bool containsRun(const std::vector<std::string>& all, const std::vector<std::string>& part) {
    if (part.size() > all.size()) return false;
    for (std::size_t i = 0; i + part.size() <= all.size(); ++i) {
        if (std::equal(part.begin(), part.end(), all.begin() + static_cast<std::ptrdiff_t>(i))) return true;
    }
    return false;
}

class DirectoryClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
    }
    void TearDown() override {
        Logger::instance().setLevel(LogLevel::Info);
        // No unregister thread of one test runs into the next.
        EXPECT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
    }

    GlobalApiClient::HostFigures figures() {
        return {[this] { return users.load(); }, [this] { return slots.load(); }};
    }

    std::atomic<int> users{0};
    std::atomic<int> slots{0};
};

TEST(DirectoryHosts, BuiltInHostsAreTheBuildConstants) {
    const auto hosts = GlobalApiClient::Hosts::builtIn();
    EXPECT_EQ(hosts.directory, KORRAFIN_DIRECTORY_HOST);
    EXPECT_EQ(hosts.addressEcho, KORRAFIN_DIRECTORY_ADDR_HOST);
    EXPECT_EQ(hosts.addressEcho2, KORRAFIN_DIRECTORY_ADDR2_HOST);
}

TEST_F(DirectoryClientTest, DetectionAsksTheDirectoryThenEachEchoInTurn) {
    const std::vector<std::string> all = {"GET dir.test /api/myip", "GET echo1.test /?format=json",
                                          "GET echo2.test /"};
    struct Case {
        const char* what;
        Answer directory, echo1, echo2;
        bool ok;
        std::string address;
        std::size_t asked;  // how many of `all` were asked
    };
    const std::vector<Case> cases = {
        {"directory tells it", {200, "198.51.100.1\n"}, {}, {}, true, "198.51.100.1", 1},
        {"directory fails, first echo answers JSON",
         {503, "198.51.100.9"}, {200, R"({"ip":"198.51.100.2"})"}, {}, true, "198.51.100.2", 2},
        {"directory answers without an address, second echo answers",
         {200, "no address here"}, {0, ""}, {200, "198.51.100.3"}, true, "198.51.100.3", 3},
        {"directory refuses with a null address, first echo answers",
         {200, R"({"ip":null,"error":"rate limited"})"}, {200, R"({"ip":"198.51.100.5"})"}, {}, true, "198.51.100.5", 2},
        {"every lookup fails", {0, ""}, {404, "198.51.100.4"}, {200, "<html>"}, false, "", 3},
        {"no answer holds an address", {200, R"({"error":"rate limited"})"}, {200, R"({"ip":"error"})"},
         {200, "not.an.address\n"}, false, "", 3},
    };
    for (const auto& c : cases) {
        LogCapture::instance().clear();
        auto fake = FakeDirectory::make([&](const Request& r) {
            if (r.host == "dir.test") return c.directory;
            if (r.host == "echo1.test") return c.echo1;
            return c.echo2;
        });
        GlobalApiClient client(figures(), kHosts, fake->transport());
        std::string address;
        EXPECT_EQ(client.autoDetectIp(address), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(address, c.address) << c.what;
        }
        EXPECT_EQ(lines(fake->requests()), std::vector<std::string>(all.begin(), all.begin() + c.asked)) << c.what;
        for (const auto& r : fake->requests()) EXPECT_EQ(r.body, "") << c.what;
        EXPECT_EQ(LogCapture::instance().count(
                      LogLevel::Warn, "[GlobalAPI] /api/myip unreachable or returned no IP — trying fallback"),
                  c.asked > 1 ? 1u : 0u)
            << c.what;
        if (c.asked > 2) {
            EXPECT_EQ(LogCapture::instance().count(
                          LogLevel::Warn, "[GlobalAPI] Fallback echo1.test failed too (HTTP " +
                                              std::to_string(c.echo1.status) + ")"),
                      1u)
                << c.what;
        }
    }
}

TEST_F(DirectoryClientTest, OnlyAnEmptyOrExactAutoSettingDetects) {
    struct Case {
        std::string setting;
        bool detects;
    };
    const std::vector<Case> cases = {{"", true}, {"auto", true}, {"Auto", false}, {" auto", false},
                                     {"203.0.113.5", false}, {"not even an address", false}};
    for (const auto& c : cases) {
        auto fake = FakeDirectory::make([](const Request& r) {
            return r.path == "/api/myip" ? Answer{200, "198.51.100.1"} : Answer{200, ""};
        });
        {
            GlobalApiClient client(figures(), kHosts, fake->transport(), 1h);
            client.start("Main", c.setting, 9987, 32, "", "DE", true);
            ASSERT_TRUE(fake->waitFor(kRegister, 1)) << "setting '" << c.setting << "'";
            EXPECT_TRUE(client.isRunning()) << "setting '" << c.setting << "'";
            client.stop();
        }
        const auto reqs = fake->requests();
        ASSERT_FALSE(reqs.empty());
        EXPECT_EQ(reqs.front().path == "/api/myip", c.detects) << "setting '" << c.setting << "'";
        const auto reg = fake->requestsTo(kRegister);
        ASSERT_EQ(reg.size(), 1u);
        const std::string ip = c.detects ? "198.51.100.1" : c.setting;
        EXPECT_EQ(reg[0].body, buildRegisterBody("Main", ip, 9987, "", "DE", 0, 32, true, "", ""));
    }
}

TEST_F(DirectoryClientTest, FailedDetectionDisablesTheClientForGood) {
    auto fake = FakeDirectory::make([](const Request&) { return Answer{0, ""}; });
    GlobalApiClient client(figures(), kHosts, fake->transport(), 1ms);
    client.start("Main", "auto", 9987, 32, "", "DE", true);

    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn,
                                               "[GlobalAPI] Could not detect public IP — GlobalAPI disabled. Set "
                                               "globalApi.publicIp manually in server.json"));
    EXPECT_FALSE(client.isRunning());
    client.addVirtualServer({"Side", 10001, 8, {}, {}});
    client.stop();
    client.stop();
    // Only the three lookups ever went out; no beat, no unregister.
    EXPECT_EQ(fake->requests().size(), 3u);
    EXPECT_EQ(LogCapture::instance().countContaining("unregistering"), 0u);
    EXPECT_EQ(LogCapture::instance().countContaining("Secondary VS"), 0u);
}

TEST_F(DirectoryClientTest, RegistersBeatsAndUnregistersEveryListing) {
    users = 5;
    slots = 64;
    Logger::instance().setLevel(LogLevel::Trace);
    auto fake = FakeDirectory::make();
    GlobalApiClient client(figures(), kHosts, fake->transport(), 20ms);
    client.start("Main", "203.0.113.5", 9987, 32, "About us", "AT", true);
    // As start-up does: the provider comes after start, so the register
    // carried empty URLs; the beats carry these.
    client.setSettingsProvider([] { return GlobalApiClient::Urls{"https://x/icon", "https://x/banner"}; });
    client.addVirtualServer({"Side", 10001, 12, [] { return 2; },
                             [] { return GlobalApiClient::Urls{"https://x/si", "https://x/sb"}; }});
    client.addVirtualServer({"Bare", 10002, 8, {}, {}});

    ASSERT_TRUE(fake->waitFor(kRegister, 3));
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Info,
                                               "[GlobalAPI] Secondary VS 'Bare' registered (port=10002)"));
    EXPECT_EQ(bodies(fake->requestsTo(kRegister)),
              (std::vector<std::string>{
                  buildRegisterBody("Main", "203.0.113.5", 9987, "About us", "AT", 0, 32, true, "", ""),
                  buildRegisterBody("Side", "203.0.113.5", 10001, "", "AT", 2, 12, true, "https://x/si",
                                    "https://x/sb"),
                  buildRegisterBody("Bare", "203.0.113.5", 10002, "", "AT", 0, 8, true, "", ""),
              }));
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[GlobalAPI] Server registered (ip=203.0.113.5, listed=1)"),
              1u);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[GlobalAPI] Secondary VS 'Side' registered (port=10001)"),
              1u);

    // One pass: the main listing, then the secondaries in the order added.
    const std::vector<std::string> pass = {
        buildHeartbeatBody("203.0.113.5", 9987, "Main", "About us", 5, true, 32, 64, "https://x/icon",
                           "https://x/banner"),
        buildHeartbeatBody("203.0.113.5", 10001, "Side", "", 2, true, 12, 12, "https://x/si", "https://x/sb"),
        buildHeartbeatBody("203.0.113.5", 10002, "Bare", "", 0, true, 8, 8, "", ""),
    };
    EXPECT_TRUE(eventually([&] { return containsRun(bodies(fake->requestsTo(kHeartbeat)), pass); }));
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Trace, "[GlobalAPI] Heartbeat OK (users=5)"));

    client.stop();
    ASSERT_TRUE(fake->waitFor(kUnregister, 3));
    const auto unreg = fake->requestsTo(kUnregister);
    EXPECT_EQ(lines(unreg), std::vector<std::string>(3, std::string("DELETE dir.test ") + kUnregister));
    EXPECT_EQ(bodies(unreg), (std::vector<std::string>{buildUnregisterBody("203.0.113.5", 9987),
                                                       buildUnregisterBody("203.0.113.5", 10001),
                                                       buildUnregisterBody("203.0.113.5", 10002)}));
    EXPECT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[GlobalAPI] Server unregistering (background)"), 1u);

    // Stopped for good: no beat after the unregister requests.
    const auto beats = fake->requestsTo(kHeartbeat).size();
    client.stop();
    std::this_thread::sleep_for(100ms);  // a quiet time in which a beat would show
    EXPECT_EQ(fake->requestsTo(kHeartbeat).size(), beats);
    EXPECT_EQ(fake->requestsTo(kUnregister).size(), 3u);
}

TEST_F(DirectoryClientTest, RefusedRegistrationIsLoggedAndTheBeatsGoOn) {
    auto fake = FakeDirectory::make([](const Request& r) {
        return r.path == kRegister ? Answer{500, "no"} : Answer{200, ""};
    });
    GlobalApiClient client(figures(), kHosts, fake->transport(), 10ms);
    client.start("Main", "203.0.113.5", 9987, 32, "", "DE", false);
    EXPECT_TRUE(LogCapture::instance().waitFor(
        LogLevel::Warn, "[GlobalAPI] Initial registration failed – will retry on next heartbeat"));
    ASSERT_TRUE(fake->waitFor(kHeartbeat, 2));
    EXPECT_EQ(fake->requestsTo(kRegister).size(), 1u);  // never sent again
    EXPECT_EQ(fake->requestsTo(kHeartbeat)[0].body,
              buildHeartbeatBody("203.0.113.5", 9987, "Main", "", 0, false, 32, 0, "", ""));
}

TEST_F(DirectoryClientTest, FailedBeatsAreLoggedPerListing) {
    auto fake = FakeDirectory::make([](const Request& r) {
        return r.path == kHeartbeat ? Answer{0, ""} : Answer{200, ""};
    });
    GlobalApiClient client(figures(), kHosts, fake->transport(), 10ms);
    // Added before start: no register request, beaten all the same.
    client.addVirtualServer({"Early", 10005, 4, {}, {}});
    client.start("Main", "203.0.113.5", 9987, 32, "", "DE", true);
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn, "[GlobalAPI] Heartbeat failed"));
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn, "[GlobalAPI] Secondary VS 10005 heartbeat failed"));
    EXPECT_EQ(fake->requestsTo(kRegister).size(), 1u);
    client.stop();
    EXPECT_TRUE(fake->waitFor(kUnregister, 2));
}

TEST_F(DirectoryClientTest, ProvidersThatThrowReportNothing) {
    auto fake = FakeDirectory::make();
    GlobalApiClient client(figures(), kHosts, fake->transport(), 10ms);
    client.start("Main", "203.0.113.5", 9987, 32, "", "DE", true);
    client.setSettingsProvider([]() -> GlobalApiClient::Urls { throw std::runtime_error("database is gone"); });
    client.addVirtualServer({"Side", 10001, 12, []() -> int { throw std::runtime_error("gone"); },
                             []() -> GlobalApiClient::Urls { throw std::runtime_error("gone"); }});
    const std::vector<std::string> pass = {
        buildHeartbeatBody("203.0.113.5", 9987, "Main", "", 0, true, 32, 0, "", ""),
        buildHeartbeatBody("203.0.113.5", 10001, "Side", "", 0, true, 12, 12, "", ""),
    };
    EXPECT_TRUE(eventually([&] { return containsRun(bodies(fake->requestsTo(kHeartbeat)), pass); }));
    EXPECT_TRUE(client.isRunning());
}

TEST_F(DirectoryClientTest, StopIsSerialisedAndAbortsTheBeatInProgress) {
    auto fake = FakeDirectory::make();
    fake->holdRequestsTo(kHeartbeat);
    GlobalApiClient client(figures(), kHosts, fake->transport(), 1ms);
    client.start("Main", "203.0.113.5", 9987, 32, "", "DE", true);
    ASSERT_TRUE(fake->waitHeld());

    // Neither caller returns before the beat has been given up on and the
    // client's thread has ended: the second waits for the first instead of
    // finding the flag cleared and leaving early. The service never answers.
    std::atomic<int> returnedEarly{0};
    const auto stopper = [&] {
        client.stop();
        if (fake->aborted() != 1 || client.isRunning()) ++returnedEarly;
    };
    const auto t0 = std::chrono::steady_clock::now();
    std::thread first(stopper);
    std::thread second(stopper);
    first.join();
    second.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kPromptly);
    EXPECT_EQ(returnedEarly.load(), 0);
    EXPECT_EQ(fake->aborted(), 1u);
    ASSERT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
    EXPECT_EQ(fake->requestsTo(kUnregister).size(), 1u);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[GlobalAPI] Server unregistering (background)"), 1u);
    // A beat that the stop cut short is no failure to report.
    EXPECT_EQ(LogCapture::instance().countContaining("failed"), 0u);
    fake->release();
}

TEST_F(DirectoryClientTest, StopEndsTheWaitBetweenBeatsAtOnce) {
    auto fake = FakeDirectory::make();
    GlobalApiClient client(figures(), kHosts, fake->transport(), 1h);
    client.start("Main", "203.0.113.5", 9987, 32, "", "DE", true);
    const auto t0 = std::chrono::steady_clock::now();
    client.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kPromptly);
    EXPECT_TRUE(fake->requestsTo(kHeartbeat).empty());
}

TEST_F(DirectoryClientTest, UnregisteringRunsInTheBackgroundAndTheExitWaitIsBounded) {
    auto fake = FakeDirectory::make();
    fake->holdRequestsTo(kUnregister);
    {
        GlobalApiClient client(figures(), kHosts, fake->transport(), 1h);
        client.start("Main", "203.0.113.5", 9987, 32, "", "DE", true);
        client.addVirtualServer({"Side", 10001, 8, {}, {}});
        ASSERT_TRUE(fake->waitFor(kRegister, 2));
        client.stop();  // returns while the service sits on the first request
        ASSERT_TRUE(fake->waitHeld());
    }  // the client is gone; its unregister thread still runs on its own copies
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(GlobalApiClient::waitForBackgroundRequests(50ms));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kPromptly);

    fake->release();
    EXPECT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
    EXPECT_EQ(bodies(fake->requestsTo(kUnregister)),
              (std::vector<std::string>{buildUnregisterBody("203.0.113.5", 9987),
                                        buildUnregisterBody("203.0.113.5", 10001)}));
}

TEST_F(DirectoryClientTest, StopBeforeStartAndTheDestructorAreSafe) {
    auto fake = FakeDirectory::make();
    {
        GlobalApiClient idle(figures(), kHosts, fake->transport());
        idle.stop();
    }
    EXPECT_TRUE(fake->requests().empty());
    {
        GlobalApiClient running(figures(), kHosts, fake->transport(), 1h);
        running.start("Main", "203.0.113.5", 9987, 32, "", "DE", true);
    }  // the destructor stops it: the thread is joined, the listing unregistered
    EXPECT_TRUE(fake->waitFor(kUnregister, 1));
}

TEST_F(DirectoryClientTest, SettingsProviderMayBeReplacedWhileBeating) {
    auto fake = FakeDirectory::make();
    GlobalApiClient client(figures(), kHosts, fake->transport(), 1ms);
    client.start("Main", "203.0.113.5", 9987, 32, "", "DE", true);
    for (int i = 0; i < 300; ++i) {
        const std::string icon = "https://x/" + std::to_string(i);
        client.setSettingsProvider([icon] { return GlobalApiClient::Urls{icon, ""}; });
        if (i % 50 == 0) {
            ASSERT_TRUE(fake->waitFor(kHeartbeat, static_cast<std::size_t>(i / 50 + 1)));
        }
    }
    client.setSettingsProvider([] { return GlobalApiClient::Urls{"https://x/last", "https://x/b"}; });
    const std::string last =
        buildHeartbeatBody("203.0.113.5", 9987, "Main", "", 0, true, 32, 0, "https://x/last", "https://x/b");
    EXPECT_TRUE(eventually([&] { return bodies(fake->requestsTo(kHeartbeat)).back() == last; }));
    client.stop();
}

TEST_F(DirectoryClientTest, NeitherStartNorStopWaitsForTheService) {
    struct Case {
        const char* what;
        std::string setting;
        std::string held;  // the request the service never answers
        std::chrono::milliseconds beat;
        std::size_t unregisters;  // none without an address
    };
    const std::vector<Case> cases = {
        {"address lookup", "auto", "/api/myip", 1h, 0},
        {"main register", "203.0.113.5", kRegister, 1h, 2},
        {"beat", "203.0.113.5", kHeartbeat, 1ms, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture::instance().clear();
        auto fake = FakeDirectory::make([](const Request& r) {
            return r.path == "/api/myip" ? Answer{200, "198.51.100.1"} : Answer{200, ""};
        });
        fake->holdRequestsTo(c.held);
        {
            GlobalApiClient client(figures(), kHosts, fake->transport(), c.beat);
            const auto t0 = std::chrono::steady_clock::now();
            client.start("Main", c.setting, 9987, 32, "", "DE", true);
            client.addVirtualServer({"Side", 10001, 8, {}, {}});
            EXPECT_LT(std::chrono::steady_clock::now() - t0, kPromptly);
            ASSERT_TRUE(fake->waitHeld());

            const auto t1 = std::chrono::steady_clock::now();
            client.stop();
            EXPECT_LT(std::chrono::steady_clock::now() - t1, kPromptly);
            EXPECT_EQ(fake->aborted(), 1u) << "the held request was not given up on";
        }
        ASSERT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
        EXPECT_EQ(fake->requestsTo(kUnregister).size(), c.unregisters);
        // After the held request only the unregister requests went out.
        const auto sent = fake->requests();
        const auto held = std::find_if(sent.begin(), sent.end(), [&](const Request& r) { return r.path == c.held; });
        ASSERT_NE(held, sent.end());
        for (auto r = held + 1; r != sent.end(); ++r) EXPECT_EQ(r->path, kUnregister);
        // What a stop cut short is no failure to report.
        EXPECT_EQ(LogCapture::instance().countContaining("fail"), 0u);
        fake->release();
    }
}

TEST_F(DirectoryClientTest, StartUpLinesKeepTheirOrder) {
    auto fake = FakeDirectory::make([](const Request& r) {
        return r.path == "/api/myip" ? Answer{503, ""} : Answer{200, R"({"ip":"198.51.100.7"})"};
    });
    GlobalApiClient client(figures(), kHosts, fake->transport(), 1h);
    client.start("Main", "auto", 9987, 32, "", "DE", true);
    client.addVirtualServer({"Side", 10001, 8, {}, {}});
    client.addVirtualServer({"Other", 10002, 8, {}, {}});
    ASSERT_TRUE(LogCapture::instance().waitFor(LogLevel::Info, "[GlobalAPI] Secondary VS 'Other' registered (port=10002)"));

    std::vector<std::string> said;
    for (const auto& l : LogCapture::instance().lines()) {
        if (l.message.rfind("[GlobalAPI]", 0) == 0) said.push_back(l.message);
    }
    EXPECT_EQ(said, (std::vector<std::string>{
                        "[GlobalAPI] Auto-detecting public IP via /api/myip ...",
                        "[GlobalAPI] /api/myip unreachable or returned no IP — trying fallback",
                        "[GlobalAPI] Public IP detected via echo1.test: 198.51.100.7",
                        "[GlobalAPI] Detected public IP: 198.51.100.7",
                        "[GlobalAPI] Server registered (ip=198.51.100.7, listed=1)",
                        "[GlobalAPI] Secondary VS 'Side' registered (port=10001)",
                        "[GlobalAPI] Secondary VS 'Other' registered (port=10002)",
                    }));
    client.stop();
}

}  // namespace
}  // namespace Korrafin::Test
