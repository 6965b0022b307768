// What a crash leaves behind and the next start of the real binary: a first
// start killed at any moment, a database whose seed rows are missing, and
// the temporary files of uploads cut short.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "e2e/E2eFixture.h"
#include "support/RawSqlite.h"
#include "support/Requests.h"
#include "support/TestClient.h"
#include "support/Time.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

namespace fs = std::filesystem;

using CrashRecoveryTest = E2eTest;

const nlohmann::json kOneServer = nlohmann::json::parse(R"([{"id":1,"name":"Haupt","serverKey":"k1"}])");

bool hasChannel(const std::vector<ChannelInfo>& list, const std::string& name) {
    for (const auto& c : list)
        if (c.name == name) return true;
    return false;
}

// A running server serves from its database: an administrator creates a
// channel, and a chat message in the lobby is counted in the lobby's row.
void expectServes(uint16_t port, const std::string& channel) {
    auto admin = TestClient::dial(port);
    ASSERT_TRUE(admin && admin->hello() && admin->login("admin", "k1"));
    ASSERT_EQ(admin->role, 3);
    admin->send(channelCreateRequest(ChannelRequest{.name = channel}));
    auto list = admin->waitFor(MessageType::ChannelList, kPatience,
                               [&](const Packet& p) { return hasChannel(channelsOf(p), channel); });
    EXPECT_TRUE(list) << "channel creation is refused";
    admin->chat("gezählt");
    EXPECT_TRUE(admin->waitFor(MessageType::ChannelMessageCount, kPatience));
}

// The rows the next start needs, as a stopped server left them.
void expectSeedRows(const std::string& dbPath) {
    RawSqlite raw(dbPath);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM ServerGroups"), 5);
    EXPECT_EQ(raw.text("SELECT name FROM Channels WHERE id = 1"), "Lobby");
    EXPECT_GE(raw.scalar("SELECT message_count FROM Channels WHERE id = 1"), 1) << "the lobby's count is kept";
}

// kill -9 at moments spread over a first start (the moments its output
// marks, and fixed delays for what comes before any output): whatever it
// leaves, the next start serves from it.
TEST_F(CrashRecoveryTest, AFirstStartKilledAtAnyMomentLeavesADatabaseTheNextStartServesFrom) {
    struct KillPoint {
        std::string afterOutput;  // empty: after `delay` from the start
        std::chrono::milliseconds delay{0};
    };
    const std::vector<KillPoint> points = {
        {"", 0ms},
        {"", 30ms},
        {"[DB] Opening database", 0ms},
        {"[DB] No schema found", 0ms},
        {"[DB] No schema found", 5ms},
        {"[DB] Schema created.", 0ms},
        {"[AUTH]", 0ms},
        {"WEB PANEL", 0ms},
        {kReadyLine, 0ms},
    };
    int round = 0;
    for (const auto& point : points) {
        SCOPED_TRACE("round " + std::to_string(round) + ", after '" + point.afterOutput + "' + " +
                     std::to_string(point.delay.count()) + " ms");
        fs::remove_all(path("data"));
        fs::remove_all(path("files"));
        writeConfig(kOneServer);
        {
            auto first = start();
            if (!point.afterOutput.empty()) {
                ASSERT_TRUE(first->waitForOutput(point.afterOutput, kPatience));
            }
            if (point.delay.count() > 0) std::this_thread::sleep_for(point.delay);
            first->signal(SIGKILL);
            ASSERT_TRUE(first->waitExit(kPatience));
        }
        const std::string channel = "Runde " + std::to_string(round++);
        auto next = startReady();
        expectServes(tcpPort, channel);
        stopCleanly(*next);
        expectSeedRows(path("data/server.db"));
    }
}

// A file with its whole schema but none of the seed rows, as a first start
// of an earlier build left it when it died between the two: the next start
// adds them and serves as from a fresh file.
TEST_F(CrashRecoveryTest, ADatabaseWhoseSeedRowsAreMissingIsServedNormallyAfterTheNextStart) {
    seedChannels({});
    RawSqlite(path("data/server.db"))
        .exec("DELETE FROM ServerGroups; DELETE FROM Channels; DELETE FROM sqlite_sequence;");
    writeConfig(kOneServer);
    {
        auto server = startReady();
        expectServes(tcpPort, "Werkstatt");
        stopCleanly(*server);
    }
    expectSeedRows(path("data/server.db"));
    EXPECT_EQ(RawSqlite(path("data/server.db")).scalar("SELECT id FROM Channels WHERE name = 'Werkstatt'"), 2);
}

// An upload cut short by a crash leaves its hidden temporary file; the next
// start removes it and nothing else.
TEST_F(CrashRecoveryTest, StartUpRemovesTheTemporaryFilesOfUploadsCutShort) {
    fs::create_directories(path("files"));
    writeFile(path("files/.upload-0123456789abcdef.part"), std::string(2 * 1024 * 1024, 'x'));
    writeFile(path("files/.upload-fedcba9876543210.part"), "");
    writeFile(path("files/1700000000_0.png"), "stored");
    writeFile(path("files/.upload-note"), "not an upload's");
    writeConfig(kOneServer);
    auto server = startReady();
    EXPECT_NE(server->output().find("Removed 2 unfinished upload(s) from ./files"), std::string::npos)
        << server->output();
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(path("files"))) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".upload-note", "1700000000_0.png"}));

    // The store goes on as usual.
    auto c = TestClient::dial(tcpPort);
    ASSERT_TRUE(c && c->hello() && c->login("uploader"));
    c->send(fileRequest("1700000000_0.png"));
    auto data = c->waitFor(MessageType::FileData, kPatience);
    ASSERT_TRUE(data);
    stopCleanly(*server);
}

}  // namespace
}  // namespace Korrafin::Test
