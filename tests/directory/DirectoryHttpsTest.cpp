// The directory client over real HTTPS, against the fake service on this
// machine: the test runs where the service's names map to 127.0.0.1 and a
// throw-away CA is the system's trust (loopback-netns.sh --host). What is
// checked is what reaches the service: methods, paths, headers and bodies
// byte for byte; and that a service which cannot prove its name, redirects
// or does not answer gets nothing out of the client.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "directory/DirectoryRequests.h"
#include "directory/GlobalApiClient.h"
#include "server/Server.h"
#include "support/HttpsFake.h"
#include "support/LogCapture.h"
#include "support/ServerHost.h"
#include "support/Time.h"

namespace Korrafin::Test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

// libcurl's global set-up once before any thread starts, as main does it.
const bool kCurlReady = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}();

constexpr const char* kRegister = "/api/servers/register";
constexpr const char* kHeartbeat = "/api/servers/heartbeat";
constexpr const char* kUnregister = "/api/servers/unregister";

json answer(int status, const std::string& body = "") { return {{"status", status}, {"body", body}}; }

std::vector<std::string> bodies(const std::vector<HttpsFake::Request>& requests) {
    std::vector<std::string> out;
    for (const auto& r : requests) out.push_back(r.body);
    return out;
}

// True when `part` occurs in `all` as consecutive elements.
bool containsRun(const std::vector<std::string>& all, const std::vector<std::string>& part) {
    for (std::size_t i = 0; i + part.size() <= all.size(); ++i) {
        if (std::equal(part.begin(), part.end(), all.begin() + static_cast<std::ptrdiff_t>(i))) return true;
    }
    return false;
}

class DirectoryHttpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kCurlReady);
        LogCapture::instance().clear();
    }
    void TearDown() override {
        // No unregister request of one test runs into the next one's fake.
        EXPECT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
    }

    // A client of the built-in hosts over the real transport, beating often.
    static std::unique_ptr<GlobalApiClient> client(GlobalApiClient::HostFigures figures = {},
                                                   std::chrono::milliseconds beat = 1h) {
        return std::make_unique<GlobalApiClient>(std::move(figures), GlobalApiClient::Hosts::builtIn(),
                                                 GlobalApiClient::platformTransport(), beat);
    }
};

// Every request with a body carries it as JSON with its exact length; every
// one names the service's host and the client.
void expectWellFormed(const HttpsFake::Request& r) {
    SCOPED_TRACE(r.method + " " + r.path);
    EXPECT_EQ(r.header("Host"), std::string(KORRAFIN_DIRECTORY_HOST));
    EXPECT_EQ(r.header("User-Agent"), std::string("Korrafin-Server/1.0"));
    if (r.method == "GET") {
        EXPECT_EQ(r.body, "");
        EXPECT_EQ(r.header("Content-Type"), std::nullopt);
    } else {
        EXPECT_EQ(r.header("Content-Type"), std::string("application/json"));
        EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    }
}

TEST_F(DirectoryHttpsTest, RegisterBeatAndUnregisterReachTheServiceByteForByte) {
    HttpsFake fake(json{{"routes", {{"GET /api/myip", answer(200, R"({"ip": "198.51.100.23"})")}}},
                    {"default", answer(200, "{}")}});
    std::atomic<int> users{3};
    // Client text with every byte the escaping changes (a tab among them),
    // and a UTF-8 letter, which it does not.
    const std::string name = "Haupt \"Eins\"\nK\xc3\xa4se\\";
    const std::string description = "a\r\nb\tc";
    {
        auto c = client({[&] { return users.load(); }, [] { return 44; }}, 300ms);
        c->start(name, "auto", 9987, 32, description, "AT", true);
        // As start-up does it: the URLs come after the first register.
        c->setSettingsProvider([] { return GlobalApiClient::Urls{"https://i.example/icon.png", "b\"n"}; });
        c->addVirtualServer({"Zweit", 10001, 12, [] { return 2; },
                             [] { return GlobalApiClient::Urls{"https://i.example/2.png", ""}; }});
        ASSERT_TRUE(c->isRunning());

        const std::vector<std::string> pass = {
            R"({"ip":"198.51.100.23","port":9987,"name":"Haupt \"Eins\"\nK)"
            "\xc3\xa4"
            R"(se\\","description":"a\r\nb\tc","current_users":3,"max_slots":32,"listed":true,"total_slots_configured":44,)"
            R"("icon_url":"https://i.example/icon.png","banner_url":"b\"n"})",
            R"({"ip":"198.51.100.23","port":10001,"name":"Zweit","description":"","current_users":2,)"
            R"("max_slots":12,"listed":true,"total_slots_configured":12,"icon_url":"https://i.example/2.png",)"
            R"("banner_url":""})",
        };
        EXPECT_TRUE(eventually([&] { return containsRun(bodies(fake.requests("POST", kHeartbeat)), pass); }))
            << "no beat of both listings among:\n"
            << ::testing::PrintToString(bodies(fake.requests("POST", kHeartbeat)));
        c->stop();
    }
    ASSERT_TRUE(fake.waitForRequests(1 + 2 + 2 + 2));
    ASSERT_TRUE(eventually([&] { return fake.requests("DELETE", kUnregister).size() == 2; }));

    const auto all = fake.requests();
    EXPECT_EQ(all.front().method + " " + all.front().path, "GET /api/myip") << "the address is asked first";
    for (const auto& r : all) expectWellFormed(r);

    // The first register carries no users and empty URLs: the provider came
    // after it.
    EXPECT_EQ(bodies(fake.requests("POST", kRegister)),
              (std::vector<std::string>{
                  R"({"name":"Haupt \"Eins\"\nK)"
                  "\xc3\xa4"
                  R"(se\\","ip":"198.51.100.23","port":9987,"description":"a\r\nb\tc","country":"AT","current_users":0,"max_slots":32,"password_protected":false,)"
                  R"("version":"1.0.0","listed":true,"icon_url":"","banner_url":""})",
                  R"({"name":"Zweit","ip":"198.51.100.23","port":10001,"description":"","country":"AT",)"
                  R"("current_users":2,"max_slots":12,"password_protected":false,"version":"1.0.0","listed":true,)"
                  R"("icon_url":"https://i.example/2.png","banner_url":""})",
              }));
    // The last two requests: main listing first, then the secondary.
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(bodies(std::vector<HttpsFake::Request>(all.end() - 2, all.end())),
              (std::vector<std::string>{R"({"ip":"198.51.100.23","port":9987})",
                                        R"({"ip":"198.51.100.23","port":10001})"}));
    EXPECT_EQ(fake.requests("DELETE", kUnregister).size(), 2u);
}

TEST_F(DirectoryHttpsTest, DetectionAsksEachServiceByItsOwnName) {
    HttpsFake fake(json{{"routes",
                     {{"GET /api/myip", answer(404, "198.51.100.1")},
                      {"GET /?format=json", answer(503, R"({"ip":"198.51.100.2"})")},
                      {"GET /", answer(200, "203.0.113.77\r\n")}}}});
    auto c = client();
    std::string address;
    ASSERT_TRUE(c->autoDetectIp(address));
    EXPECT_EQ(address, "203.0.113.77");

    std::vector<std::string> asked;
    for (const auto& r : fake.requests()) {
        asked.push_back(r.method + " " + r.header("Host").value_or("?") + " " + r.path);
        EXPECT_EQ(r.body, "");
        EXPECT_EQ(r.header("User-Agent"), std::string("Korrafin-Server/1.0"));
    }
    EXPECT_EQ(asked, (std::vector<std::string>{std::string("GET ") + KORRAFIN_DIRECTORY_HOST + " /api/myip",
                                               std::string("GET ") + KORRAFIN_DIRECTORY_ADDR_HOST + " /?format=json",
                                               std::string("GET ") + KORRAFIN_DIRECTORY_ADDR2_HOST + " /"}));
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, std::string("[GlobalAPI] Fallback ") +
                                                               KORRAFIN_DIRECTORY_ADDR_HOST + " failed too (HTTP 503)"),
              1u);

    // The same lookups without a log line.
    LogCapture::instance().clear();
    std::string quiet;
    EXPECT_TRUE(GlobalApiClient::detectPublicIp(quiet));
    EXPECT_EQ(quiet, "203.0.113.77");
    EXPECT_EQ(LogCapture::instance().countContaining("[GlobalAPI]"), 0u);
}

TEST_F(DirectoryHttpsTest, ARedirectIsReportedNeverFollowed) {
    // Following a 307 or 308 would even send the body on to the new place.
    const std::vector<int> codes = {301, 302, 303, 307, 308};
    json routes = json::object();
    for (const int code : codes) {
        routes["/moved/" + std::to_string(code)] = {
            {"status", code},
            {"headers", {{"Location", std::string("https://") + KORRAFIN_DIRECTORY_HOST + "/followed"}}}};
    }
    HttpsFake fake(json{{"routes", routes}, {"default", answer(200)}});
    for (const int code : codes) {
        for (const char* method : {"POST", "DELETE", "GET"}) {
            SCOPED_TRACE(std::to_string(code) + " " + method);
            int status = -1;
            std::string text;
            EXPECT_FALSE(platformHttpRequest(method, KORRAFIN_DIRECTORY_HOST, "/moved/" + std::to_string(code),
                                             std::string(method) == "GET" ? "" : R"({"ip":"x","port":1})", status,
                                             &text));
            EXPECT_EQ(status, code);
        }
    }
    EXPECT_EQ(fake.requests().size(), codes.size() * 3);
    for (const char* method : {"POST", "DELETE", "GET"}) EXPECT_TRUE(fake.requests(method, "/followed").empty());
}

TEST_F(DirectoryHttpsTest, OnlyAServiceThatProvesItsNameGetsARequest) {
    struct Case {
        const char* what;
        HttpsFake::Cert cert;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"certificate for the name from the trusted CA", HttpsFake::Cert::Trusted, true},
        {"certificate from a CA nobody trusts", HttpsFake::Cert::Untrusted, false},
        {"trusted certificate for another name", HttpsFake::Cert::WrongHost, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HttpsFake fake(json{{"routes", {{"GET /api/myip", answer(200, "198.51.100.5")}}}, {"default", answer(200)}},
                       c.cert);
        int status = -1;
        EXPECT_EQ(platformHttpRequest("POST", KORRAFIN_DIRECTORY_HOST, kRegister, R"({"ip":"x","port":1})", status,
                                      nullptr),
                  c.ok);
        EXPECT_EQ(status, c.ok ? 200 : 0);
        std::string address;
        EXPECT_EQ(GlobalApiClient::detectPublicIp(address), c.ok);

        // Start-up with detection: a service that cannot prove itself
        // leaves the client disabled, with nothing sent.
        LogCapture::instance().clear();
        auto client = DirectoryHttpsTest::client();
        client->start("Main", "auto", 9987, 32, "", "DE", true);
        if (c.ok) {
            EXPECT_TRUE(eventually([&] { return fake.requests("POST", kRegister).size() == 2; }));
        } else {
            EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn,
                                                       "[GlobalAPI] Could not detect public IP — GlobalAPI disabled. "
                                                       "Set globalApi.publicIp manually in server.json"));
        }
        EXPECT_EQ(client->isRunning(), c.ok);
        client->stop();
        if (c.ok) {
            EXPECT_EQ(fake.requests("POST", kRegister).size(), 2u);
        } else {
            EXPECT_TRUE(fake.requests().empty()) << "a request reached a service that did not prove its name";
        }
        if (c.cert == HttpsFake::Cert::Untrusted) {
            // The client did reach the fake: it turned the certificate down.
            EXPECT_TRUE(eventually([&] { return fake.tlsFailures() > 0; }));
        }
        EXPECT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
    }
}

// Slow: ten seconds of a service that does not answer.
TEST_F(DirectoryHttpsTest, ARequestWithoutAnswerEndsAfterTenSeconds) {
    HttpsFake fake(json{{"routes", {{"POST /api/servers/register", {{"status", 200}, {"delay", 40}}}}}});
    int status = -1;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(platformHttpRequest("POST", KORRAFIN_DIRECTORY_HOST, kRegister, "{}", status, nullptr));
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(status, 0);
    EXPECT_GE(took, 9500ms);
    EXPECT_LT(took, 30s);
    EXPECT_EQ(fake.requests("POST", kRegister).size(), 1u) << "the request did go out";
    EXPECT_EQ(fake.answers("POST", kRegister), 0u);
}

TEST_F(DirectoryHttpsTest, StopDuringABeatAbortsItThenUnregisters) {
    // The service takes the beat and never answers it.
    HttpsFake fake(json{{"routes", {{"POST /api/servers/heartbeat", {{"status", 200}, {"delay", 600}}}}},
                    {"default", answer(200)}});
    auto c = client({}, 50ms);
    c->start("Main", "203.0.113.5", 9987, 32, "", "DE", true);
    c->addVirtualServer({"Zweit", 10001, 12, {}, {}});
    ASSERT_TRUE(eventually([&] { return fake.requests("POST", kHeartbeat).size() == 1; }));

    const auto t0 = std::chrono::steady_clock::now();
    c->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kPromptly) << "stop waited for the service";
    ASSERT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
    EXPECT_EQ(bodies(fake.requests("DELETE", kUnregister)),
              (std::vector<std::string>{R"({"ip":"203.0.113.5","port":9987})",
                                        R"({"ip":"203.0.113.5","port":10001})"}));
    // The beat was given up on before the unregister requests, and no beat
    // followed it.
    EXPECT_EQ(fake.answers("POST", kHeartbeat), 0u);
    EXPECT_EQ(fake.requests("POST", kHeartbeat).size(), 1u);
    const auto events = fake.events();
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 3),
              (std::vector<std::string>{"request POST " + std::string(kRegister), "answer POST " + std::string(kRegister),
                                        "request POST " + std::string(kRegister)}));
    EXPECT_LT(std::find(events.begin(), events.end(), "request POST " + std::string(kHeartbeat)),
              std::find(events.begin(), events.end(), "request DELETE " + std::string(kUnregister)));
    EXPECT_EQ(LogCapture::instance().countContaining("failed"), 0u);
}

TEST_F(DirectoryHttpsTest, AStopEndsARequestAtOnce) {
    struct Case {
        const char* what;
        json scenario;
    };
    const std::vector<Case> cases = {
        {"handshake never completes", json{{"handshake", "stall"}}},
        {"no answer", json{{"default", {{"status", 200}, {"delay", 600}}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HttpsFake fake(c.scenario);
        const auto reached = [&] { return fake.stalledConnections() + fake.requests().size(); };

        // A stop that came first: nothing goes out.
        std::stop_source early;
        early.request_stop();
        int status = -1;
        EXPECT_FALSE(platformHttpRequest("POST", KORRAFIN_DIRECTORY_HOST, kRegister, "{}", status, nullptr,
                                         early.get_token()));
        EXPECT_EQ(status, 0);

        // A stop while the service holds the request.
        std::stop_source source;
        std::chrono::steady_clock::time_point stoppedAt;
        std::thread stopper([&] {
            if (!eventually([&] { return reached() > 0; })) return;
            stoppedAt = std::chrono::steady_clock::now();
            source.request_stop();
        });
        std::string text;
        EXPECT_FALSE(platformHttpRequest("POST", KORRAFIN_DIRECTORY_HOST, kRegister, "{}", status, &text,
                                         source.get_token()));
        const auto ended = std::chrono::steady_clock::now();
        stopper.join();
        ASSERT_TRUE(source.stop_requested());
        EXPECT_EQ(status, 0);
        EXPECT_EQ(text, "");
        // Without the stop it would run into its 10-second time-out.
        EXPECT_LT(ended - stoppedAt, 5s) << "the request outlived its stop";
        EXPECT_EQ(reached(), 1u) << "the early request reached the service";
    }
}

// The host at start-up: the main listing for the main port, one secondary
// listing per virtual server with its own port; at its end the unregister
// requests for all of them.
TEST_F(DirectoryHttpsTest, StartUpListsEveryVirtualServerWithItsOwnPort) {
    HttpsFake fake(json{{"default", answer(200)}});
    ServerConfig cfg;
    const uint16_t port2 = freePort();
    const uint16_t port3 = freePort();
    cfg.globalApi = {{"publicIp", "203.0.113.5"}, {"listed", true}, {"description", "Hier"}, {"country", "NL"}};
    cfg.virtualServers = json::array({
        {{"id", 1}, {"name", "Eins"}, {"serverKey", "k1"}, {"maxSlots", 20}},
        {{"id", 2}, {"name", "Zwei"}, {"serverKey", "k1"}, {"maxSlots", 5}, {"tcpPort", port2}},
        {{"id", 3}, {"name", "Drei"}, {"serverKey", "k1"}, {"maxSlots", 7}, {"tcpPort", port3}},
    });
    auto host = std::make_unique<Host>(cfg);
    ASSERT_TRUE(host->ok);
    const uint16_t mainPort = host->server->tcpPort();

    // In registry order: the first is the main listing, those with a port of
    // their own are the secondary ones.
    const auto vservers = host->server->allVServers();
    ASSERT_EQ(vservers.size(), 3u);
    const auto first = vservers.front()->config();
    std::vector<std::string> registers = {
        R"({"name":")" + first.name + R"(","ip":"203.0.113.5","port":)" + std::to_string(mainPort) +
        R"(,"description":"Hier","country":"NL","current_users":0,"max_slots":)" + std::to_string(first.maxSlots) +
        R"(,"password_protected":false,"version":"1.0.0","listed":true,"icon_url":"","banner_url":""})"};
    std::vector<std::string> unregisters = {R"({"ip":"203.0.113.5","port":)" + std::to_string(mainPort) + "}"};
    for (const auto& vs : vservers) {
        const auto c = vs->config();
        if (c.tcpPort == 0) continue;
        registers.push_back(R"({"name":")" + c.name + R"(","ip":"203.0.113.5","port":)" + std::to_string(c.tcpPort) +
                            R"(,"description":"","country":"NL","current_users":0,"max_slots":)" +
                            std::to_string(c.maxSlots) +
                            R"(,"password_protected":false,"version":"1.0.0","listed":true,"icon_url":"",)"
                            R"("banner_url":""})");
        unregisters.push_back(R"({"ip":"203.0.113.5","port":)" + std::to_string(c.tcpPort) + "}");
    }
    ASSERT_EQ(registers.size(), 3u);
    ASSERT_TRUE(eventually([&] { return fake.requests("POST", kRegister).size() == registers.size(); }));
    EXPECT_EQ(bodies(fake.requests("POST", kRegister)), registers);
    EXPECT_TRUE(
        LogCapture::instance().waitFor(LogLevel::Info, "[GlobalAPI] Server registered (ip=203.0.113.5, listed=1)"));

    host.reset();
    ASSERT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPatience));
    EXPECT_EQ(bodies(fake.requests("DELETE", kUnregister)), unregisters);
    for (const auto& r : fake.requests()) expectWellFormed(r);
}

}  // namespace
}  // namespace Korrafin::Test
