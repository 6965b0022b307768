// Server settings, plugin list and virtual-server requests over real
// sockets: who may, what is stored and shown to every session, what the next
// login reads back, and listing, stopping and starting the virtual servers of
// a host (one that serves no port: the requests reach it through sessions
// handed to its virtual servers).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "server/Server.h"
#include "support/LogCapture.h"
#include "support/Requests.h"
#include "support/Time.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/EventSinks.h"

namespace Korrafin::Test {
namespace {

// Every defined role, and a stored value above them (which passes the
// administrator gates).
const std::vector<uint8_t> kRoleBytes = {0, 1, 2, 3, 4, 7};

bool isAdmin(uint8_t role) { return role > 2; }

constexpr const char* kUnderflow = "packet processing error: PacketReader: buffer underflow";

// ---------------------------------------------------------------- settings

DB::DbServerSettings sampleSettings() {
    DB::DbServerSettings s;
    s.name = "Bastelkeller";
    s.description = "Löten, Schrauben, Reden";
    s.icon_url = "https://bilder.example/icon.png";
    s.banner_url = "https://bilder.example/banner.png";
    s.accent_color = 0xFF10AA33;
    s.notify_channel_id = 0xBEEF;
    s.welcome_message = "Willkommen!";
    s.entry_channel_id = 999;  // need not name a channel
    s.badge_config_json = R"({"badges":[]})";
    return s;
}

void expectSameSettings(const DB::DbServerSettings& got, const DB::DbServerSettings& want) {
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.description, want.description);
    EXPECT_EQ(got.icon_url, want.icon_url);
    EXPECT_EQ(got.banner_url, want.banner_url);
    EXPECT_EQ(got.accent_color, want.accent_color);
    EXPECT_EQ(got.notify_channel_id, want.notify_channel_id);
    EXPECT_EQ(got.welcome_message, want.welcome_message);
    EXPECT_EQ(got.entry_channel_id, want.entry_channel_id);
    EXPECT_EQ(got.badge_config_json, want.badge_config_json);
}

// The record as the database gives it back: it keeps the accent colour's
// low 24 bits (the broadcast relays all 32).
DB::DbServerSettings stored(DB::DbServerSettings s) {
    s.accent_color &= 0xFFFFFFu;
    return s;
}

// A requester (client 10, "chef") of the given role byte, a member and a
// session that has not logged in.
struct RoleScene : Scene {
    explicit RoleScene(uint8_t requesterRole, bool withDatabase = true)
        : Scene(static_cast<UserRole>(requesterRole), {.withDatabase = withDatabase}) {}
};

class ServerAdminTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
};

TEST_F(ServerAdminTest, SettingsUpdateByRole) {
    for (uint8_t role : kRoleBytes) {
        SCOPED_TRACE("role " + std::to_string(role));
        RoleScene s(role);
        const auto want = sampleSettings();
        const auto got = s.request(settingsRequest(want));
        if (isAdmin(role)) {
            ASSERT_EQ(typesOf(got), Types{MessageType::ServerSettings}) << "the requester is shown them too";
            expectSameSettings(settingsOf(got[0]), want);
            for (SessionHarness* m : s.others()) {
                const auto seen = receivedSoFar(*m);
                ASSERT_EQ(typesOf(seen), Types{MessageType::ServerSettings});
                expectSameSettings(settingsOf(seen[0]), want);
            }
            expectSameSettings(s.world.vs->getServerSettings(), stored(want));
        } else {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(errorText(got[0]), "Server settings require Admin role");
            for (SessionHarness* m : s.others()) EXPECT_TRUE(receivedSoFar(*m).empty());
            expectSameSettings(s.world.vs->getServerSettings(), DB::DbServerSettings{});
        }
    }
}

TEST_F(ServerAdminTest, SettingsWithoutBadgeAreStoredWithAnEmptyOneAndLogged) {
    RoleScene s(3);
    auto want = sampleSettings();
    s.request(settingsRequest(want));
    want.badge_config_json.clear();
    want.welcome_message.clear();
    const auto got = s.request(settingsRequest(want, /*withBadge=*/false));
    ASSERT_EQ(typesOf(got), Types{MessageType::ServerSettings});
    expectSameSettings(settingsOf(got[0]), want);
    expectSameSettings(s.world.vs->getServerSettings(), stored(want));

    auto& log = LogCapture::instance();
    EXPECT_EQ(log.count(LogLevel::Info,
                        "Client 10 (chef) updated server settings: name='Bastelkeller', notifyChannelId=48879, "
                        "entryChannelId=999, hasWelcome=1, hasBadgeConfig=1"),
              1u);
    EXPECT_EQ(log.count(LogLevel::Info,
                        "Client 10 (chef) updated server settings: name='Bastelkeller', notifyChannelId=48879, "
                        "entryChannelId=999, hasWelcome=0, hasBadgeConfig=0"),
              1u);
}

TEST_F(ServerAdminTest, ShortSettingsChangeAndSendNothing) {
    const auto full = settingsRequest(sampleSettings(), false);
    // Cut into the entry channel id, into the welcome text, and into the
    // accent colour.
    for (std::size_t cut : {std::size_t{1}, std::size_t{5}, std::size_t{2 + 2 + 13 + 2}}) {
        SCOPED_TRACE("cut by " + std::to_string(cut));
        RoleScene s(4);
        LogCapture::instance().clear();
        EXPECT_TRUE(s.request(cutShort(full, cut)).empty());
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, std::string("Client 10: ") + kUnderflow), 1u);
        expectSameSettings(s.world.vs->getServerSettings(), DB::DbServerSettings{});
        for (SessionHarness* m : s.others()) EXPECT_TRUE(receivedSoFar(*m).empty());
    }
}

TEST_F(ServerAdminTest, WithoutADatabaseSettingsAreStillShownButNotKept) {
    RoleScene s(3, /*withDatabase=*/false);
    const auto want = sampleSettings();
    const auto got = s.request(settingsRequest(want));
    ASSERT_EQ(typesOf(got), Types{MessageType::ServerSettings});
    expectSameSettings(settingsOf(got[0]), want);
    expectSameSettings(s.world.vs->getServerSettings(), DB::DbServerSettings{});
}

// What the next client to log in is shown is what was stored.
TEST_F(ServerAdminTest, TheNextLoginReadsTheNewSettings) {
    RoleScene s(4);
    const auto want = sampleSettings();
    s.request(settingsRequest(want));

    auto late = connectTo(s.world.vs, 50, "127.0.0.1", SessionHarness::Transport::Unix);
    late->client.send(helloRequest());
    late->client.send(authRequest("spaet"));
    const auto shown = late->client.waitFor(MessageType::ServerSettings);
    ASSERT_TRUE(shown) << "no settings at login";
    expectSameSettings(settingsOf(*shown), stored(want));
}

// ---------------------------------------------------------------- plugins

class FakePlugins : public PluginHost {
public:
    explicit FakePlugins(std::vector<PluginInfo> list) : list_(std::move(list)) {}
    void onChatMessage(uint32_t, uint16_t, const std::string&, const std::string&, uint64_t) override {}
    std::vector<PluginInfo> getLoadedPlugins() const override { return list_; }

private:
    std::vector<PluginInfo> list_;
};

TEST_F(ServerAdminTest, PluginListByRoleIsEmptyWithoutAPluginHost) {
    for (uint8_t role : kRoleBytes) {
        SCOPED_TRACE("role " + std::to_string(role));
        RoleScene s(role);
        const auto got = s.request(packet(MessageType::PluginListRequest));
        if (isAdmin(role)) {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_TRUE(pluginsOf(got[0]).empty());
        } else {
            EXPECT_TRUE(got.empty()) << "no answer at all";
        }
        for (SessionHarness* m : s.others()) EXPECT_TRUE(receivedSoFar(*m).empty());
    }
}

TEST_F(ServerAdminTest, PluginListShowsTheLoadedPluginsInLoadOrder) {
    RoleScene s(3);
    FakePlugins plugins({{"wetter", "1.2", "Ada", "Sagt das Wetter an", true},
                         {"riesig", "1", "Bob", std::string(70000, 'x'), true},  // cannot be listed
                         {"wuerfel", "0.1", "", "", true}});
    s.world.vs->pluginLoader.store(&plugins);
    const auto got = s.request(packet(MessageType::PluginListRequest));
    s.world.vs->pluginLoader.store(nullptr);
    ASSERT_EQ(got.size(), 1u);
    const auto listed = pluginsOf(got[0]);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, "wetter");
    EXPECT_EQ(listed[0].version, "1.2");
    EXPECT_EQ(listed[0].author, "Ada");
    EXPECT_EQ(listed[0].description, "Sagt das Wetter an");
    EXPECT_EQ(listed[1].name, "wuerfel");
}

// ---------------------------------------------------------------- virtual servers

// A host that was never started (no database, no listener, no port of any
// kind) with three virtual servers, and sessions handed to them with the
// host set, as the host's accept loops do.
class VServerRequestsTest : public ServerAdminTest {
protected:
    void SetUp() override {
        ServerAdminTest::SetUp();
        ASSERT_TRUE(host.createVServer(vsConfig(1, "Eins", 70000)));
        ASSERT_TRUE(host.createVServer(vsConfig(2, "Zwei")));
        ASSERT_TRUE(host.createVServer(vsConfig(3, "Drei", 5)));
    }
    void TearDown() override { sessions.clear(); }

    SessionHarness& attach(uint16_t vsId, uint32_t clientId, const std::string& nick, uint8_t role) {
        sessions.push_back(
            admit(host.getVServer(vsId), clientId, {.nickname = nick, .role = static_cast<UserRole>(role), .host = &host}));
        return *sessions.back();
    }

    std::vector<VServerRecord> list(SessionHarness& requester) {
        const auto got = requestAndWait(requester, packet(MessageType::VServerListRequest));
        if (got.size() != 1) {
            ADD_FAILURE() << "expected one VServerList, got " << got.size() << " packets";
            return {};
        }
        return vserversOf(got[0]);
    }

    Server host;  // declared first: the sessions go before it
    std::vector<std::unique_ptr<SessionHarness>> sessions;
};

TEST_F(VServerRequestsTest, EachRequestByRole) {
    uint32_t nextId = 100;
    for (uint8_t role : kRoleBytes) {
        SCOPED_TRACE("role " + std::to_string(role));
        auto& requester = attach(1, ++nextId, "r", role);
        auto& target = attach(2, ++nextId, "t", 1);

        auto got = requestAndWait(requester, packet(MessageType::VServerListRequest));
        ASSERT_EQ(got.size(), 1u);
        if (isAdmin(role)) {
            EXPECT_EQ(vserversOf(got[0]).size(), 3u);
        } else {
            EXPECT_EQ(errorText(got[0]), "Admin role required");
        }

        got = requestAndWait(requester, idRequest(MessageType::VServerStop, 2));
        if (isAdmin(role)) {
            EXPECT_TRUE(got.empty()) << "no reply";
            EXPECT_TRUE(target.client.waitClosed());
            EXPECT_FALSE(host.isVServerRunning(2));
        } else {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(errorText(got[0]), "Admin role required");
            EXPECT_TRUE(host.isVServerRunning(2));
            EXPECT_FALSE(target.session->isClosed());
        }

        got = requestAndWait(requester, idRequest(MessageType::VServerStart, 2));
        if (isAdmin(role)) {
            EXPECT_TRUE(got.empty()) << "no reply";
        } else {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(errorText(got[0]), "Admin role required");
        }
        EXPECT_TRUE(host.isVServerRunning(2));
        sessions.clear();
    }
}

TEST_F(ServerAdminTest, WithoutAHostEvenTheOwnerIsRefused) {
    RoleScene s(4);
    for (MessageType type : {MessageType::VServerListRequest, MessageType::VServerStop, MessageType::VServerStart}) {
        const auto got = s.request(type == MessageType::VServerListRequest ? packet(type) : idRequest(type, 7));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(errorText(got[0]), "Admin role required");
    }
    for (SessionHarness* m : s.others()) EXPECT_TRUE(receivedSoFar(*m).empty());
}

TEST_F(VServerRequestsTest, TheListShowsEveryVirtualServerInRegistryOrder) {
    auto& admin = attach(1, 11, "admin", 3);
    attach(1, 12, "noch einer", 1);
    attach(3, 13, "drei", 1);
    auto* pending = sessions.emplace_back(std::make_unique<SessionHarness>(14, SessionHarness::Transport::Unix)).get();
    ASSERT_TRUE(host.getVServer(3)->acceptSession(pending->session));  // not logged in: counted all the same
    ASSERT_TRUE(host.pauseVServer(2));

    const auto listed = list(admin);
    std::vector<uint16_t> order;
    for (const auto& v : listed) order.push_back(v.id);
    std::vector<uint16_t> registry;
    for (const auto& vs : host.allVServers()) registry.push_back(vs->id());
    EXPECT_EQ(order, registry);

    ASSERT_EQ(listed.size(), 3u);
    const auto one = listedVServer(listed, 1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->name, "Eins");
    EXPECT_EQ(one->tcpPort, 0);
    EXPECT_EQ(one->maxSlots, static_cast<uint16_t>(70000)) << "the low 16 bits";
    EXPECT_EQ(one->users, 2);
    EXPECT_EQ(one->running, 1);
    const auto two = listedVServer(listed, 2);
    ASSERT_TRUE(two);
    EXPECT_EQ(two->name, "Zwei");
    EXPECT_EQ(two->running, 0) << "paused, still listed";
    const auto three = listedVServer(listed, 3);
    ASSERT_TRUE(three);
    EXPECT_EQ(three->maxSlots, 5);
    EXPECT_EQ(three->users, 2);
    EXPECT_EQ(three->running, 1);
}

// A virtual server taken out of the registry while the list is being
// written is still read through the reference the list holds.
TEST_F(VServerRequestsTest, ListingWhileVirtualServersComeAndGo) {
    auto& admin = attach(1, 11, "admin", 4);
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (int i = 0; !done.load(); ++i) {
            host.createVServer(vsConfig(static_cast<uint16_t>(10 + i % 8), "Wechsel"));
            host.removeVServer(static_cast<uint16_t>(10 + (i + 4) % 8));
        }
    });
    for (int i = 0; i < 100; ++i) {
        const auto listed = list(admin);
        ASSERT_GE(listed.size(), 3u);
        for (const auto& v : listed) {
            if (v.id >= 10) {
                EXPECT_EQ(v.name, "Wechsel");
            }
        }
    }
    done.store(true);
    churn.join();
}

TEST_F(VServerRequestsTest, StoppingAndStartingAnotherVirtualServer) {
    auto& admin = attach(1, 11, "admin", 3);
    auto& there = attach(2, 21, "dort", 1);
    auto& log = LogCapture::instance();

    EXPECT_TRUE(requestAndWait(admin, idRequest(MessageType::VServerStop, 2)).empty());
    EXPECT_TRUE(there.client.waitClosed()) << "its sessions are disconnected";
    EXPECT_FALSE(admin.session->isClosed());
    EXPECT_EQ(log.count(LogLevel::Info, "Client 11 (admin) stopped vserver 2"), 1u);
    EXPECT_EQ(log.count(LogLevel::Info, "Disconnecting client 21: Server shutting down"), 1u);
    ASSERT_TRUE(eventually([&] { return host.getVServer(2)->slotUsage() == 0; }));
    const auto paused = list(admin);
    const auto two = listedVServer(paused, 2);
    ASSERT_TRUE(two);
    EXPECT_EQ(two->running, 0);
    EXPECT_EQ(two->users, 0);

    log.clear();
    EXPECT_TRUE(requestAndWait(admin, idRequest(MessageType::VServerStop, 2)).empty());
    EXPECT_EQ(log.count(LogLevel::Info, "Client 11 (admin) stopped vserver 2"), 1u) << "a paused server stays paused";
    EXPECT_EQ(log.count(LogLevel::Info, "VS 2 paused"), 0u);

    EXPECT_TRUE(requestAndWait(admin, idRequest(MessageType::VServerStart, 2)).empty());
    EXPECT_EQ(log.count(LogLevel::Info, "Client 11 (admin) started vserver 2"), 1u);
    EXPECT_EQ(log.count(LogLevel::Info, "VS 2 resumed on port 0"), 1u);
    const auto resumed = list(admin);
    ASSERT_TRUE(listedVServer(resumed, 2));
    EXPECT_EQ(listedVServer(resumed, 2)->running, 1);
    auto& back = attach(2, 22, "wieder da", 1);
    EXPECT_FALSE(back.session->isClosed());

    log.clear();
    EXPECT_TRUE(requestAndWait(admin, idRequest(MessageType::VServerStart, 1)).empty());
    EXPECT_EQ(log.count(LogLevel::Info, "Client 11 (admin) started vserver 1"), 1u) << "running already";
    EXPECT_EQ(log.countContaining("resumed"), 0u);

    EXPECT_TRUE(requestAndWait(admin, idRequest(MessageType::VServerStop, 99)).empty());
    EXPECT_TRUE(requestAndWait(admin, idRequest(MessageType::VServerStart, 99)).empty());
    EXPECT_EQ(log.count(LogLevel::Info, "Client 11 (admin) failed to stop vserver 99"), 1u);
    EXPECT_EQ(log.count(LogLevel::Info, "Client 11 (admin) failed to start vserver 99"), 1u);

    log.clear();
    EXPECT_TRUE(requestAndWait(admin, packet(MessageType::VServerStop)).empty());
    EXPECT_EQ(log.count(LogLevel::Warn, std::string("Client 11: ") + kUnderflow), 1u);
    for (uint16_t id : {1, 2, 3}) EXPECT_TRUE(host.isVServerRunning(id));
}

TEST_F(VServerRequestsTest, StoppingTheRequestersOwnVirtualServerDisconnectsItToo) {
    auto& admin = attach(3, 31, "admin", 4);
    auto& neighbour = attach(3, 32, "nachbar", 1);
    auto& elsewhere = attach(1, 11, "woanders", 1);
    admin.client.send(idRequest(MessageType::VServerStop, 3));
    EXPECT_TRUE(admin.client.waitClosed());
    EXPECT_TRUE(neighbour.client.waitClosed());
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Info, "Client 31 (admin) stopped vserver 3"));
    EXPECT_FALSE(host.isVServerRunning(3));
    EXPECT_FALSE(elsewhere.session->isClosed());
}

}  // namespace
}  // namespace Korrafin::Test
