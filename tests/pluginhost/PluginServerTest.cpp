// Plugins in a serving host: the built objects are copied into the plugin
// directory of a server in this process, and clients on its ports see what
// the plugins do. Runs in a loopback-only network namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestPlugins.h"
#include "pluginhost/PluginLoader.h"
#include "support/LogCapture.h"
#include "support/ServerHost.h"
#include "support/TestClient.h"
#include "support/Time.h"
#include "support/UdpPeer.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
namespace plugin = kt::plugin;
using namespace std::chrono_literals;
using kt::LogCapture;
using kt::Packet;
using nlohmann::json;

class PluginServerTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    void TearDown() override { stopServing(); }

    // A serving host with these virtual servers and these plugin files.
    void boot(const json& virtualServers, const std::vector<std::pair<std::string, std::string>>& plugins) {
        for (const auto& [built, name] : plugins) kt::installPlugin(built, pluginDir.path(), name);
        kt::ServerConfig cfg;
        cfg.virtualServers = virtualServers;
        host = std::make_unique<kt::Host>(cfg, [this](kt::Host& h) {
            Server& s = *h.server;
            s.setPluginHostFactory(PluginLoader::factory(s.voiceRelay(), pluginDir.path().string()));
        });
        ASSERT_TRUE(host->ok);
        runner = std::thread([this] { server().run(); });
        ASSERT_TRUE(kt::eventually([this] { return server().isRunning(); }));
    }
    Server& server() { return *host->server; }
    uint16_t mainPort() const { return host->config.tcpPort; }

    void stopServing() {
        if (!runner.joinable()) return;
        server().stop();
        runner.join();
    }

    // Connected, greeted and logged in (admin with the key "k").
    static std::unique_ptr<kt::TestClient> enter(uint16_t port, const std::string& nickname,
                                                 const std::string& key = "") {
        auto c = kt::TestClient::dial(port);
        if (!c || !c->hello() || !c->login(nickname, key)) {
            ADD_FAILURE() << nickname << " could not log in";
            return nullptr;
        }
        return c;
    }

    // The next chat line a plugin sent (sender 0 under a bracketed name).
    static std::optional<kt::ChatLine> pluginSays(kt::TestClient& c, std::chrono::milliseconds timeout = 5000ms) {
        const auto p = c.waitFor(MessageType::ChatMessage, timeout, [](const Packet& p) {
            const auto line = kt::chatOf(p);
            return line.senderId == 0 && line.nickname.starts_with("[");
        });
        if (!p) return std::nullopt;
        return kt::chatOf(*p);
    }

    // What the plugin answered to `command` from `from`, as each of the
    // (same-channel) clients saw it.
    static std::vector<std::string> ask(kt::TestClient& from, const std::string& command,
                                        const std::vector<kt::TestClient*>& everyone) {
        from.chat(command);
        std::vector<std::string> seen;
        for (auto* c : everyone) seen.push_back(pluginSays(*c).value_or(kt::ChatLine{}).text);
        return seen;
    }

    static std::vector<PluginInfo> pluginList(kt::TestClient& c) {
        c.send(kt::packet(MessageType::PluginListRequest));
        const auto p = c.waitFor(MessageType::PluginList);
        if (!p) {
            ADD_FAILURE() << "no plugin list";
            return {};
        }
        return kt::pluginsOf(*p);
    }

    kt::TempDir pluginDir;
    std::unique_ptr<kt::Host> host;
    std::thread runner;
};

TEST_F(PluginServerTest, TheExamplePluginAnswersWithEveryKindOfHostCall) {
    boot(json::parse(R"([{"id":1,"name":"Eins","serverKey":"k"}])"), {{plugin::lobbyHelper, "lobby_helper.so"}});
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[Helper] ready on Eins"), 1u);
    auto alice = enter(mainPort(), "alice", "k");
    auto bob = enter(mainPort(), "bob");
    ASSERT_TRUE(alice && bob);

    const auto listed = pluginList(*alice);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "Helper");
    EXPECT_EQ(listed[0].version, "1.0");
    EXPECT_EQ(listed[0].author, "Korrafin");

    // A command that answers in the channel, numbered after the command.
    alice->chat("!ping");
    const auto own = alice->waitFor(MessageType::ChatMessage);
    ASSERT_TRUE(own);
    const auto pong = pluginSays(*alice);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->nickname, "[Helper]");
    EXPECT_EQ(pong->text, "pong");
    EXPECT_EQ(pong->channelId, 1);
    EXPECT_EQ(pong->messageId, kt::chatOf(*own).messageId + 1);
    const auto pongAtBob = pluginSays(*bob);
    ASSERT_TRUE(pongAtBob);
    EXPECT_EQ(pongAtBob->text, "pong");

    // User and channel queries.
    const std::vector<kt::TestClient*> both = {alice.get(), bob.get()};
    const auto twice = [](const std::string& text) { return std::vector<std::string>{text, text}; };
    EXPECT_EQ(ask(*bob, "!whoami", both), twice("bob is member in Lobby (voice, 2 users)"));
    EXPECT_EQ(ask(*alice, "!whoami", both), twice("alice is admin in Lobby (voice, 2 users)"));
    EXPECT_EQ(ask(*bob, "!who", both), twice("2 online on Eins"));

    // A direct message to the sender alone.
    bob->chat("!dm");
    const auto dm = bob->waitFor(MessageType::DirectMessage);
    ASSERT_TRUE(dm);
    EXPECT_EQ(kt::directOf(*dm).senderId, 0u);
    EXPECT_EQ(kt::directOf(*dm).nickname, "[Helper]");
    EXPECT_EQ(kt::directOf(*dm).text, "Hello bob, only you can read this.");

    // A timer.
    EXPECT_EQ(ask(*alice, "!remind 1", both), twice("Reminding you in 1 s"));
    EXPECT_EQ(pluginSays(*alice).value_or(kt::ChatLine{}).text, "Reminder!");

    // Voice into the sender's channel, to members whose address the relay knows.
    kt::UdpPeer ear;
    ear.sendTo(host->config.udpPort, kt::voiceDatagram(bob->clientId, 1, bob->channel, 0, {1, 2}));
    ASSERT_TRUE(kt::eventually([&] { return server().voiceRelay().endpointOf(bob->clientId).has_value(); }));
    bob->chat("!beep");
    const auto tone = ear.receive(5000ms);
    ASSERT_TRUE(tone);
    const auto header = VoicePacketHeader::parse(tone->data());
    EXPECT_EQ(header.senderId, UdpVoiceServer::kInjectSenderId);
    EXPECT_EQ(header.payloadType, UdpVoiceServer::kPcmPayloadType);
    EXPECT_EQ(header.channelId, bob->channel);
    EXPECT_EQ(tone->size(), 20u + 960u * 2u);

    alice->drain(200ms);
    for (const auto& p : alice->seen) EXPECT_NE(p.type, MessageType::DirectMessage) << "bob's message is his alone";
}

TEST_F(PluginServerTest, OneObjectForTwoVirtualServersGetsTwoContexts) {
    const uint16_t port1 = kt::freePort();
    const uint16_t port2 = kt::freePort();
    boot(json::array({{{"id", 1}, {"name", "Eins"}, {"tcpPort", port1}},
                      {{"id", 2}, {"name", "Zwei"}, {"tcpPort", port2}}}),
         {{plugin::probe, "probe.so"}});
    // Both inits got timer id 1 from their own loader; a thread of the
    // plugin's own got -1.
    EXPECT_EQ(LogCapture::instance().count("[Probe] init 0: timeout 1, own thread -1"), 1u);
    EXPECT_EQ(LogCapture::instance().count("[Probe] init 1: timeout 1, own thread -1"), 1u);

    auto one = enter(port1, "eins");
    auto two = enter(port2, "zwei");
    ASSERT_TRUE(one && two);
    std::set<std::string> answers;
    for (auto* c : {one.get(), two.get()}) {
        c->chat("ctx");
        const auto said = pluginSays(*c);
        ASSERT_TRUE(said);
        EXPECT_EQ(said->nickname, "[Probe]");
        answers.insert(said->text);
    }
    EXPECT_EQ(answers, (std::set<std::string>{"ctx 0", "ctx 1"})) << "each virtual server's plugin has its own context";

    one.reset();
    two.reset();
    stopServing();
    host.reset();
    EXPECT_EQ(LogCapture::instance().count("[Probe] shutdown 0"), 1u);
    EXPECT_EQ(LogCapture::instance().count("[Probe] shutdown 1"), 1u);
}

TEST_F(PluginServerTest, AVirtualServerCreatedLaterHasNoPlugins) {
    boot(json::parse(R"([{"id":1,"name":"Eins"}])"), {{plugin::probe, "probe.so"}});
    auto early = enter(mainPort(), "early");
    ASSERT_TRUE(early);
    early->chat("echo here");
    EXPECT_EQ(pluginSays(*early).value_or(kt::ChatLine{}).text, "here");

    const uint16_t port = kt::freePort();
    VirtualServer::VSConfig cfg;
    cfg.id = 5;
    cfg.name = "Later";
    cfg.serverKey = "k";
    cfg.tcpPort = port;
    ASSERT_TRUE(server().createVServer(cfg));
    auto late = enter(port, "late", "k");
    ASSERT_TRUE(late);
    late->chat("echo here");
    // The list request is handled after the chat on the same connection:
    // an answer of a plugin would have come before it.
    EXPECT_TRUE(pluginList(*late).empty());
    for (const auto& p : late->seen) {
        if (p.type != MessageType::ChatMessage) continue;
        EXPECT_NE(kt::chatOf(p).nickname, "[Probe]") << kt::chatOf(p).text;
    }
}

}  // namespace
}  // namespace Korrafin
