// The admin console of the real binary: every command's exact answer, typed
// through standard input (a pipe, and once a terminal as an operator's), and
// how the console ends: at end of input, by quit and by a signal.
#include <algorithm>
#include <regex>
#include <sstream>

#include "e2e/E2eFixture.h"
#include "support/TestClient.h"
#include "webpanel/HttpClient.h"

namespace Korrafin::Test {
namespace {

constexpr const char* kConsoleReady = "Admin console ready. Type 'help' for commands.\n> ";
constexpr const char* kPrompt = "> ";

const std::string kHelp =
    "Commands:\n"
    "  status\n"
    "  vserver list\n"
    "  vserver create <name>\n"
    "  vserver delete <id>\n"
    "  channel list <vsid>\n"
    "  channel create <vsid> <name> [parent_id]\n"
    "  channel delete <vsid> <channel_id>\n"
    "  user list [vsid]\n"
    "  user kick <vsid> <client_id> [reason]\n"
    "  user ban <vsid> <client_id> [secs] [reason]\n"
    "  user role <vsid> <client_id> <guest|member|mod|admin>\n"
    "  quit\n";

const std::string kInfinity = "\xE2\x88\x9E";

// Standard output as the operator reads it: terminal line ends made plain,
// and without the log lines that other threads write in between.
std::string consoleView(std::string out) {
    std::string plain;
    plain.reserve(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') continue;
        plain += out[i];
    }
    static const std::regex logLine(
        R"((\x1b\[[0-9;]*m)?\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[[A-Z ]{5}\] [^\n]*\n)");
    return std::regex_replace(plain, logLine, "");
}

// The same text with the lines after the first `fixed` ones sorted: for
// listings in the registry's or a hash table's order.
std::string unordered(const std::string& text, std::size_t fixed) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    std::sort(lines.begin() + static_cast<std::ptrdiff_t>(std::min(fixed, lines.size())), lines.end());
    std::string joined;
    for (const auto& l : lines) joined += l + "\n";
    return joined;
}

// Drives the console of one server process line by line.
class Console {
public:
    explicit Console(ServerProcess& p) : p_(p) {}

    // Waits for the banner and the first prompt.
    bool ready() {
        return waitUntil([&](const std::string& view) {
            const auto at = view.find(kConsoleReady);
            if (at == std::string::npos) return false;
            mark_ = at + std::string(kConsoleReady).size();
            return true;
        });
    }

    // Types `line` and returns what the console answered, up to its next prompt.
    std::string run(const std::string& line) { return answer(line + "\n"); }

    // As run, for input that need not end with a line feed.
    std::string answer(const std::string& input) {
        const std::size_t from = mark_;
        if (!p_.type(input)) {
            ADD_FAILURE() << "cannot type " << input;
            return {};
        }
        std::string got;
        const bool ok = waitUntil([&](const std::string& view) {
            if (view.size() < from + 2 || view.compare(view.size() - 2, 2, kPrompt) != 0) return false;
            got = view.substr(from, view.size() - 2 - from);
            mark_ = view.size();
            return true;
        });
        if (!ok) ADD_FAILURE() << "no prompt after " << input << "\n" << consoleView(p_.output());
        return got;
    }

    // True once the console's output (after the last answer) contains `text`.
    bool shows(const std::string& text) {
        return waitUntil([&](const std::string& view) { return view.find(text, mark_) != std::string::npos; });
    }

private:
    template <class Done>
    bool waitUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            const bool exited = p_.waitExit(0ms).has_value();
            if (done(consoleView(p_.output()))) return true;
            if (exited || std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
    }

    ServerProcess& p_;
    std::size_t mark_ = 0;
};

struct Exchange {
    std::string line;
    std::string answer;
};

class ConsoleTest : public E2eTest {
protected:
    std::unique_ptr<ServerProcess> startConsole(ServerProcess::Input input = ServerProcess::Input::Pipe) {
        return std::make_unique<ServerProcess>(BuildPaths::serverBinary, dir.path().string(),
                                               std::vector<std::string>{"server.json"}, input);
    }

    // Each line's exact answer, in order.
    static void expectAnswers(Console& console, const std::vector<Exchange>& exchanges) {
        for (const auto& e : exchanges) EXPECT_EQ(console.run(e.line), e.answer) << "after: " << e.line;
    }
};

std::string statusOf(const std::vector<std::string>& servers) {
    std::string s = "=== Korrafin Server Status ===\nVirtual servers running: " + std::to_string(servers.size()) + "\n";
    for (const auto& line : servers) s += "  " + line + "\n";
    return s;
}

TEST_F(ConsoleTest, LinesAreSplitIntoWordsAndDispatchedByTheFirst) {
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    auto server = startConsole();
    Console console(*server);
    ASSERT_TRUE(console.ready()) << server->output();

    const std::string status = statusOf({"VS[1] 'Eins' \xE2\x80\x93 0/32 slots"});
    expectAnswers(console, {
                               {"help", kHelp},
                               {"   help   with   surplus words  ", kHelp},
                               {"HELP", "Unknown command: 'HELP'. Try 'help'.\n"},
                               {"frobnicate now", "Unknown command: 'frobnicate'. Try 'help'.\n"},
                               {"", ""},
                               {" \t  \t", ""},
                               {"status\r", status},
                               {"status with words", status},
                               {"vserver delete abc", "Error: stoi\n"},
                           });

    // The last line, without a line feed, still runs at end of input; then
    // the console ends silently and the server goes on serving.
    ASSERT_TRUE(server->type("status"));
    server->endInput();
    EXPECT_TRUE(console.shows(status + kPrompt));
    auto client = TestClient::dial(tcpPort);
    ASSERT_TRUE(client);
    EXPECT_TRUE(client->hello());
    stopCleanly(*server);
}

TEST_F(ConsoleTest, ALineOverTheBoundIsRefusedWithOneErrorLineAndTheNextCommandRuns) {
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    auto server = startConsole();
    Console console(*server);
    ASSERT_TRUE(console.ready()) << server->output();

    const std::string refused = "Error: line longer than 65536 bytes, ignored.\n";
    EXPECT_EQ(console.run("status " + std::string(1 << 20, 'x')), refused);
    EXPECT_EQ(console.run("status"), statusOf({"VS[1] 'Eins' \xE2\x80\x93 0/32 slots"}));
    stopCleanly(*server);
}

TEST_F(ConsoleTest, VServerCommandsListCreateAndDelete) {
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}, {"maxSlots", 5}}}));
    auto server = startConsole();
    Console console(*server);
    ASSERT_TRUE(console.ready()) << server->output();

    const std::string header =
        "| ID | Name | Slots | Users |\n"
        "+----+------+-------+-------+\n";
    expectAnswers(console, {
                               {"vserver", "Usage: vserver <list|create|delete>\n"},
                               {"vserver frob", ""},
                               {"vserver create", ""},
                               {"vserver delete", ""},
                               {"vserver list", header + "| 1  | Eins | 5     | 0     |\n"},
                               {"status", statusOf({"VS[1] 'Eins' \xE2\x80\x93 0/5 slots"})},
                               // One word per argument: the second word is not part of the name.
                               {"vserver create Zwei Drei", "Virtual server 2 created.\n"},
                           });
    // In ascending id order.
    EXPECT_EQ(console.run("vserver list"), header + "| 1  | Eins | 5     | 0     |\n| 2  | Zwei | 32    | 0     |\n");
    EXPECT_EQ(console.run("status"),
              statusOf({"VS[1] 'Eins' \xE2\x80\x93 0/5 slots", "VS[2] 'Zwei' \xE2\x80\x93 0/32 slots"}));

    expectAnswers(console, {
                               {"vserver delete 1", "Virtual server 1 deleted.\n"},
                               // The lowest free id, not the count plus one (2, which is taken).
                               {"vserver create Drei", "Virtual server 1 created.\n"},
                               {"vserver create Vier", "Virtual server 3 created.\n"},
                               {"vserver list", header + "| 1  | Drei | 32    | 0     |\n| 2  | Zwei | 32    | 0     |\n"
                                                         "| 3  | Vier | 32    | 0     |\n"},
                               // Ids do not wrap: 65538 is not virtual server 2.
                               {"vserver delete 65538", "Error: stoi\n"},
                               {"vserver delete -65534", "Error: stoi\n"},
                               {"vserver delete 7", "Not found.\n"},
                               {"vserver delete 1", "Virtual server 1 deleted.\n"},
                               {"vserver delete 3", "Virtual server 3 deleted.\n"},
                               {"vserver list", header + "| 2  | Zwei | 32    | 0     |\n"},
                               {"vserver delete 2x", "Virtual server 2 deleted.\n"},
                               {"status", statusOf({})},
                               {"vserver list", header},
                               {"user list", "Virtual server not found.\n"},
                               // An empty registry starts again from 1.
                               {"vserver create Neu", "Virtual server 1 created.\n"},
                           });
    stopCleanly(*server);
}

// Stored before the server first opens the database.
int64_t storeChannel(DB::SqliteDatabase& db, const std::string& name, int64_t maxUsers,
                     const std::string& description = "") {
    DB::DbChannel c;
    c.name = name;
    c.description = description;
    c.max_users = maxUsers;
    c.is_permanent = true;
    return db.SaveChannel(c);
}

TEST_F(ConsoleTest, ChannelCommandsListCreateAndDeleteInTheTree) {
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    std::filesystem::create_directories(path("data"));
    int64_t stored = 0;
    {
        DB::SqliteDatabase db(path("data/server.db"));
        initQuietly(db);
        stored = storeChannel(db, "Stored", 5);
    }
    const std::string s = std::to_string(stored);
    const std::string next = std::to_string(stored + 1);
    const std::string after = std::to_string(stored + 2);
    ASSERT_EQ(s.size(), 1u) << "the expected tables assume one-digit ids";

    auto server = startConsole();
    Console console(*server);
    ASSERT_TRUE(console.ready()) << server->output();

    const std::string header =
        "| ID | Parent | Name   | Users | MaxUsers |\n"
        "+----+--------+--------+-------+----------+\n";
    const std::string lobby = "| 1  | 0      | Lobby  | 0     | " + kInfinity + "      |\n";
    const std::string storedRow = "| " + s + "  | 0      | Stored | 0     | 5        |\n";
    expectAnswers(console, {
                               {"channel", "Usage: channel <list|create|delete> ...\n"},
                               {"channel frob 1", ""},
                               {"channel list", ""},
                               {"channel create 1", ""},
                               {"channel delete 1", ""},
                               {"channel list 9", "Virtual server not found.\n"},
                               {"channel list 12abc", "Virtual server not found.\n"},
                               {"channel list abc", "Error: stoi\n"},
                           });
    EXPECT_EQ(unordered(console.run("channel list 1"), 2), unordered(header + lobby + storedRow, 2));

    // The parent is not checked: the channel hangs under id 9 all the same.
    expectAnswers(console, {
                               {"channel create 1 AFK 9", "Channel " + next + " 'AFK' created.\n"},
                               {"channel create 1 Sub " + next + " surplus", "Channel " + after + " 'Sub' created.\n"},
                           });
    const std::string afk = "| " + next + "  | 9      | AFK    | 0     | " + kInfinity + "      |\n";
    const std::string sub = "| " + after + "  | " + next + "      | Sub    | 0     | " + kInfinity + "      |\n";
    EXPECT_EQ(unordered(console.run("channel list 1"), 2), unordered(header + lobby + storedRow + afk + sub, 2));

    expectAnswers(console, {
                               // The parent is read only once the server is found.
                               {"channel create 9 X bad", "Virtual server not found.\n"},
                               {"channel create 1 X bad", "Error: stoi\n"},
                               {"channel create 1 X 65536", "Error: stoi\n"},
                               {"channel delete 9 bad", "Error: stoi\n"},
                               {"channel delete 9 2", "Virtual server not found.\n"},
                               {"channel delete 1 1", "Cannot delete (lobby or not found).\n"},
                               {"channel delete 1 77", "Cannot delete (lobby or not found).\n"},
                               // Not a wrapped id of AFK.
                               {"channel delete 1 " + std::to_string(65536 + stored + 1), "Error: stoi\n"},
                               {"channel delete 1 " + after, "Channel deleted.\n"},
                           });
    EXPECT_EQ(unordered(console.run("channel list 1"), 2), unordered(header + lobby + storedRow + afk, 2));

    // A name the wire cannot carry whole makes no channel: its line is
    // longer than the console takes.
    const std::string huge(70000, 'n');
    EXPECT_EQ(console.run("channel create 1 " + huge), "Error: line longer than 65536 bytes, ignored.\n");
    EXPECT_EQ(unordered(console.run("channel list 1"), 2), unordered(header + lobby + storedRow + afk, 2));
    stopCleanly(*server);
}

TEST_F(ConsoleTest, ChannelsFromTheConsoleKeepTheChannelListWithinItsBound) {
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    std::filesystem::create_directories(path("data"));
    // Stored rows may make a list longer than clients take; it may shrink,
    // but never grow further.
    const std::string description(60000, 'd');
    std::vector<int64_t> ids;
    {
        DB::SqliteDatabase db(path("data/server.db"));
        initQuietly(db);
        for (int i = 0; i < 70; ++i) ids.push_back(storeChannel(db, "Big" + std::to_string(i), 0, description));
    }
    auto server = startConsole();
    Console console(*server);
    ASSERT_TRUE(console.ready()) << server->output();

    EXPECT_EQ(console.run("channel create 1 Extra"), "Channel 'Extra' could not be created.\n");
    EXPECT_EQ(console.run("channel delete 1 " + std::to_string(ids.back())), "Channel deleted.\n");
    const std::string created = console.run("channel create 1 Extra");
    EXPECT_TRUE(created.starts_with("Channel ") && created.ends_with(" 'Extra' created.\n")) << created;
    stopCleanly(*server);
}

TEST_F(ConsoleTest, UserCommandsListKickBanAndChangeRoles) {
    // Each with a port of its own: the main port feeds whichever comes first.
    const uint16_t port1 = freePort();
    const uint16_t port2 = freePort();
    writeConfig(nlohmann::json::array(
        {{{"id", 1}, {"name", "Eins"}, {"tcpPort", port1}}, {{"id", 2}, {"name", "Zwei"}, {"tcpPort", port2}}}));
    auto server = startConsole();
    Console console(*server);
    ASSERT_TRUE(console.ready()) << server->output();
    ASSERT_TRUE(server->waitForOutput(kReadyLine));

    // Virtual server 1: a logged-in user and a connection that has not said
    // hello; virtual server 2: one more user.
    auto anna = TestClient::dial(port1);
    ASSERT_TRUE(anna && anna->hello() && anna->login("anna"));
    auto silent = TestClient::dial(port1);
    ASSERT_TRUE(silent);
    auto bert = TestClient::dial(port2);
    ASSERT_TRUE(bert && bert->hello() && bert->login("bert"));

    const std::string a = std::to_string(anna->clientId);
    const std::string b = std::to_string(bert->clientId);
    ASSERT_EQ(a.size(), 1u) << "the expected tables assume one-digit ids";

    // The silent connection's id is the one listed besides anna's.
    std::string list;
    for (int i = 0; i < 2000; ++i) {
        list = console.run("user list");
        if (std::count(list.begin(), list.end(), '\n') == 4) break;
        std::this_thread::sleep_for(10ms);
    }
    const std::string header =
        "| ID | Nickname | Channel | Role | Ping |\n"
        "+----+----------+---------+------+------+\n";
    auto annaRow = [&](int role) { return "| " + a + "  | anna     | 1       | " + std::to_string(role) + "    | 0ms  |\n"; };
    std::string silentId;
    for (std::istringstream in(list); std::getline(in, silentId);) {
        if (silentId.find("|          |") != std::string::npos) break;
    }
    ASSERT_GE(silentId.size(), 4u) << list;
    silentId = silentId.substr(2, silentId.find(' ', 2) - 2);
    const std::string silentRow = "| " + silentId + "  |          | 0       | 0    | 0ms  |\n";
    EXPECT_EQ(unordered(list, 2), unordered(header + annaRow(1) + silentRow, 2));

    EXPECT_EQ(console.run("user list 2"), header + "| " + b + "  | bert     | 1       | 1    | 0ms  |\n");
    EXPECT_NE(console.run("status").find("VS[1] 'Eins' \xE2\x80\x93 2/32 slots\n"), std::string::npos);
    EXPECT_NE(console.run("channel list 1").find("| 1  | 0      | Lobby | 1     | " + kInfinity + "      |\n"),
              std::string::npos);

    expectAnswers(console, {
                               {"user", "Usage: user <list|kick|ban|role> ...\n"},
                               {"user frob 1 " + a, ""},
                               {"user kick 1", ""},
                               {"user ban 1", ""},
                               {"user role 1 " + a, ""},
                               {"user list 99", "Virtual server not found.\n"},
                               {"user list abc", "Error: stoi\n"},
                               {"user role 1 " + a + " mod", "Role updated.\n"},
                           });
    EXPECT_EQ(unordered(console.run("user list 1 surplus"), 2), unordered(header + annaRow(2) + silentRow, 2));
    // Role words: exact, and none gives the owner.
    for (const auto& [word, role] : std::vector<std::pair<std::string, int>>{
             {"owner", 1}, {"admin", 3}, {"Admin", 1}, {"guest", 0}, {"member", 1}}) {
        EXPECT_EQ(console.run("user role 1 " + a + " " + word), "Role updated.\n");
        EXPECT_EQ(unordered(console.run("user list"), 2), unordered(header + annaRow(role) + silentRow, 2)) << word;
    }

    expectAnswers(console, {
                               {"user role 1 4242 mod", "User not found.\n"},
                               {"user role 2 " + a + " mod", "User not found.\n"},
                               {"user kick 1 4242", "User not found or permission denied.\n"},
                               {"user ban 1 4242", "User not found.\n"},
                               {"user kick 9 4242", "Virtual server not found.\n"},
                               // Every number is read before the server is looked up.
                               {"user kick 99 abc", "Error: stoi\n"},
                               {"user role 99 abc mod", "Error: stoi\n"},
                               // Not a wrapped client id.
                               {"user kick 1 -1", "Error: stoi\n"},
                               {"user kick 1 4294967296", "Error: stoi\n"},
                               {"user ban 1 " + a + " soon", "Error: stoll\n"},
                               // Nobody was banned: anna is still there.
                               {"user role 1 " + a + " member", "Role updated.\n"},
                               {"user kick 1 " + silentId + " three word reason", "User kicked.\n"},
                               {"user ban 2 " + b + " 3600 spam surplus", "User banned.\n"},
                               {"user ban 1 " + a, "User banned.\n"},
                           });
    EXPECT_TRUE(silent->waitClosed(5000ms));
    EXPECT_TRUE(bert->waitClosed(5000ms));
    EXPECT_TRUE(anna->waitClosed(5000ms));
    const std::string log = readFile(path("korrafin.log"));
    EXPECT_NE(log.find("Disconnecting client " + silentId + ": Kicked: three\n"), std::string::npos);
    EXPECT_NE(log.find("Disconnecting client " + b + ": Banned: spam\n"), std::string::npos);
    EXPECT_NE(log.find("Disconnecting client " + a + ": Banned: Banned by admin\n"), std::string::npos);

    // The address is banned on both servers now.
    for (const uint16_t port : {port1, port2}) {
        auto again = TestClient::dial(port);
        ASSERT_TRUE(again);
        EXPECT_TRUE(again->waitClosed(5000ms)) << port;
    }
    stopCleanly(*server);
}

// A name ends up in the configuration file once the panel rewrites it: one
// that is not UTF-8 is refused by the console and by the panel, so a later
// create is still written and survives a restart.
TEST_F(ConsoleTest, NamesThatAreNotUtf8AreRefusedAndALaterCreateSurvivesARestart) {
    config.webPanelPort = freePort();
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    auto server = startConsole();
    Console console(*server);
    ASSERT_TRUE(console.ready()) << server->output();
    ASSERT_TRUE(server->waitForOutput("Web panel gestartet"));
    std::smatch m;
    const std::string out = server->output();
    ASSERT_TRUE(std::regex_search(out, m, std::regex("\n   Passwort : (\\S+)\n"))) << out;
    PanelClient panel(config.webPanelPort);
    ASSERT_TRUE(panel.login(m[1]));

    EXPECT_EQ(console.run("vserver create Caf\xE9"), "Virtual server 2 could not be created.\n");
    EXPECT_EQ(panel.call("vserver_create", {{"name", "Caf\xE9"}, {"tcpPort", std::to_string(freePort())}}),
              (nlohmann::json{{"error", "Text is not valid UTF-8"}, {"ok", false}}));
    const nlohmann::json later =
        panel.call("vserver_create", {{"name", "Sp\xC3\xA4t"}, {"tcpPort", std::to_string(freePort())}});
    ASSERT_EQ(later["ok"], true) << later.dump();
    EXPECT_EQ(later["data"]["id"], 2);
    stopCleanly(*server);

    auto again = startConsole();
    Console console2(*again);
    ASSERT_TRUE(console2.ready()) << again->output();
    EXPECT_EQ(console2.run("status"), statusOf({"VS[1] 'Eins' \xE2\x80\x93 0/32 slots",
                                                "VS[2] 'Sp\xC3\xA4t' \xE2\x80\x93 0/32 slots"}));
    stopCleanly(*again);
}

TEST_F(ConsoleTest, AnOperatorAtATerminalTypesCommandsAndQuits) {
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    auto server = startConsole(ServerProcess::Input::Terminal);
    Console console(*server);
    ASSERT_TRUE(console.ready()) << server->output();

    // The terminal echoes what is typed; Enter sends a carriage return.
    EXPECT_EQ(console.answer("status\r"), "status\n" + statusOf({"VS[1] 'Eins' \xE2\x80\x93 0/32 slots"}));
    EXPECT_EQ(console.answer("vserver list\r"),
              "vserver list\n"
              "| ID | Name | Slots | Users |\n"
              "+----+------+-------+-------+\n"
              "| 1  | Eins | 32    | 0     |\n");

    // quit ends the process without another line being typed.
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(server->type("quit\r"));
    const auto status = server->waitExit(20s);
    ASSERT_TRUE(status) << "still running after quit";
    EXPECT_EQ(*status, 0) << server->errors();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_NE(consoleView(server->output()).find("> quit\nShutting down...\n"), std::string::npos);
}

TEST_F(ConsoleTest, ASignalStopsTheServerWhileTheConsoleWaitsForInput) {
    writeConfig(nlohmann::json::array({{{"id", 1}, {"name", "Eins"}}}));
    auto server = startConsole(ServerProcess::Input::Terminal);
    Console console(*server);
    ASSERT_TRUE(console.ready()) << server->output();
    // Half a line typed, no Enter yet.
    ASSERT_TRUE(server->type("sta"));
    ASSERT_TRUE(console.shows("sta"));

    const auto t0 = std::chrono::steady_clock::now();
    stopCleanly(*server);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_NE(server->output().find("[Signal 15] Shutting down..."), std::string::npos);
}

}  // namespace
}  // namespace Korrafin::Test
