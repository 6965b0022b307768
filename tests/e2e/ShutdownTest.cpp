// Stopping the real binary by signal while clients are connected.
#include "e2e/E2eFixture.h"
#include "support/TestClient.h"

namespace Korrafin::Test {
namespace {

using ShutdownTest = E2eTest;

TEST_F(ShutdownTest, SigintAndSigtermStopTheServerWithClientsConnected) {
    const uint16_t ownPort = freePort();
    writeConfig(nlohmann::json::parse(R"([{"id":1},{"id":2,"tcpPort":)" + std::to_string(ownPort) + "}]"));
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        auto server = startReady();
        auto loggedIn = TestClient::dial(tcpPort);
        auto other = TestClient::dial(ownPort);
        auto silent = TestClient::dial(tcpPort);
        ASSERT_TRUE(loggedIn && other && silent);
        ASSERT_TRUE(loggedIn->hello() && loggedIn->login("a"));
        ASSERT_TRUE(other->hello() && other->login("b"));

        const auto exit = server->stopWith(sig);
        ASSERT_TRUE(exit.status) << "still running";
        EXPECT_EQ(*exit.status, 0) << server->output() << server->errors();
        EXPECT_LT(exit.took, kPromptly);

        const std::string out = server->output();
        EXPECT_NE(out.find("\n[Signal " + std::to_string(sig) + "] Shutting down...\n"), std::string::npos);
        EXPECT_NE(out.find("Server stopping..."), std::string::npos);
        EXPECT_NE(out.find("Server shutdown complete"), std::string::npos);
        for (TestClient* c : {loggedIn.get(), other.get(), silent.get()}) EXPECT_TRUE(c->waitClosed());
    }
}

}  // namespace
}  // namespace Korrafin::Test
