// The real binary with the example plugin in its "plugins" directory: loaded
// at start-up, answering a client, shut down at exit.
#include <filesystem>
#include <string>

#include "e2e/E2eFixture.h"
#include "support/TestClient.h"


namespace Korrafin::Test {
namespace {

using PluginsTest = E2eTest;

TEST_F(PluginsTest, TheServerLoadsItsPluginsDirectoryAndShutsThePluginsDownAtExit) {
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    std::filesystem::create_directories(path("plugins"));
    std::filesystem::copy_file(BuildPaths::exampleLobbyHelper, path("plugins/lobby_helper.so"));
    auto server = startReady();
    EXPECT_NE(server->output().find("PluginLoader: loaded 'Helper' v1.0 by Korrafin"), std::string::npos);

    auto client = TestClient::dial(tcpPort);
    ASSERT_TRUE(client && client->hello() && client->login("ana"));
    client->chat("!ping");
    const auto pong = client->waitFor(MessageType::ChatMessage, 5000ms,
                                       [](const Packet& p) { return chatOf(p).nickname == "[Helper]"; });
    ASSERT_TRUE(pong);
    EXPECT_EQ(chatOf(*pong).senderId, 0u);
    EXPECT_EQ(chatOf(*pong).text, "pong");

    client.reset();
    stopCleanly(*server);
    EXPECT_NE(server->output().find("[Helper] shutting down"), std::string::npos);
}

}  // namespace
}  // namespace Korrafin::Test
