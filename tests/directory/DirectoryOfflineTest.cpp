// The directory client with no network at all: the test runs in a namespace
// where only loopback is up and the service's names resolve nowhere. Every
// request fails at once, and a server starts and ends as it would with the
// service down, without waiting on it.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "directory/DirectoryRequests.h"
#include "directory/GlobalApiClient.h"
#include "server/Server.h"
#include "support/LogCapture.h"
#include "support/ServerHost.h"
#include "support/Time.h"

namespace Korrafin::Test {
namespace {

using namespace std::chrono_literals;

// libcurl's global set-up once before any thread starts, as main does it.
const bool kCurlReady = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}();

TEST(DirectoryOffline, NoServiceHostAnswers) {
    ASSERT_TRUE(kCurlReady);
    for (const char* host : {KORRAFIN_DIRECTORY_HOST, KORRAFIN_DIRECTORY_ADDR_HOST, KORRAFIN_DIRECTORY_ADDR2_HOST}) {
        SCOPED_TRACE(host);
        int status = -1;
        std::string answer;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(platformHttpRequest("GET", host, "/", "", status, &answer));
        EXPECT_EQ(status, 0);
        EXPECT_EQ(answer, "");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, kPromptly);
    }
    std::string address = "untouched";
    EXPECT_FALSE(GlobalApiClient::detectPublicIp(address));
    EXPECT_EQ(address, "untouched");
}

TEST(DirectoryOffline, AServerStartsAndEndsWithoutAnyNetwork) {
    ASSERT_TRUE(kCurlReady);
    struct Case {
        std::string publicIp;
        std::string warning;  // what start-up says about the directory
        bool unregisters;
    };
    const std::vector<Case> cases = {
        {"auto",
         "[GlobalAPI] Could not detect public IP — GlobalAPI disabled. Set globalApi.publicIp manually in server.json",
         false},
        {"203.0.113.5", "[GlobalAPI] Initial registration failed – will retry on next heartbeat", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.publicIp);
        LogCapture::instance().clear();
        ServerConfig cfg;
        cfg.globalApi = {{"publicIp", c.publicIp}, {"listed", true}};
        const auto t0 = std::chrono::steady_clock::now();
        auto host = std::make_unique<Host>(cfg);
        ASSERT_TRUE(host->ok) << "start-up must not depend on the directory";
        EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn, c.warning));
        host.reset();
        EXPECT_TRUE(GlobalApiClient::waitForBackgroundRequests(kPromptly));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, kPromptly);
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[GlobalAPI] Server unregistering (background)"),
                  c.unregisters ? 1u : 0u);
    }
}

}  // namespace
}  // namespace Korrafin::Test
