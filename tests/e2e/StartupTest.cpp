// Start-up of the real binary: the generated configuration and the first run
// that serves it, what it prints, the first-run panel password, and
// start-ups that must fail cleanly.
#include <regex>
#include <string>

#include "e2e/E2eFixture.h"
#include "support/RawSqlite.h"
#include "support/ServerConfig.h"
#include "support/TestClient.h"
#include "webpanel/HttpClient.h"

namespace Korrafin::Test {
namespace {

const std::string kPasswordAlphabet = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789!@#$%&";

using StartupTest = E2eTest;

// Without a configuration file the server writes the default one and runs
// what it wrote: its virtual server, with the generated key and its texts,
// so the file and the running server agree from the first start on. The
// ports are 9987, 9988 and 9380, free in this test's own network namespace.
TEST_F(StartupTest, AMissingConfigurationIsGeneratedWithAFreshKeyAndServedFromTheFirstStart) {
    std::string key;
    std::string password;
    std::string file;
    {
        auto server = startReady({});  // no argument: "server.json"
        const std::string out = server->output();
        EXPECT_NE(out.find("  Korrafin Server  v1.0.0\n"), std::string::npos);
        EXPECT_NE(out.find("Config load failed ("), std::string::npos);
        EXPECT_NE(out.find("Generated default config: server.json"), std::string::npos);
        EXPECT_NE(out.find("[DB] Database path: ./data/server.db\n"), std::string::npos);
        EXPECT_NE(out.find("VS 1 'Korrafin Server' created (port=0, maxSlots=32)"), std::string::npos) << out;
        EXPECT_EQ(out.find("Default Server"), std::string::npos);
        EXPECT_NE(out.find("Listening on TCP port 9987, UDP port 9988"), std::string::npos);

        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, std::regex("\n   Passwort : (\\S+)\n   Port     : 9380\n")));
        password = m[1];
        EXPECT_EQ(password.size(), 20u);
        EXPECT_EQ(password.find_first_not_of(kPasswordAlphabet), std::string::npos) << password;
        EXPECT_NE(out.find("[WebPanel] Passwort generiert und in DB hinterlegt (port=9380)"), std::string::npos);

        const std::string text = readFile(path("server.json"));
        ASSERT_TRUE(std::regex_search(text, m, std::regex("\"serverKey\": \"([0-9a-f]+)\"")));
        key = m[1];
        EXPECT_EQ(key.size(), 32u) << "a random key, not a fixed word";
        EXPECT_EQ(text, defaultConfigText(key));

        // The file's key gives the admin role in this same run.
        auto admin = TestClient::dial(9987);
        ASSERT_TRUE(admin && admin->hello());
        ASSERT_TRUE(admin->login("root", key));
        EXPECT_EQ(admin->role, 3);

        // The panel lists what the file says, and a change keeps the key in it.
        ASSERT_TRUE(server->waitForOutput("Web panel gestartet"));
        PanelClient panel(9380);
        ASSERT_TRUE(panel.login(password));
        const nlohmann::json listed = panel.get("/api/vservers").json()["data"];
        ASSERT_EQ(listed.size(), 1u) << listed.dump();
        EXPECT_EQ(listed[0]["name"], "Korrafin Server");
        EXPECT_EQ(listed[0]["serverKey"], key);
        EXPECT_EQ(listed[0]["welcomeMessage"], "Welcome to Korrafin!");
        EXPECT_EQ(panel.call("vserver_update", {{"id", "1"}, {"welcomeMessage", "Moin"}}),
                  nlohmann::json::parse(R"({"ok":true,"data":null})"));
        file = readFile(path("server.json"));
        const auto saved = nlohmann::json::parse(file)["virtualServers"];
        ASSERT_EQ(saved.size(), 1u) << file;
        EXPECT_EQ(saved[0], nlohmann::json({{"id", 1},
                                            {"maxSlots", 32},
                                            {"name", "Korrafin Server"},
                                            {"serverKey", key},
                                            {"welcomeMessage", "Moin"}}));
        stopCleanly(*server);
    }
    EXPECT_EQ(RawSqlite(path("data/server.db")).rows("SELECT value FROM Settings WHERE key='web_panel_password'"),
              (std::vector<std::vector<std::string>>{{password}}));
    EXPECT_TRUE(std::filesystem::exists(path("korrafin.log")));

    // The second start reads the file it left, leaves it as it is, and does
    // not show the password again.
    auto server = startReady({});
    const std::string out = server->output();
    EXPECT_NE(out.find("VS 1 'Korrafin Server' created (port=0, maxSlots=32)"), std::string::npos);
    EXPECT_EQ(out.find("Generated default config"), std::string::npos);
    EXPECT_EQ(out.find("Passwort :"), std::string::npos);
    EXPECT_EQ(readFile(path("server.json")), file);

    auto admin = TestClient::dial(9987);
    ASSERT_TRUE(admin);
    ASSERT_TRUE(admin->hello());
    ASSERT_TRUE(admin->login("root", key));
    EXPECT_EQ(admin->role, 3) << "the generated key is the server key";
    stopCleanly(*server);
}

TEST_F(StartupTest, AConfigurationThatDoesNotParseIsLeftAsItIs) {
    const std::string broken = "{ \"server\": { \"tcpPort\": 1234, ";
    writeFile(path("server.json"), broken);
    auto server = startReady();
    EXPECT_NE(server->output().find("Config load failed ("), std::string::npos);
    EXPECT_NE(server->output().find("Listening on TCP port 9987, UDP port 9988"), std::string::npos);
    stopCleanly(*server, SIGINT);
    EXPECT_EQ(readFile(path("server.json")), broken);
}

TEST_F(StartupTest, ATakenPortFailsStartUpWithStatusOne) {
    struct Case {
        const char* what;
        int type;
        std::string expected;
    };
    const uint16_t ownPort = freePort();
    for (const Case& c : {Case{"main TCP port", SOCK_STREAM, "bind() failed on port " + std::to_string(tcpPort)},
                          Case{"UDP port", SOCK_DGRAM, "Failed to start UDP voice server on port " +
                                                           std::to_string(udpPort)}}) {
        SCOPED_TRACE(c.what);
        // A virtual server with a port of its own makes the failed start-up
        // wind down more than the default one would.
        writeConfig(nlohmann::json::parse(R"([{"id":1},{"id":2,"tcpPort":)" + std::to_string(ownPort) + "}]"));
        PortHolder taken(c.type == SOCK_STREAM ? tcpPort : udpPort, c.type);
        auto server = start();
        const auto status = server->waitExit();
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, 1) << server->output() << server->errors();
        EXPECT_NE(server->errors().find("Server initialisation failed. Check logs.\n"), std::string::npos);
        EXPECT_NE(server->output().find(c.expected), std::string::npos) << server->output();
    }
}

TEST_F(StartupTest, ASignalDuringStartUpStopsTheServerOnceItIsUp) {
    // Several databases of their own make start-up take a while.
    nlohmann::json list = nlohmann::json::array();
    for (int id = 1; id <= 8; ++id)
        list.push_back({{"id", id}, {"dbPath", "./data/vs" + std::to_string(id) + ".db"}});
    writeConfig(list);
    auto server = start();
    ASSERT_TRUE(server->waitForOutput("Korrafin Server  v1.0.0"));  // the handler is installed by now
    server->signal(SIGTERM);
    const auto status = server->waitExit();
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0) << server->output() << server->errors();
    const std::string out = server->output();
    EXPECT_NE(out.find("\n[Signal 15] Shutting down...\n"), std::string::npos);
    EXPECT_NE(out.find("Server stopping..."), std::string::npos);
    EXPECT_NE(out.find("Server shutdown complete"), std::string::npos);
}

TEST_F(StartupTest, ClosedStandardDescriptorsBecomeDevNullSoTheServerServesAndStopsOnSigterm) {
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    const std::string log = path("korrafin.log");
    struct Case {
        const char* what;
        std::vector<int> closed;
    };
    const Case cases[] = {
        {"input closed", {STDIN_FILENO}},
        {"output closed", {STDOUT_FILENO}},
        {"all three closed", {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(log);
        ServerProcess server(BuildPaths::serverBinary, dir.path().string(), {"server.json"}, ServerProcess::Input::Null,
                             ServerProcess::Stdout::File, c.closed);
        ASSERT_TRUE(eventually([&] { return readFile(log).find(kReadyLine) != std::string::npos; })) << readFile(log);
        auto client = TestClient::dial(tcpPort);
        ASSERT_TRUE(client && client->hello() && client->login("anna")) << readFile(log);
        // Not a pipe or socket of the server's in their place: a closed
        // output took the signal pipe and stopped the server with the first
        // log line; a closed input let the console read the signal away.
        for (const int fd : c.closed) {
            const auto link = "/proc/" + std::to_string(server.pid()) + "/fd/" + std::to_string(fd);
            EXPECT_EQ(std::filesystem::read_symlink(link).string(), "/dev/null") << fd;
        }

        const auto exit = server.stopWith(SIGTERM);
        ASSERT_TRUE(exit.status) << "still running after SIGTERM";
        EXPECT_EQ(*exit.status, 0);
        EXPECT_LT(exit.took, kPromptly);
        EXPECT_NE(readFile(log).find("Server shutdown complete"), std::string::npos) << readFile(log);
    }
}

}  // namespace
}  // namespace Korrafin::Test
