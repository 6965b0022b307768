// The panel's API on a real host in this process: every endpoint with and
// without a session, its success and failure answers, what it changes in the
// registry, the master database and the configuration file; and how start-up
// and shutdown start and stop the panel.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "db/SqliteDatabase.h"
#include "support/LogCapture.h"
#include "support/Ports.h"
#include "support/ServerHost.h"
#include "support/TestClient.h"
#include "support/TestDatabase.h"
#include "support/Time.h"
#include "webpanel/HttpClient.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
using namespace std::chrono_literals;
using kt::LogCapture;
using nlohmann::json;

const json kOk = json::parse(R"({"ok":true,"data":null})");
json failure(const std::string& text) { return json{{"error", text}, {"ok", false}}; }
json createFailure(uint16_t port) {
    return failure("Failed to create VS \xE2\x80\x93 port " + std::to_string(port) + " may already be in use");
}
const json kNotSaved = failure("Configuration file could not be written");

// Every path under the given folders.
std::set<std::string> pathsUnder(const std::vector<std::filesystem::path>& roots) {
    std::set<std::string> out;
    for (const auto& root : roots) {
        for (const auto& e : std::filesystem::recursive_directory_iterator(root)) out.insert(e.path().string());
    }
    return out;
}

std::vector<int> idsOf(const json& list) {
    std::vector<int> ids;
    for (const auto& e : list) ids.push_back(e.at("id").get<int>());
    return ids;
}

// The list in `answer`'s data, ordered by the given members (sessions and
// channels come in the order of their own tables).
json sortedBy(const json& answer, const std::vector<std::string>& keys) {
    std::vector<json> items(answer.at("data").begin(), answer.at("data").end());
    std::sort(items.begin(), items.end(), [&](const json& a, const json& b) {
        for (const auto& k : keys) {
            if (a.at(k) != b.at(k)) return a.at(k) < b.at(k);
        }
        return false;
    });
    return json(items);
}

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        oldCwd = std::filesystem::current_path();
    }
    void TearDown() override {
        stopServing();
        host.reset();
        std::filesystem::current_path(oldCwd);
    }

    // A host with the panel on, serving, and a logged-in client. `masterDb`,
    // when given, is its "server.dbPath" as written in the file.
    void boot(const json& virtualServers, const std::string& masterDb = {}) {
        kt::ServerConfig cfg;
        cfg.virtualServers = virtualServers;
        cfg.webPanelPort = panelPort;
        // The host works in its own folder, as the server in its
        // installation: relative database paths are read from there, and
        // the master database lies in its data/ unless the test moves it.
        host = std::make_unique<kt::Host>(cfg, [&masterDb](kt::Host& h) {
            std::filesystem::current_path(h.dir.path());
            if (masterDb.empty()) return;
            h.config.dbPath = masterDb;
            h.config.write(h.path);
        });
        ASSERT_TRUE(host->ok);
        runner = std::thread([this] { host->server->run(); });
        ASSERT_TRUE(kt::eventually([this] { return host->server->isRunning(); }));
        ASSERT_TRUE(panel.login(password()));
    }
    void stopServing() {
        if (!runner.joinable()) return;
        host->server->stop();
        runner.join();
    }
    Server& server() { return *host->server; }
    std::string password() { return server().masterDatabase()->GetSetting("web_panel_password", ""); }
    json configuredVServers() { return json::parse(kt::readFile(host->path)).at("virtualServers"); }

    const uint16_t panelPort = kt::freePort();
    kt::PanelClient panel{panelPort};
    std::unique_ptr<kt::Host> host;
    std::thread runner;
    std::filesystem::path oldCwd;
};

const std::vector<std::string> kEndpoints = {
    "dashboard",       "users",           "channels",       "kick",           "privkeys",       "privkey_create",
    "privkey_revoke",  "bottokens",       "bottoken_create", "bottoken_revoke", "vservers",       "vserver_create",
    "vserver_delete",  "vserver_update",  "vserver_stop",   "vserver_start"};

TEST_F(ApiTest, EveryEndpointAnswersUnauthorizedWithoutAValidSession) {
    boot(json::parse(R"([{"id":1,"name":"Eins"}])"));
    kt::PanelClient stranger(panelPort);
    kt::PanelClient forged(panelPort);
    forged.token = std::string(32, 'a');
    for (const auto& name : kEndpoints) {
        for (auto* c : {&stranger, &forged}) {
            const kt::HttpReply r = c->post("/api/" + name, {{"id", "1"}, {"clientId", "1"}});
            EXPECT_EQ(r.statusLine, "HTTP/1.1 401 Unauthorized") << name;
            EXPECT_EQ(r.json(), failure("Unauthorized")) << name;
            EXPECT_EQ(c->get("/api/" + name).status(), 401) << name;
        }
    }
    EXPECT_EQ(server().allVServers().size(), 1u) << "nothing was changed";
    EXPECT_EQ(panel.get("/api/dashboard").status(), 200) << "while the real session works";
}

TEST_F(ApiTest, TheOverviewListsShowEveryConnectionChannelAndServer) {
    const uint16_t own = kt::freePort();
    boot(json::array({{{"id", 1}, {"name", "Eins"}, {"maxSlots", 5}},
                      {{"id", 2}, {"name", "Zwei"}, {"tcpPort", own}}}));
    auto anna = kt::TestClient::dial(own);
    ASSERT_TRUE(anna && anna->hello() && anna->login("anna"));
    auto silent = kt::TestClient::dial(own);  // connected, never logged in
    ASSERT_TRUE(kt::eventually([&] { return server().getVServer(2)->allSessions().size() == 2; }));

    const json users = panel.get("/api/users").json();
    ASSERT_EQ(users["ok"], true);
    EXPECT_EQ(sortedBy(users, {"clientId"}),
              json::parse(R"([{"channelId":1,"channelName":"Lobby","clientId":)" + std::to_string(anna->clientId) +
                          R"(,"ip":"127.0.0.1","nickname":"anna","vsId":2},
                              {"channelId":0,"channelName":"","clientId":)" +
                          std::to_string(anna->clientId + 1) + R"(,"ip":"127.0.0.1","nickname":"","vsId":2}])"));

    const json channels = panel.get("/api/channels").json();
    EXPECT_EQ(sortedBy(channels, {"vsId"}), json::parse(R"([
        {"id":1,"maxUsers":0,"name":"Lobby","type":0,"userCount":0,"vsId":1},
        {"id":1,"maxUsers":0,"name":"Lobby","type":0,"userCount":1,"vsId":2}])"));

    json dash = panel.get("/api/dashboard").json();
    ASSERT_EQ(dash["ok"], true);
    std::sort(dash["data"]["vservers"].begin(), dash["data"]["vservers"].end(),
              [](const json& a, const json& b) { return a["id"] < b["id"]; });
    EXPECT_EQ(dash["data"], json::parse(R"({"bottokens":0,"channels":2,"privkeys":1,"users":2,"vservers":[
        {"id":1,"maxSlots":5,"name":"Eins","slots":0},{"id":2,"maxSlots":32,"name":"Zwei","slots":2}]})"))
        << "the start-up key of the master database counts";

    // The raw text is the library's compact form, members by name.
    EXPECT_TRUE(panel.get("/api/channels").body.starts_with(R"({"ok":true,"data":[{"id":1,"maxUsers":0,)"));
    silent.reset();
}

TEST_F(ApiTest, KickDisconnectsTheClientWithTheGivenReason) {
    boot(json::parse(R"([{"id":1,"name":"Eins"}])"));
    auto a = kt::TestClient::dial(host->config.tcpPort);
    auto b = kt::TestClient::dial(host->config.tcpPort);
    ASSERT_TRUE(a && a->hello() && a->login("a"));
    ASSERT_TRUE(b && b->hello() && b->login("b"));

    // Refusals first; a number beyond 32 bits would wrap onto client `a`.
    const std::string wrapped = std::to_string((uint64_t{1} << 32) + a->clientId);
    const std::vector<std::pair<kt::PanelClient::Fields, std::string>> refusals = {
        {{}, "Missing clientId"},
        {{{"reason", "x"}}, "Missing clientId"},
        {{{"clientId", "9999"}}, "User not found or kick failed"},
        {{{"clientId", wrapped}}, "User not found or kick failed"},
        {{{"clientId", "-" + std::to_string(a->clientId)}}, "User not found or kick failed"},
        {{{"clientId", "abc"}}, "User not found or kick failed"},
    };
    for (const auto& [fields, text] : refusals) EXPECT_EQ(panel.call("kick", fields), failure(text));
    EXPECT_FALSE(a->waitClosed(200ms)) << "nobody was kicked";

    EXPECT_EQ(panel.call("kick", {{"clientId", " " + std::to_string(a->clientId)}, {"reason", ""}}), kOk);
    EXPECT_TRUE(a->waitClosed());
    EXPECT_EQ(panel.call("kick", {{"clientId", std::to_string(b->clientId)}}), kOk);
    EXPECT_TRUE(b->waitClosed());
    auto& log = LogCapture::instance();
    EXPECT_EQ(log.count("Disconnecting client " + std::to_string(a->clientId) + ": Kicked: "), 1u);
    EXPECT_EQ(log.count("Disconnecting client " + std::to_string(b->clientId) + ": Kicked: Kicked by admin"), 1u);
}

TEST_F(ApiTest, PrivilegeKeysAreCreatedListedAndRevoked) {
    boot(json::parse(R"([{"id":1,"name":"Eins"}])"));
    auto db = server().masterDatabase();
    const std::vector<std::pair<kt::PanelClient::Fields, std::string>> types = {
        {{}, "serveradmin"},           {{{"type", "mod"}}, "mod"},       {{{"type", "admin"}}, "admin"},
        {{{"type", "owner"}}, "serveradmin"}, {{{"type", ""}}, "serveradmin"}, {{{"type", "MOD"}}, "serveradmin"},
    };
    std::set<std::string> tokens;
    for (const auto& [fields, type] : types) {
        const json r = panel.call("privkey_create", fields);
        ASSERT_EQ(r["ok"], true);
        const std::string token = r["data"]["token"];
        EXPECT_EQ(r["data"].size(), 1u);
        EXPECT_EQ(token.size(), 32u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
        tokens.insert(token);
        ASSERT_TRUE(db->GetPrivilegeKey(token));
        EXPECT_EQ(db->GetPrivilegeKey(token)->type, type);
    }
    EXPECT_EQ(tokens.size(), types.size()) << "every key is new";

    // Descriptions are cut to 128 bytes, never inside a character.
    const std::string umlauts = std::string(127, 'x') + "\xC3\xA4";
    const std::string cut = panel.call("privkey_create", {{"description", std::string(300, 'd')}})["data"]["token"];
    const std::string cutChar = panel.call("privkey_create", {{"description", umlauts}})["data"]["token"];
    EXPECT_EQ(db->GetPrivilegeKey(cut)->description, std::string(128, 'd'));
    EXPECT_EQ(db->GetPrivilegeKey(cutChar)->description, std::string(127, 'x'));

    const json list = panel.get("/api/privkeys").json();
    ASSERT_EQ(list["ok"], true);
    const json newest = list["data"][0];
    EXPECT_EQ(newest["token"], cutChar) << "newest first";
    EXPECT_EQ(newest["used"], false);
    EXPECT_NEAR(newest["createdAt"].get<double>(), static_cast<double>(kt::unixNow()), 60);
    EXPECT_EQ(std::vector<std::string>({"createdAt", "description", "id", "token", "type", "used"}),
              [&] {
                  std::vector<std::string> names;
                  for (const auto& [k, v] : newest.items()) names.push_back(k);
                  return names;
              }());

    const std::string id = std::to_string(newest["id"].get<int64_t>());
    for (int i = 0; i < 2; ++i) EXPECT_EQ(panel.call("privkey_revoke", {{"id", id}}), kOk) << "revoking twice is fine";
    EXPECT_EQ(panel.get("/api/privkeys").json()["data"][0]["used"], true);
    EXPECT_EQ(panel.call("privkey_revoke", {{"id", "987654"}}), kOk) << "an unknown id changes nothing";
    EXPECT_EQ(panel.call("privkey_revoke"), failure("Missing id"));
    EXPECT_EQ(panel.call("privkey_revoke", {{"id", "abc"}}), failure("Invalid id"));
    EXPECT_EQ(panel.call("privkey_revoke", {{"id", "99999999999999999999"}}), failure("Invalid id"));
}

TEST_F(ApiTest, BotTokensAreCreatedListedAndRevoked) {
    boot(json::parse(R"([{"id":1,"name":"Eins"}])"));
    const json unnamed = panel.call("bottoken_create", {{"bot_name", ""}, {"description", "d"}});
    ASSERT_EQ(unnamed["ok"], true);
    EXPECT_EQ(unnamed["data"]["name"], "Panel Bot");
    const std::string token = unnamed["data"]["token"];
    EXPECT_EQ(token.size(), 37u);
    EXPECT_TRUE(token.starts_with("krbt_"));
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef", 5), std::string::npos);

    const json longName = panel.call("bottoken_create", {{"bot_name", std::string(100, 'n')}});
    EXPECT_EQ(longName["data"]["name"], std::string(64, 'n'));
    const json multiByte = panel.call("bottoken_create", {{"bot_name", std::string(63, 'n') + "\xE2\x82\xAC"}});
    EXPECT_EQ(multiByte["data"]["name"], std::string(63, 'n')) << "cut before the character, not inside it";
    EXPECT_EQ(panel.call("bottoken_create")["data"]["name"], "Panel Bot");

    const json list = panel.get("/api/bottokens").json();
    ASSERT_EQ(list["data"].size(), 4u);
    const json first = list["data"][0];
    EXPECT_EQ(first["token"], token);
    EXPECT_EQ(first["botName"], "Panel Bot");
    EXPECT_EQ(first["description"], "d");
    EXPECT_EQ(first["active"], true);
    EXPECT_EQ(first["lastUsedAt"], 0);
    EXPECT_NEAR(first["createdAt"].get<double>(), static_cast<double>(kt::unixNow()), 60);
    EXPECT_EQ(server().masterDatabase()->GetBotToken(token)->permissions, 255);
    EXPECT_EQ(panel.get("/api/dashboard").json()["data"]["bottokens"], 4);

    EXPECT_EQ(panel.call("bottoken_revoke", {{"id", std::to_string(first["id"].get<int64_t>())}}), kOk);
    EXPECT_FALSE(server().masterDatabase()->GetBotToken(token)) << "gone from the database";
    EXPECT_EQ(panel.get("/api/bottokens").json()["data"].size(), 3u);
    EXPECT_EQ(panel.call("bottoken_revoke", {{"id", "424242"}}), kOk);
    EXPECT_EQ(panel.call("bottoken_revoke"), failure("Missing id"));
    EXPECT_EQ(panel.call("bottoken_revoke", {{"id", "x1"}}), failure("Invalid id"));
}

TEST_F(ApiTest, VirtualServersAreCreatedChangedStoppedStartedAndDeleted) {
    boot(json::parse(R"([{"id":1,"name":"Eins","serverKey":"k1","welcomeMessage":"Hi"},{"id":3,"name":"Drei"}])"));

    // The list, and a create without fields: the free id, 32 slots, a
    // database of its own and the first free port from 9990.
    const json list = panel.get("/api/vservers").json();
    EXPECT_EQ(sortedBy(list, {"id"})[0], json::parse(R"({"dbPath":"","id":1,"maxSlots":32,"name":"Eins","online":0,
        "running":true,"serverKey":"k1","tcpPort":0,"welcomeMessage":"Hi"})"));
    EXPECT_EQ(panel.call("vserver_create"), json::parse(R"({"ok":true,"data":{"id":2,"tcpPort":9990}})"));
    const auto two = server().getVServer(2)->config();
    EXPECT_EQ(two.name, "Virtual Server 2");
    EXPECT_EQ(two.dbPath, "./data/vs_2.db");
    EXPECT_EQ(two.maxSlots, 32);
    EXPECT_EQ(two.welcomeMessage, "Welcome!");
    EXPECT_EQ(two.serverKey, "");
    EXPECT_TRUE(std::filesystem::exists(host->dir.file("data/vs_2.db")));
    ASSERT_TRUE(kt::TestClient::dial(9990)) << "its own port listens";

    // Ports that are no port choose one; readable slot counts are taken as
    // they are, others give 32.
    for (const std::string port : {"0", "-5", "abc", ""}) {
        const json r = panel.call("vserver_create", {{"tcpPort", port}, {"maxSlots", "x"}, {"dbPath", ""}});
        ASSERT_EQ(r["ok"], true) << port;
        EXPECT_GT(r["data"]["tcpPort"].get<int>(), 9990) << port;
        EXPECT_EQ(server().getVServer(r["data"]["id"].get<uint16_t>())->config().maxSlots, 32);
    }
    const uint16_t freeOwn = kt::freePort();
    const json named = panel.call("vserver_create", {{"name", "Acht"}, {"tcpPort", std::to_string(freeOwn)},
                                                     {"maxSlots", "5"}, {"serverKey", "sk"},
                                                     {"welcomeMessage", "Moin"}, {"dbPath", "data/acht.db"}});
    ASSERT_EQ(named["data"]["tcpPort"], freeOwn);
    const uint16_t eight = named["data"]["id"].get<uint16_t>();
    EXPECT_EQ(server().getVServer(eight)->config().maxSlots, 5);

    // A port in use: the failure names it, nothing is kept.
    const uint16_t busy = kt::freePort();
    kt::PortHolder busyHolder(busy);
    const std::size_t before = server().allVServers().size();
    EXPECT_EQ(panel.call("vserver_create", {{"tcpPort", std::to_string(busy)}}), createFailure(busy));
    EXPECT_EQ(server().allVServers().size(), before);

    // Update: only non-empty fields change; port and database stay.
    EXPECT_EQ(panel.call("vserver_update", {{"id", std::to_string(eight)}, {"name", "Neun"}, {"serverKey", ""},
                                            {"maxSlots", "zz"}, {"tcpPort", "1"}, {"dbPath", "x.db"}}),
              kOk);
    auto c = server().getVServer(eight)->config();
    EXPECT_EQ(c.name, "Neun");
    EXPECT_EQ(c.serverKey, "sk");
    EXPECT_EQ(c.maxSlots, 5);
    EXPECT_EQ(c.tcpPort, freeOwn);
    EXPECT_EQ(c.dbPath, "data/acht.db");
    EXPECT_EQ(panel.call("vserver_update", {{"id", std::to_string(eight)}, {"maxSlots", "7"}, {"welcomeMessage", "W"}}),
              kOk);
    c = server().getVServer(eight)->config();
    EXPECT_EQ(c.maxSlots, 7);
    EXPECT_EQ(c.welcomeMessage, "W");

    // Stop and start are idempotent and leave the file alone.
    const json afterChanges = configuredVServers();
    EXPECT_EQ(afterChanges.size(), server().allVServers().size());
    const std::string id = std::to_string(eight);
    EXPECT_EQ(panel.call("vserver_stop", {{"id", id}}), kOk);
    EXPECT_EQ(panel.call("vserver_stop", {{"id", id}}), kOk);
    EXPECT_FALSE(server().isVServerRunning(eight));
    EXPECT_EQ(sortedBy(panel.get("/api/vservers").json(), {"id"}).back()["running"], false);
    {
        kt::PortHolder squatter(freeOwn);
        EXPECT_EQ(panel.call("vserver_start", {{"id", id}}), failure("VS not found or port already in use"));
    }
    EXPECT_EQ(panel.call("vserver_start", {{"id", id}}), kOk);
    EXPECT_EQ(panel.call("vserver_start", {{"id", id}}), kOk);
    EXPECT_TRUE(server().isVServerRunning(eight));
    EXPECT_EQ(configuredVServers(), afterChanges);

    // Delete: gone from the registry and the file; its database stays.
    EXPECT_EQ(panel.call("vserver_delete", {{"id", "2"}}), kOk);
    EXPECT_FALSE(server().getVServer(2));
    EXPECT_TRUE(std::filesystem::exists(host->dir.file("data/vs_2.db")));
    const json left = configuredVServers();
    EXPECT_EQ(left.size(), server().allVServers().size());
    for (const auto& e : left) EXPECT_NE(e["id"], 2);

    // Unknown ids, and ids beyond 16 bits that would wrap onto server 1.
    struct Refusal {
        std::string endpoint;
        kt::PanelClient::Fields fields;
        std::string text;
    };
    const std::vector<Refusal> refusals = {
        {"vserver_update", {}, "Missing id"},
        {"vserver_delete", {}, "Missing id"},
        {"vserver_stop", {}, "Missing id"},
        {"vserver_start", {}, "Missing id"},
        {"vserver_update", {{"id", "40"}}, "VS not found"},
        {"vserver_delete", {{"id", "40"}}, "VS not found"},
        {"vserver_stop", {{"id", "40"}}, "VS not found or already stopped"},
        {"vserver_start", {{"id", "40"}}, "VS not found or port already in use"},
        {"vserver_update", {{"id", "65537"}, {"name", "Wrapped"}}, "VS not found"},
        {"vserver_delete", {{"id", "65537"}}, "VS not found"},
        {"vserver_stop", {{"id", "65537"}}, "VS not found or already stopped"},
        {"vserver_start", {{"id", "65537"}}, "VS not found or port already in use"},
        {"vserver_stop", {{"id", "-1"}}, "VS not found or already stopped"},
        {"vserver_delete", {{"id", "one"}}, "VS not found"},
        {"vserver_create", {{"tcpPort", "70000"}}, "Failed to create VS \xE2\x80\x93 port 70000 may already be in use"},
    };
    const json file = configuredVServers();
    for (const auto& r : refusals) {
        EXPECT_EQ(panel.call(r.endpoint, r.fields), failure(r.text)) << r.endpoint;
    }
    EXPECT_EQ(server().getVServer(1)->config().name, "Eins");
    EXPECT_TRUE(server().isVServerRunning(1));
    EXPECT_EQ(configuredVServers(), file) << "refusals leave the file alone";
}

// A slot count from the panel is 1 to 65535 on create and on edit: 0 would
// turn every client away, and the wire carries 16 bits. Any other number is
// refused and changes nothing; text without a number counts as no field.
// The configuration file's values are used as written.
TEST_F(ApiTest, SlotCountsFromThePanelAreOneTo65535) {
    boot(json::array({{{"id", 1}, {"name", "Eins"}, {"maxSlots", 70000}}}));
    EXPECT_EQ(server().getVServer(1)->config().maxSlots, 70000) << "the file's value as written";
    EXPECT_EQ(panel.call("vserver_update", {{"id", "1"}, {"name", "Uno"}}), kOk) << "an edit that leaves it alone";
    EXPECT_EQ(server().getVServer(1)->config().maxSlots, 70000);

    const json refused = failure("Max slots must be 1 to 65535");
    struct Case {
        std::string maxSlots;
        std::optional<int32_t> created;  // nothing: refused
        int32_t edited;                  // the count after the edit (from 7)
    };
    const std::vector<Case> cases = {
        {"1", 1, 1},
        {"65535", 65535, 65535},
        {" 12", 12, 12},
        {"40 slots", 40, 40},
        {"", 32, 7},
        {"many", 32, 7},
        {"0", std::nullopt, 7},
        {"-5", std::nullopt, 7},
        {"-0", std::nullopt, 7},
        {"65536", std::nullopt, 7},
        {"70000", std::nullopt, 7},
        {"2147483648", std::nullopt, 7},
        {"99999999999999999999999", std::nullopt, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("maxSlots \"" + c.maxSlots + "\"");
        ASSERT_EQ(panel.call("vserver_update", {{"id", "1"}, {"maxSlots", "7"}}), kOk);
        const std::string file = kt::readFile(host->path);
        const std::size_t count = server().allVServers().size();

        const uint16_t port = kt::freePort();
        const json created = panel.call("vserver_create", {{"maxSlots", c.maxSlots}, {"tcpPort", std::to_string(port)}});
        if (c.created) {
            ASSERT_EQ(created["ok"], true) << created.dump();
            EXPECT_EQ(server().getVServer(created["data"]["id"].get<uint16_t>())->config().maxSlots, *c.created);
            ASSERT_TRUE(server().removeVServer(created["data"]["id"].get<uint16_t>()));
        } else {
            EXPECT_EQ(created, refused);
            EXPECT_EQ(server().allVServers().size(), count);
            EXPECT_EQ(kt::readFile(host->path), file);
        }

        const json edited = panel.call("vserver_update", {{"id", "1"}, {"maxSlots", c.maxSlots}, {"name", "Neu"}});
        const auto one = server().getVServer(1)->config();
        EXPECT_EQ(one.maxSlots, c.edited);
        if (c.created || c.edited != 7) {
            EXPECT_EQ(edited, kOk);
        } else {
            EXPECT_EQ(edited, refused);
            EXPECT_EQ(one.name, "Uno") << "nothing of a refused edit is taken";
            EXPECT_EQ(kt::readFile(host->path), file);
        }
        ASSERT_EQ(panel.call("vserver_update", {{"id", "1"}, {"name", "Uno"}}), kOk);
    }
}

TEST_F(ApiTest, ADatabaseFileThatIsAlreadyOpenIsRefusedForEveryCaller) {
    boot(json::array({{{"id", 1}, {"name", "Eins"}, {"dbPath", "data/own.db"}}}));
    const std::string master = host->config.dbPath;
    std::filesystem::create_directories("data/sub");

    auto cfg = [](uint16_t id, const std::string& path) {
        VirtualServer::VSConfig c;
        c.id = id;
        c.dbPath = path;
        return c;
    };
    // The master's file and the first server's, however they are written.
    for (const std::string& path : {master, host->dir.file("data/../data/./server.db"),
                                    std::filesystem::relative(master).string(), std::string("./data/own.db"),
                                    host->dir.file("data/own.db"), std::string("data/sub/../own.db")}) {
        EXPECT_FALSE(server().createVServer(cfg(5, path))) << path;
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Error, "VS database " + path + " is already in use"), 1u);
        EXPECT_EQ(panel.call("vserver_create", {{"dbPath", path}, {"tcpPort", std::to_string(kt::freePort())}}),
                  failure("Invalid database path"))
            << path;
    }
    EXPECT_EQ(server().allVServers().size(), 1u);
    EXPECT_TRUE(server().createVServer(cfg(5, "other.db")));
    EXPECT_FALSE(server().createVServer(cfg(6, "other.db")));

    // Once its server is gone, the file is free again.
    ASSERT_TRUE(server().removeVServer(5));
    EXPECT_TRUE(server().createVServer(cfg(6, "other.db")));
}

// A database path from the panel is read as written, relative to the working
// directory. Where it lands once ".." and the links of existing folders are
// resolved must be a file inside the master database's folder or below it
// that is no live database nor one of their companion files; anything else
// is refused as an invalid path, and nothing is made. The configuration file
// keeps the path as it was given.
TEST_F(ApiTest, PanelDatabasePathsAreReadAsWrittenAndMustLandInTheMasterDatabasesFolder) {
    boot(json::array({{{"id", 1}, {"name", "Eins"}}}));
    namespace fs = std::filesystem;
    const fs::path masterDir = host->dir.file("data");
    kt::TempDir elsewhere;
    fs::create_directories(masterDir / "sub");
    fs::create_directory_symlink(elsewhere.path(), masterDir / "out");
    fs::create_directory_symlink(masterDir / "sub", host->dir.path() / "in");
    fs::create_symlink(elsewhere.file("far.db"), masterDir / "far.db");
    fs::create_symlink(masterDir / "server.db", masterDir / "alias.db");
    ASSERT_EQ(panel.call("vserver_create", {{"dbPath", "./data/zwei.db"}, {"tcpPort", std::to_string(kt::freePort())}})["ok"],
              true);
    ASSERT_TRUE(fs::exists(masterDir / "zwei.db"));

    const std::vector<std::string> refused = {
        "zwei.db",                          // the working directory, above the folder
        elsewhere.file("abs/x.db"),         // absolute, elsewhere
        "../x.db",                          // above the working directory
        "data/../x.db",                     // out of the folder on a detour
        "data/new/../../x.db",              //   through a folder that does not exist
        "data/out/x.db",                    // through a folder link that leads out
        "data/far.db",                      // a file link that leads out
        "data/alias.db",                    // a file link to the master database
        "./data/server.db",                 // the master database
        host->dir.file("data/server.db"),   //   written absolute
        "data/server.db-journal",           // its journal
        "data/server.db-wal",               // its write-ahead log
        "data/server.db-shm",               // its shared memory
        "data/zwei.db",                     // a live server's database
        "./data/zwei.db-wal",               //   its write-ahead log
        "data/sub/../zwei.db-shm",          //   its shared memory
        "data",                             // the folder itself
        "data/",                            //   written as a folder
        "data/sub",                         // a folder in it
        "data/sub/",                        //   written as a folder
        "data/.",                           //   and as "."
        "data/sub/..",                      //   and as ".."
        std::string("data/x.db\0y", 11),    // a NUL byte that would cut the path short
    };
    const std::vector<fs::path> roots = {host->dir.path(), elsewhere.path()};
    const auto before = pathsUnder(roots);
    const std::string file = kt::readFile(host->path);
    for (const auto& dbPath : refused) {
        SCOPED_TRACE(dbPath);
        EXPECT_EQ(panel.call("vserver_create", {{"dbPath", dbPath}, {"tcpPort", std::to_string(kt::freePort())}}),
                  failure("Invalid database path"));
        EXPECT_EQ(pathsUnder(roots), before) << "no folder and no file was made";
    }
    EXPECT_EQ(server().allVServers().size(), 2u);
    EXPECT_EQ(kt::readFile(host->path), file);

    // Paths that land in the folder or below it, kept as they were given.
    struct Good {
        std::string dbPath;
        fs::path lands;
    };
    const std::vector<Good> good = {
        {"./data/vs_50.db", masterDir / "vs_50.db"},  // the dialog's placeholder form
        {"data/drei.db", masterDir / "drei.db"},
        {"data/neu/tief/vier.db", masterDir / "neu/tief/vier.db"},
        {"data/sub/../fuenf.db", masterDir / "fuenf.db"},
        {host->dir.file("data/sechs.db"), masterDir / "sechs.db"},
        {"in/sieben.db", masterDir / "sub/sieben.db"},  // through a folder link that leads in
        {"", {}},                                       // ./data/vs_<id>.db
    };
    for (const auto& g : good) {
        SCOPED_TRACE(g.dbPath);
        const json r =
            panel.call("vserver_create", {{"dbPath", g.dbPath}, {"tcpPort", std::to_string(kt::freePort())}});
        ASSERT_EQ(r["ok"], true) << r.dump();
        const uint16_t id = r["data"]["id"].get<uint16_t>();
        const std::string given = g.dbPath.empty() ? "./data/vs_" + std::to_string(id) + ".db" : g.dbPath;
        EXPECT_TRUE(fs::exists(g.dbPath.empty() ? masterDir / ("vs_" + std::to_string(id) + ".db") : g.lands));
        EXPECT_EQ(server().getVServer(id)->config().dbPath, given);
        const json saved = configuredVServers();
        const auto entry = std::find_if(saved.begin(), saved.end(), [&](const json& e) { return e["id"] == id; });
        ASSERT_NE(entry, saved.end());
        EXPECT_EQ((*entry)["dbPath"], given) << "the file keeps the path as it was given";
    }
    EXPECT_FALSE(fs::exists(masterDir / "data")) << "no data/ inside data/";
}

// A blank panel path is the server's own default, ./data/vs_<id>.db, wherever
// the master database lives: it is not held to the master's folder as a
// typed path is, yet it is refused when it is a live database or one of its
// companion files. With virtual server 1 configured the panel picks id 2.
struct BlankPathCase {
    const char* name;
    std::string masterDb;   // "server.dbPath"; under `elsewhere` when flagged
    bool elsewhere;
    std::string firstDb;    // virtual server 1's "dbPath"
    bool created;
};

void PrintTo(const BlankPathCase& c, std::ostream* os) { *os << c.name; }

class ApiBlankPathTest : public ApiTest, public ::testing::WithParamInterface<BlankPathCase> {
protected:
    kt::TempDir elsewhere;
};

TEST_P(ApiBlankPathTest, ABlankPathIsTheServersDefaultWhereverTheMasterDatabaseLives) {
    namespace fs = std::filesystem;
    const BlankPathCase& c = GetParam();
    json first = {{"id", 1}, {"name", "Eins"}};
    if (!c.firstDb.empty()) first["dbPath"] = c.firstDb;
    boot(json::array({first}), c.elsewhere ? elsewhere.file(c.masterDb) : c.masterDb);
    const std::vector<fs::path> roots = {host->dir.path(), elsewhere.path()};
    const auto before = pathsUnder(roots);
    const std::string file = kt::readFile(host->path);
    const auto create = [&](const std::string& dbPath) {
        return panel.call("vserver_create", {{"dbPath", dbPath}, {"tcpPort", std::to_string(kt::freePort())}});
    };

    if (!c.created) {
        EXPECT_EQ(create(""), failure("Invalid database path"));
        EXPECT_EQ(pathsUnder(roots), before) << "no folder and no file was made";
        EXPECT_EQ(server().allVServers().size(), 1u);
        EXPECT_EQ(kt::readFile(host->path), file);
        return;
    }
    // The master's folder still bounds what is typed.
    EXPECT_EQ(create("./data/x.db"), failure("Invalid database path"));
    EXPECT_EQ(pathsUnder(roots), before) << "no folder and no file was made";

    const json r = create("");
    ASSERT_EQ(r["ok"], true) << r.dump();
    ASSERT_EQ(r["data"]["id"], 2);
    EXPECT_TRUE(fs::is_regular_file(host->dir.file("data/vs_2.db")));
    EXPECT_EQ(server().getVServer(2)->config().dbPath, "./data/vs_2.db");
    EXPECT_EQ(configuredVServers().at(1)["dbPath"], "./data/vs_2.db") << "the file keeps the path as it was given";
}

INSTANTIATE_TEST_SUITE_P(
    MasterDatabases, ApiBlankPathTest,
    ::testing::Values(BlankPathCase{"MasterInAnotherFolder", "./db/master.db", false, "", true},
                      BlankPathCase{"MasterAbsoluteElsewhere", "master.db", true, "", true},
                      BlankPathCase{"MasterBelowData", "./data/master/server.db", false, "", true},
                      BlankPathCase{"DefaultIsTheMaster", "./data/vs_2.db", false, "", false},
                      BlankPathCase{"DefaultIsTheMastersJournal", "./data/vs_2.db-journal", false, "", false},
                      BlankPathCase{"DefaultIsALiveServersDatabase", "./db/master.db", false, "./data/vs_2.db", false},
                      BlankPathCase{"DefaultIsALiveServersLog", "./db/master.db", false, "data/vs_2.db-wal", false}),
    [](const ::testing::TestParamInfo<BlankPathCase>& info) { return std::string(info.param.name); });

// A create that fails (here: its port is taken) removes the database file
// it made and every folder it made for it, so the next server with that id
// does not take over a stray file; a file or folder that was there before
// stays as it was.
TEST_F(ApiTest, AFailedCreateLeavesTheFolderAsItWas) {
    boot(json::array({{{"id", 1}, {"name", "Eins"}}}));
    namespace fs = std::filesystem;
    fs::create_directories("data/leer");
    {
        DB::SqliteDatabase old("data/alt.db");
        kt::initQuietly(old);
        DB::DbChannel c;
        c.name = "Alt";
        c.is_permanent = true;
        old.SaveChannel(c);
    }
    kt::writeFile("data/text.db", "not a database");
    const std::string oldDb = kt::readFile("data/alt.db");

    const uint16_t busy = kt::freePort();
    kt::PortHolder holder(busy);
    const std::vector<std::string> paths = {
        "",                       // ./data/vs_2.db, a new file
        "data/neu/tief/x.db",     // two new folders
        "data/leer/x.db",         // a folder that was there
        "data/alt.db",            // a database that was there
        "data/text.db",           // a file that is no database (its open fails first)
    };
    const auto before = pathsUnder({host->dir.path()});
    for (const auto& dbPath : paths) {
        SCOPED_TRACE(dbPath);
        EXPECT_EQ(panel.call("vserver_create", {{"dbPath", dbPath}, {"tcpPort", std::to_string(busy)}}),
                  createFailure(busy));
        EXPECT_EQ(pathsUnder({host->dir.path()}), before);
    }
    EXPECT_EQ(kt::readFile("data/alt.db"), oldDb);
    EXPECT_EQ(kt::readFile("data/text.db"), "not a database");
    EXPECT_EQ(server().allVServers().size(), 1u);

    // The same id with a free port starts from a database of its own making.
    ASSERT_EQ(panel.call("vserver_create", {{"tcpPort", std::to_string(kt::freePort())}})["ok"], true);
    EXPECT_TRUE(fs::exists("data/vs_2.db"));
}

// Names, keys, welcome messages and database paths end up in the
// configuration file: text that is not UTF-8 is refused with its own text, on
// create and on edit alike, and changes nothing.
TEST_F(ApiTest, TextsThatAreNotUtf8AreRefusedAndTheFileKeepsUp) {
    boot(json::array({{{"id", 1}, {"name", "Eins"}, {"serverKey", "k"}, {"welcomeMessage", "Hi"}}}));
    const std::string file = kt::readFile(host->path);
    const std::vector<std::string> notUtf8 = {"Caf\xE9", "cut \xC3", "\xED\xA0\x80 surrogate", "\xF4\x90\x80\x80",
                                              "\xC0\xAF overlong"};
    const json notUtf8Failure = failure("Text is not valid UTF-8");
    const auto before = pathsUnder({host->dir.path()});
    for (const std::string field : {"name", "serverKey", "welcomeMessage", "dbPath"}) {
        for (const auto& text : notUtf8) {
            SCOPED_TRACE(field + ": " + text);
            const uint16_t port = kt::freePort();
            EXPECT_EQ(panel.call("vserver_create", {{field, text}, {"tcpPort", std::to_string(port)}}),
                      notUtf8Failure);
            // An edit ignores the database path.
            if (field != "dbPath") {
                EXPECT_EQ(panel.call("vserver_update", {{"id", "1"}, {field, text}}), notUtf8Failure);
            }
        }
    }
    EXPECT_EQ(pathsUnder({host->dir.path()}), before) << "no database was made";
    EXPECT_EQ(server().allVServers().size(), 1u);
    const auto one = server().getVServer(1)->config();
    EXPECT_EQ(one.name, "Eins");
    EXPECT_EQ(one.serverKey, "k");
    EXPECT_EQ(one.welcomeMessage, "Hi");
    EXPECT_EQ(kt::readFile(host->path), file);

    // Text beyond ASCII that is UTF-8 is taken, and later rewrites still work.
    EXPECT_EQ(panel.call("vserver_update", {{"id", "1"}, {"name", "Caf\xC3\xA9"}}), kOk);
    const json later =
        panel.call("vserver_create", {{"name", "Sp\xC3\xA4t"}, {"tcpPort", std::to_string(kt::freePort())}});
    ASSERT_EQ(later["ok"], true);
    const json saved = configuredVServers();
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[0]["name"], "Caf\xC3\xA9");
    EXPECT_EQ(saved[1]["name"], "Sp\xC3\xA4t");
}

// A rewrite of the configuration file that fails is answered as a failure
// (the change holds in the running server). Root writes where it likes, so
// the file is broken by names that no one can write through.
TEST_F(ApiTest, AConfigurationFileThatCannotBeWrittenIsAnsweredAsAFailure) {
    boot(json::array({{{"id", 1}, {"name", "Eins"}}}));
    struct Breakage {
        std::string what;
        std::function<void(const std::string&)> apply;
    };
    const std::vector<Breakage> breakages = {
        {"the file's name is a folder",
         [](const std::string& p) {
             std::filesystem::remove(p);
             std::filesystem::create_directories(p + "/in");
         }},
        {"the temporary file's name is a folder",
         [](const std::string& p) { std::filesystem::create_directories(p + ".tmp/in"); }},
    };
    auto& log = LogCapture::instance();
    for (const auto& b : breakages) {
        SCOPED_TRACE(b.what);
        const std::string& path = host->path;
        b.apply(path);
        log.clear();
        EXPECT_EQ(panel.call("vserver_create", {{"tcpPort", std::to_string(kt::freePort())}}), kNotSaved);
        const std::string created = std::to_string(server().allVServers().back()->id());
        EXPECT_EQ(panel.call("vserver_update", {{"id", created}, {"name", "Neu"}}), kNotSaved);
        EXPECT_EQ(panel.call("vserver_delete", {{"id", created}}), kNotSaved);
        EXPECT_FALSE(server().getVServer(static_cast<uint16_t>(std::stoi(created)))) << "the delete itself was done";
        EXPECT_EQ(log.count(LogLevel::Warn, "saveVServersToConfig: failed to write " + path), 3u);

        std::filesystem::remove_all(path);
        std::filesystem::remove_all(path + ".tmp");
        kt::writeFile(path, "{}");
        EXPECT_EQ(panel.call("vserver_update", {{"id", "1"}}), kOk);
        EXPECT_EQ(idsOf(configuredVServers()), std::vector<int>{1});
    }
}

TEST_F(ApiTest, ListsComeInAscendingIdOrder) {
    boot(json::array({{{"id", 3}, {"name", "Drei"}}, {{"id", 1}, {"name", "Eins"}}}));
    for (int i = 0; i < 2; ++i) {  // ids 2 and 4
        ASSERT_EQ(panel.call("vserver_create", {{"tcpPort", std::to_string(kt::freePort())}})["ok"], true);
    }
    const std::vector<int> ascending = {1, 2, 3, 4};
    EXPECT_EQ(idsOf(panel.get("/api/vservers").json()["data"]), ascending);
    EXPECT_EQ(idsOf(panel.get("/api/dashboard").json()["data"]["vservers"]), ascending);
    EXPECT_EQ(idsOf(configuredVServers()), ascending);
}

// ---------------------------------------------------------------- start-up and shutdown

// A host started from `webPanel` as the "server.webPanel" section.
std::unique_ptr<Server> startHost(kt::TempDir& dir, const json& webPanel, bool& ok) {
    kt::ServerConfig cfg;
    cfg.dbPath = dir.file("server.db");
    cfg.logFile = "";
    json doc = cfg.document();
    if (webPanel.is_null()) doc["server"].erase("webPanel");
    else doc["server"]["webPanel"] = webPanel;
    const std::string path = dir.file("server.json");
    kt::writeFile(path, doc.dump());
    auto server = std::make_unique<Server>();
    testing::internal::CaptureStdout();
    ok = server->init(path);
    testing::internal::GetCapturedStdout();
    return server;
}

TEST(PanelStartUpTest, OnlyTheBooleanFalseKeepsThePanelOffAndTheOutcomeIsLogged) {
    auto& log = LogCapture::instance();
    const uint16_t port = kt::freePort();
    struct Case {
        json section;
        bool listens;
    };
    const std::vector<Case> cases = {
        {{{"enabled", false}, {"port", port}}, false},
        {{{"enabled", "false"}, {"port", port}}, true},
        {{{"enabled", 0}, {"port", port}}, true},
        {{{"port", port}}, true},
        {{{"enabled", true}, {"port", port}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section.dump());
        log.clear();
        kt::TempDir dir;
        bool ok = false;
        auto server = startHost(dir, c.section, ok);
        ASSERT_TRUE(ok);
        const int fd = kt::connectLoopback(port);
        EXPECT_EQ(fd >= 0, c.listens);
        if (fd >= 0) ::close(fd);
        EXPECT_EQ(log.count(LogLevel::Info, "Web panel gestartet: http://0.0.0.0:" + std::to_string(port) + "/"),
                  c.listens ? 1u : 0u);
        // The password exists either way, and it is the one that logs in.
        const std::string password = server->masterDatabase()->GetSetting("web_panel_password", "");
        EXPECT_EQ(password.size(), 20u);
        if (c.listens) {
            kt::PanelClient client(port);
            EXPECT_TRUE(client.login(password));
        }
    }

    // A taken port: a warning, and start-up goes on without the panel.
    log.clear();
    const uint16_t takenPort = kt::freePort();
    kt::PortHolder holder(takenPort);
    kt::TempDir dir;
    bool ok = false;
    auto server = startHost(dir, {{"port", takenPort}}, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(log.count(LogLevel::Error, "WebPanel: bind() failed on port " + std::to_string(takenPort)), 1u);
    EXPECT_EQ(log.count(LogLevel::Warn,
                        "Web panel konnte nicht gestartet werden (port=" + std::to_string(takenPort) + " belegt)"),
              1u);
}

TEST(PanelStartUpTest, AStoredPasswordIsKeptAndStopEndsThePanelBeforeTheHostGoes) {
    const uint16_t port = kt::freePort();
    kt::TempDir dir;
    {
        DB::SqliteDatabase db(dir.file("server.db"));
        kt::initQuietly(db);
        db.SetSetting("web_panel_password", "stored&secret%");
    }
    bool ok = false;
    auto server = startHost(dir, {{"port", port}}, ok);
    ASSERT_TRUE(ok);
    kt::PanelClient client(port);
    EXPECT_TRUE(client.login("stored&secret%"));

    std::thread runner([&] { server->run(); });
    ASSERT_TRUE(kt::eventually([&] { return server->isRunning(); }));
    const int idle = kt::connectLoopback(port);  // a connection in the middle of its request
    kt::sendText(idle, "GET /api/users HTTP/1.1\r\n");
    server->stop();
    runner.join();
    EXPECT_EQ(kt::readToEnd(idle, 3s), "") << "its connection was shut, unanswered";
    ::close(idle);
    EXPECT_EQ(kt::connectLoopback(port), -1);

    // A host that never ran stops its panel when it goes.
    kt::TempDir other;
    const uint16_t port2 = kt::freePort();
    auto unrun = startHost(other, {{"port", port2}}, ok);
    const int open = kt::connectLoopback(port2);
    ASSERT_GE(open, 0);
    const auto began = std::chrono::steady_clock::now();
    unrun.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s) << "the open connection did not hold it up";
    EXPECT_EQ(kt::readToEnd(open, 3s), "");
    ::close(open);
}

}  // namespace
}  // namespace Korrafin
