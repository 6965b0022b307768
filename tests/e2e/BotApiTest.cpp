// The bot API of the real binary: started with the server on its configured
// port, bound to the virtual server of the main port, and closed with the
// process.
#include <filesystem>
#include <string>

#include "e2e/E2eFixture.h"
#include "support/BotClient.h"
#include "support/TestClient.h"

namespace Korrafin::Test {
namespace {

class BotApiTest : public E2eTest {
protected:
    // A bot token in the master database before the server first opens it.
    void seedToken(const std::string& name) {
        std::filesystem::create_directories(path("data"));
        DB::SqliteDatabase db(path("data/server.db"));
        initQuietly(db);
        DB::DbBotToken t;
        t.token = "tok-" + name;
        t.bot_name = name;
        db.SaveBotToken(t);
    }
};

TEST_F(BotApiTest, BotsHearTheMainVirtualServerUntilTheServerStops) {
    writeConfig();
    seedToken("Helper");
    auto server = startReady();
    const std::string port = std::to_string(config.botApiPort);
    EXPECT_NE(server->output().find("[BotAPI] Bot API server listening on port " + port), std::string::npos);
    EXPECT_NE(server->output().find("Bot API server started on port " + port), std::string::npos);

    auto bot = BotClient::dial(config.botApiPort);
    ASSERT_TRUE(bot);
    EXPECT_EQ(bot->auth("tok-Helper"), (BotReply{0, "Authenticated as: Helper"}));

    auto anna = TestClient::dial(tcpPort);
    ASSERT_TRUE(anna && anna->hello() && anna->login("anna"));
    auto joined = bot->waitFor(MessageType::BotEvent);
    ASSERT_TRUE(joined);
    EXPECT_EQ(joined->bytes(),
              botEventFrame(1, R"({"clientId":)" + std::to_string(anna->clientId) + R"(,"nickname":"anna","channelId":1})"));
    EXPECT_EQ(bot->command(4)->code, 0);

    stopCleanly(*server);
    EXPECT_TRUE(bot->waitClosed());
}

TEST_F(BotApiTest, ABotPortInUseLeavesTheServerRunningWithoutIt) {
    writeConfig();
    PortHolder taken(config.botApiPort);
    auto server = startReady();
    EXPECT_NE(server->output().find("Bot API server failed to start on port " + std::to_string(config.botApiPort)),
              std::string::npos);
    auto anna = TestClient::dial(tcpPort);
    ASSERT_TRUE(anna && anna->hello());
    EXPECT_TRUE(anna->login("anna"));
    stopCleanly(*server);
}

}  // namespace
}  // namespace Korrafin::Test
