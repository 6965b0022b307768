// The pages end to end in the system Chromium: the real server binary with
// its panel, a connected client whose nickname is markup, and the browser
// flow of browser/panel-flow.cjs (login, every view, a virtual server
// created, edited, stopped, started and deleted, the client kicked, a key
// and a bot token made and revoked, logout). Runs in a loopback-only
// namespace, and the flow fails on any request that leaves loopback.
#include <regex>
#include <string>

#include "e2e/E2eFixture.h"
#include "support/BuildPaths.h"
#include "support/TestClient.h"


namespace Korrafin::Test {
namespace {

using BrowserTest = E2eTest;

TEST_F(BrowserTest, AnAdministratorManagesTheServerThroughThePages) {
    const std::string nickname = "<img src=x onerror=alert(1)>";
    config.webPanelPort = freePort();
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    auto server = startReady();
    ASSERT_TRUE(server->waitForOutput("Web panel gestartet"));
    std::smatch m;
    const std::string out = server->output();
    ASSERT_TRUE(std::regex_search(out, m, std::regex("\n   Passwort : (\\S+)\n"))) << out;
    const std::string password = m[1];

    auto client = TestClient::dial(tcpPort);
    ASSERT_TRUE(client && client->hello() && client->login(nickname));

    const std::string vsPort = std::to_string(freePort());
    ServerProcess flow(BuildPaths::node, dir.path().string(),
                       {BuildPaths::panelFlow, BuildPaths::nodeModules,
                        "http://127.0.0.1:" + std::to_string(config.webPanelPort), password, nickname, vsPort});
    const auto status = flow.waitExit(240s);
    ASSERT_TRUE(status) << "the browser flow did not finish:\n" << flow.output() << flow.errors();
    EXPECT_EQ(*status, 0) << flow.output() << "\n--- stderr:\n" << flow.errors();

    EXPECT_TRUE(client->waitClosed()) << "the client was kicked";
    const auto saved = nlohmann::json::parse(readFile(path("server.json")))["virtualServers"];
    ASSERT_EQ(saved.size(), 1u) << saved.dump() << ": the created server is deleted again";
    EXPECT_EQ(saved[0]["name"], "Eins");
    stopCleanly(*server);
}

}  // namespace
}  // namespace Korrafin::Test
