// The configuration file as the host writes and reads it: the default
// document, the virtual-server entries, and the "virtualServers" rewrite.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "server/ConfigFile.h"
#include "server/Server.h"
#include "support/LogCapture.h"
#include "support/ServerConfig.h"
#include "support/ServerHost.h"
#include "support/TempDir.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
using nlohmann::json;

TEST(DefaultConfig, IsTheDocumentWithTheGivenKeyIndentedByFourInKeyOrder) {
    EXPECT_EQ(detail::defaultConfigDocument("k3y").dump(4), kt::defaultConfigText("k3y"));
}

TEST(ConfigFiles, ANewFileIsNeverWrittenOverAnExistingOne) {
    kt::TempDir dir;
    const std::string path = dir.file("server.json");
    EXPECT_TRUE(detail::writeNewFile(path, "first"));
    EXPECT_FALSE(detail::writeNewFile(path, "second"));
    EXPECT_EQ(kt::readFile(path), "first");
    EXPECT_FALSE(detail::writeNewFile(dir.file("missing-dir/server.json"), "x"));
}

TEST(ConfigFiles, AReplacementKeepsThePermissionsAndLeavesNoTemporaryFile) {
    kt::TempDir dir;
    const std::string path = dir.file("server.json");
    kt::writeFile(path, "old");
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(detail::replaceFile(path, "new"), detail::ReplaceResult::Replaced);
    EXPECT_EQ(kt::readFile(path), "new");
    struct stat st {};
    ::stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_EQ(detail::replaceFile(dir.file("no/such/dir.json"), "x"), detail::ReplaceResult::NotOpened);
}

TEST(VirtualServerEntries, ShapesOfTheListAndConversionsOfTheirValues) {
    struct Case {
        const char* what;
        const char* document;
        std::vector<uint16_t> ids;
    };
    const std::vector<Case> cases = {
        {"array in order", R"({"virtualServers":[{"id":3},{"id":1}]})", {3, 1}},
        {"object values in key order", R"({"virtualServers":{"b":{"id":2},"a":{"id":5}}})", {5, 2}},
        {"one bare object counts as its members", R"({"virtualServers":{"x":{"id":4}}})", {4}},
        {"null gives none", R"({"virtualServers":null})", {}},
        {"missing gives none", R"({"server":{}})", {}},
        {"a document that is no object", R"([{"id":1}])", {}},
        {"defaults", R"({"virtualServers":[{}]})", {1}},
        {"ids wrap to 16 bits", R"({"virtualServers":[{"id":65539}]})", {3}},
        {"floats are truncated", R"({"virtualServers":[{"id":7.9}]})", {7}},
        {"booleans count as 1 and 0", R"({"virtualServers":[{"id":true}]})", {1}},
        {"a scalar entry is skipped", R"({"virtualServers":5})", {}},
        {"entries that are no objects are skipped", R"({"virtualServers":[1,"x",{"id":9}]})", {9}},
        {"a string id is skipped", R"({"virtualServers":[{"id":"2"},{"id":6}]})", {6}},
        {"a numeric name is skipped", R"({"virtualServers":[{"id":2,"name":5}]})", {}},
        {"a huge float is skipped", R"({"virtualServers":[{"id":1e300}]})", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint16_t> ids;
        for (const auto& cfg : detail::virtualServerEntries(json::parse(c.document))) ids.push_back(cfg.id);
        EXPECT_EQ(ids, c.ids);
    }

    const auto entries = detail::virtualServerEntries(json::parse(
        R"({"virtualServers":[{"id":2,"tcpPort":70000,"maxSlots":4294967297,"dbPath":"d.db"},{}]})"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].tcpPort, 70000 - 65536);
    EXPECT_EQ(entries[0].maxSlots, 1);
    EXPECT_EQ(entries[0].dbPath, "d.db");
    EXPECT_EQ(entries[1].name, "Korrafin");
    EXPECT_EQ(entries[1].welcomeMessage, "Welcome!");
    EXPECT_EQ(entries[1].maxSlots, 32);
    EXPECT_EQ(entries[1].tcpPort, 0);
    EXPECT_TRUE(entries[1].serverKey.empty());
}

// The rewrite on a host started from a file with two virtual servers.
class SaveVServersTest : public ::testing::Test {
protected:
    SaveVServersTest() {
        kt::ServerConfig cfg;
        cfg.virtualServers = json::parse(R"([{"id":1,"name":"Plain","serverKey":"k","welcomeMessage":"Hi"},
                                              {"id":2,"name":"Own","maxSlots":5,"dbPath":"DB"}])");
        cfg.virtualServers[1]["dbPath"] = scratch.file("own.db");
        host = std::make_unique<kt::Host>(cfg);
        EXPECT_TRUE(host->ok);
    }

    kt::TempDir scratch;
    std::unique_ptr<kt::Host> host;
};

TEST_F(SaveVServersTest, TheListReplacesOnlyItsKeyAndOmitsDefaults) {
    const std::string& path = host->path;
    kt::writeFile(path, R"({"server":{"tcpPort":1234},"globalApi":{"listed":false},"virtualServers":[]})");

    EXPECT_TRUE(host->server->saveVServersToConfig());
    const std::string text = kt::readFile(path);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const json doc = json::parse(text);
    EXPECT_EQ(doc["server"]["tcpPort"], 1234);
    EXPECT_EQ(doc["globalApi"]["listed"], false);
    ASSERT_EQ(doc["virtualServers"].size(), 2u);
    EXPECT_EQ(doc["virtualServers"][0]["id"], 1) << "in ascending id order";
    EXPECT_EQ(doc["virtualServers"][1]["id"], 2);
    for (const auto& e : doc["virtualServers"]) {
        if (e["id"] == 1) {
            EXPECT_EQ(e, json::parse(R"({"id":1,"maxSlots":32,"name":"Plain","serverKey":"k","welcomeMessage":"Hi"})"));
        } else {
            EXPECT_EQ(e["dbPath"], scratch.file("own.db"));
            EXPECT_EQ(e["maxSlots"], 5);
            EXPECT_FALSE(e.contains("tcpPort"));
        }
    }
    EXPECT_EQ(text, doc.dump(4) + "\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(SaveVServersTest, AMissingFileIsCreatedWithTheListAlone) {
    std::filesystem::remove(host->path);
    ASSERT_TRUE(host->server->removeVServer(1));
    ASSERT_TRUE(host->server->removeVServer(2));
    EXPECT_TRUE(host->server->saveVServersToConfig());
    EXPECT_EQ(json::parse(kt::readFile(host->path)), json::parse(R"({"virtualServers":[]})"));
}

TEST_F(SaveVServersTest, AFileThatDoesNotParseIsLeftAlone) {
    const std::string broken = R"({"server": {"tcpPort": 1234,)";
    kt::writeFile(host->path, broken);
    kt::LogCapture::instance().clear();
    EXPECT_FALSE(host->server->saveVServersToConfig());
    EXPECT_EQ(kt::readFile(host->path), broken);
    EXPECT_EQ(kt::LogCapture::instance().count(LogLevel::Warn, "saveVServersToConfig: failed to write " + host->path),
              1u);
}

}  // namespace
}  // namespace Korrafin
