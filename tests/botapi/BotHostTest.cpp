// The bot API inside the host in this process: made at start-up on its own
// port, bound to the first virtual server, attached to virtual servers made
// later, ended with a token that a client revokes, and stopped before the
// virtual servers go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "db/SqliteDatabase.h"
#include "support/BotClient.h"
#include "support/LogCapture.h"
#include "support/Ports.h"
#include "support/Requests.h"
#include "support/ServerHost.h"
#include "support/TestClient.h"
#include "support/Time.h"
#include "support/VServerWorld.h"

namespace Korrafin::Test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr uint8_t kListUsers = 4;

class BotHostTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    void TearDown() override { stopServing(); }

    // Virtual servers 1 and 2 with ports of their own (key "k1"); 2 keeps a
    // database file of its own when asked.
    void boot(bool ownDatabaseFor2 = false) {
        port1 = freePort();
        port2 = freePort();
        json vs2 = {{"id", 2}, {"name", "Zwei"}, {"serverKey", "k1"}, {"tcpPort", port2}};
        ServerConfig cfg;
        if (ownDatabaseFor2) vs2["dbPath"] = dir.file("zwei.db");
        cfg.virtualServers = json::array({{{"id", 1}, {"name", "Eins"}, {"serverKey", "k1"}, {"tcpPort", port1}}, vs2});
        host = std::make_unique<Host>(cfg);
        ASSERT_TRUE(host->ok);
        runner = std::thread([this] { host->server->run(); });
        ASSERT_TRUE(eventually([this] { return host->server->isRunning(); }));
        first = host->server->allVServers().front()->id();
        other = first == 1 ? 2 : 1;
    }
    void stopServing() {
        if (!runner.joinable()) return;
        host->server->stop();
        runner.join();
    }
    Server& server() { return *host->server; }
    uint16_t portOf(uint16_t vsId) const { return vsId == 1 ? port1 : vsId == 2 ? port2 : port3; }

    // A bot token of the master database; its row id.
    int64_t addToken(const std::string& name) {
        DB::DbBotToken t;
        t.token = "tok-" + name;
        t.bot_name = name;
        return server().masterDatabase()->SaveBotToken(t);
    }
    std::unique_ptr<BotClient> botAs(const std::string& name) {
        auto bot = BotClient::dial(host->config.botApiPort);
        EXPECT_TRUE(bot && bot->login("tok-" + name));
        return bot;
    }
    // A client logged in on virtual server `vsId` (an admin with the key).
    std::unique_ptr<TestClient> clientOn(uint16_t vsId, const std::string& nick, const std::string& key = "") {
        auto c = TestClient::dial(portOf(vsId));
        EXPECT_TRUE(c && c->hello() && c->login(nick, key)) << nick;
        return c;
    }

    TempDir dir;
    std::unique_ptr<Host> host;
    std::thread runner;
    uint16_t port1 = 0, port2 = 0, port3 = 0;
    uint16_t first = 0, other = 0;
};

TEST_F(BotHostTest, TheFirstVirtualServerAndThoseMadeLaterReachTheBotsButNoOtherConfiguredOne) {
    boot();
    const std::string port = std::to_string(host->config.botApiPort);
    auto& log = LogCapture::instance();
    EXPECT_EQ(log.count(LogLevel::Info, "[BotAPI] Bot API server listening on port " + port), 1u);
    EXPECT_EQ(log.count(LogLevel::Info, "Bot API server started on port " + port), 1u);
    EXPECT_NE(server().getVServer(first)->botApi.load(), nullptr);
    EXPECT_EQ(server().getVServer(other)->botApi.load(), nullptr);

    addToken("Helper");
    auto bot = botAs("Helper");

    // The other configured one: nothing.
    auto quiet = clientOn(other, "stumm");
    quiet->chat("not for bots");
    untilHandled(*quiet);
    // The first one: its join, and the commands act on it.
    auto anna = clientOn(first, "anna");
    auto joined = bot->nextEvent();
    ASSERT_TRUE(joined);
    EXPECT_EQ(*joined, (BotEventText{1, R"({"clientId":)" + std::to_string(anna->clientId) +
                                            R"(,"nickname":"anna","channelId":1})"}));
    EXPECT_EQ(bot->command(kListUsers),
              (BotReply{0, R"([{"clientId":)" + std::to_string(anna->clientId) +
                               R"(,"nickname":"anna","channelId":1}])"}));
    EXPECT_EQ(typesOf(bot->seen), (Types{MessageType::BotAuthResult, MessageType::BotEvent,
                                         MessageType::BotCommandResult}))
        << "the other server's login and chat raised nothing";

    // One made after start-up raises events as well.
    port3 = freePort();
    ASSERT_TRUE(server().createVServer(vsConfig(3, "Drei", 32, port3)));
    auto late = clientOn(3, "spaet");
    late->chat("hallo");
    const auto j = bot->nextEvent();
    const auto c = bot->nextEvent();
    ASSERT_TRUE(j && c);
    EXPECT_EQ(j->type, 1);
    EXPECT_EQ(*c, (BotEventText{3, R"({"clientId":)" + std::to_string(late->clientId) +
                                       R"(,"nickname":"spaet","text":"hallo"})"}));
}

TEST_F(BotHostTest, CommandsOfABotWhoseVirtualServerWasRemovedAreRefused) {
    boot();
    addToken("Helper");
    auto bot = botAs("Helper");
    EXPECT_EQ(bot->command(kListUsers), (BotReply{0, "[]"}));
    ASSERT_TRUE(server().removeVServer(first));
    EXPECT_EQ(bot->command(kListUsers), (BotReply{255, R"({"error":"No virtual server"})"}));
}

TEST_F(BotHostTest, RevokingATokenEndsTheBotsLoggedInWithIt) {
    boot(/*ownDatabaseFor2=*/true);
    const int64_t alpha = addToken("Alpha");
    const int64_t beta = addToken("Beta");
    auto a = botAs("Alpha");
    auto b = botAs("Beta");

    // The same id in a virtual server's own database is another token.
    auto admin2 = clientOn(2, "admin2", "k1");
    admin2->send(botRevokeRequest(static_cast<uint64_t>(alpha)));
    untilHandled(*admin2);
    EXPECT_EQ(a->command(kListUsers)->code, 0) << "still logged in";

    // Virtual server 1 keeps its tokens in the master database, whether or
    // not the bot API is bound to it.
    auto admin1 = clientOn(1, "admin1", "k1");
    admin1->send(botRevokeRequest(static_cast<uint64_t>(alpha)));
    EXPECT_TRUE(a->waitClosed());
    EXPECT_FALSE(server().masterDatabase()->GetBotToken("tok-Alpha"));
    auto again = BotClient::dial(host->config.botApiPort);
    EXPECT_EQ(again->auth("tok-Alpha")->code, 30);

    // The panel's way in.
    EXPECT_EQ(b->command(kListUsers)->code, 0);
    server().onBotTokenRevoked(beta);
    EXPECT_TRUE(b->waitClosed());
}

TEST_F(BotHostTest, ABotPortInUseIsAWarningAndStartUpGoesOn) {
    ServerConfig cfg;
    PortHolder taken(cfg.botApiPort);
    host = std::make_unique<Host>(cfg);
    ASSERT_TRUE(host->ok);
    const std::string port = std::to_string(cfg.botApiPort);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Error, "[BotAPI] Bind failed on port " + port), 1u);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "Bot API server failed to start on port " + port), 1u);

    runner = std::thread([this] { host->server->run(); });
    ASSERT_TRUE(eventually([this] { return host->server->isRunning(); }));
    auto c = TestClient::dial(cfg.tcpPort);
    ASSERT_TRUE(c && c->hello());
    EXPECT_TRUE(c->login("anna")) << "the events of the bound server go nowhere";
    c->chat("hallo");
    untilHandled(*c);
}

TEST_F(BotHostTest, DestroyingTheHostEndsTheBotsBeforeTheVirtualServersGo) {
    boot();
    addToken("Helper");
    auto anna = clientOn(first, "anna");
    auto watcher = botAs("Helper");
    auto busy = botAs("Helper");
    std::atomic<bool> done{false};
    // A bot that keeps moving a client while the host goes: its commands
    // reach the virtual server and raise events to the end.
    std::thread commands([&] {
        const std::string args = R"({"clientId":)" + std::to_string(anna->clientId) + R"(,"channelId":1})";
        while (!busy->closed()) {
            try {
                busy->send(botCommandFrame(3, args));
                busy->waitFor(MessageType::BotCommandResult, 2000ms);
            } catch (const std::exception&) {
                break;
            }
        }
        done.store(true);
    });
    ASSERT_TRUE(watcher->nextEvent()) << "events flow";

    stopServing();
    host.reset();
    EXPECT_TRUE(watcher->waitClosed());
    commands.join();
    EXPECT_TRUE(done.load());
}

}  // namespace
}  // namespace Korrafin::Test
