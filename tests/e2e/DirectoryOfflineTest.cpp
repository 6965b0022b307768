// The real binary with no network at all (only loopback, and the directory's
// names resolve nowhere): it starts, serves and ends as promptly as ever,
// whether it has to detect its address or is told it.
#include <chrono>
#include <string>
#include <vector>

#include "e2e/E2eFixture.h"
#include "support/TestClient.h"

namespace Korrafin::Test {
namespace {

using DirectoryOfflineTest = E2eTest;

TEST_F(DirectoryOfflineTest, TheServerStartsServesAndEndsWithoutAnyNetwork) {
    struct Case {
        std::string publicIp;
        std::string line;  // what start-up says about the directory
    };
    const std::vector<Case> cases = {
        {"auto",
         "[GlobalAPI] Could not detect public IP — GlobalAPI disabled. Set globalApi.publicIp manually in server.json"},
        {"203.0.113.5", "[GlobalAPI] Initial registration failed – will retry on next heartbeat"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.publicIp);
        config.globalApi = {{"publicIp", c.publicIp}, {"listed", true}};
        writeConfig();
        const auto t0 = std::chrono::steady_clock::now();
        auto server = startReady();
        // Start-up ends with the directory: the line is its last word.
        EXPECT_TRUE(server->waitForOutput(c.line)) << server->output();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, kPromptly);

        auto client = TestClient::dial(tcpPort);
        ASSERT_TRUE(client && client->hello() && client->login("offline"));

        const auto t1 = std::chrono::steady_clock::now();
        stopCleanly(*server);
        EXPECT_LT(std::chrono::steady_clock::now() - t1, kPromptly);
    }
}

}  // namespace
}  // namespace Korrafin::Test
