// The bot API over real sockets, beside a virtual server in this process
// whose members are real client connections: logging in, every command's
// answer and effect, every event byte for byte, the framing, and the bounds
// of connections, threads and time.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "botapi/BotApiServer.h"
#include "protocol/ClientSession.h"
#include "support/BotClient.h"
#include "support/Crowd.h"
#include "support/FullDescriptorTable.h"
#include "support/LogCapture.h"
#include "support/Ports.h"
#include "support/Requests.h"
#include "support/Time.h"
#include "support/VServerWorld.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t kSend = 1, kKick = 2, kMove = 3, kListUsers = 4, kListChannels = 5;
const std::string kOk = R"({"ok":true})";

std::string errorJson(const std::string& text) { return R"({"error":")" + text + R"("})"; }

std::size_t openDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

class BotServerTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    void TearDown() override {
        // A member's reader may be raising an event into the API (a kicked
        // member leaving): it ends before the API goes.
        world.endMembers();
        world.vs->botApi = nullptr;
        api.reset();
    }

    // The API bound to the world's virtual server (which raises its events
    // into it) and to the world's database for tokens.
    void startApi() {
        makeApi();
        world.vs->botApi = api.get();
        ASSERT_TRUE(api->start());
    }
    void makeApi() {
        api = std::make_unique<BotApiServer>(freePort());
        api->db = world.database->db;
        api->virtualServer = world.vs;
    }

    // A stored bot token "tok-<name>" for bot `name`; its row id.
    int64_t addToken(const std::string& name, bool active = true) {
        DB::DbBotToken t;
        t.token = "tok-" + name;
        t.bot_name = name;
        t.permissions = 255;
        t.active = active;
        return world.database->real->SaveBotToken(t);
    }

    std::unique_ptr<BotClient> dial() {
        auto b = BotClient::dial(api->port());
        EXPECT_TRUE(b);
        return b;
    }

    // A connection logged in as bot `name` (its token made when missing).
    std::unique_ptr<BotClient> botAs(const std::string& name) {
        if (!world.database->real->GetBotToken("tok-" + name)) addToken(name);
        auto b = dial();
        EXPECT_TRUE(b && b->login("tok-" + name));
        return b;
    }

    // The world's members, each read by its own thread; the pending one has
    // not logged in and is in no channel.
    SessionHarness& member(uint32_t id, const std::string& nick, UserRole role = UserRole::Member,
                           uint16_t channel = 1) {
        return world.join(id, nick, role, channel);
    }
    SessionHarness& pendingMember(uint32_t id) { return world.join(id, "", UserRole::Guest, 0, false); }

    VServerWorld world{7};
    std::unique_ptr<BotApiServer> api;
};

// ---------------------------------------------------------------- logging in

TEST_F(BotServerTest, ABotLogsInWithAnActiveTokenOfItsDatabaseAndMayRetryOnTheSameConnection) {
    const int64_t alpha = addToken("Alpha");
    addToken("Sleepy", /*active=*/false);
    const int64_t gone = addToken("Gone");
    world.database->real->DeleteBotToken(gone);
    startApi();
    auto& log = LogCapture::instance();

    auto bot = dial();
    const BotReply refused{30, "Invalid or inactive bot token"};
    for (const std::string token : {"nope", "tok-Sleepy", "tok-Gone", "tok-Alph", "tok-Alpha "}) {
        SCOPED_TRACE(token);
        EXPECT_EQ(bot->auth(token), refused);
    }
    EXPECT_EQ(log.count(LogLevel::Warn, "[BotAPI] Bot session 1 auth failed – bad token"), 3u)
        << "a connection's first failures are logged, not every one";

    const int64_t before = unixNow();
    EXPECT_EQ(bot->auth("tok-Alpha"), (BotReply{0, "Authenticated as: Alpha"}));
    EXPECT_TRUE(log.waitFor(LogLevel::Info, "[BotAPI] Bot 'Alpha' (session 1) authenticated"));
    for (const auto& t : world.database->real->GetAllBotTokens()) {
        if (t.id == alpha) {
            EXPECT_GE(t.last_used_at, before) << "the last use is noted";
        }
    }
    EXPECT_EQ(bot->command(kListUsers), (BotReply{0, "[]"}));
}

TEST_F(BotServerTest, WithoutADatabaseOrWhenItFailsTheBotIsToldSo) {
    // No database at all.
    makeApi();
    api->db = nullptr;
    ASSERT_TRUE(api->start());
    {
        auto bot = dial();
        const BotReply unavailable{255, "Database not available"};
        EXPECT_EQ(bot->auth("tok-any"), unavailable);
        EXPECT_EQ(bot->auth("tok-any"), unavailable) << "and again";
    }
    api.reset();

    // A database whose look-up fails: answered, not left waiting.
    addToken("Alpha");
    bool failLookup = true;
    world.database->db->before = [&](std::string_view op) {
        if (op == "GetBotToken" && failLookup) throw std::runtime_error("disk gone");
        if (op == "UpdateBotTokenLastUsed") throw std::runtime_error("read-only");
    };
    startApi();
    auto bot = dial();
    EXPECT_EQ(bot->auth("tok-Alpha"), (BotReply{255, "Database not available"}));
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Error, "[BotAPI] Bot session 1 auth failed: disk gone"), 1u);

    // Noting the last use fails: logged, and the bot is still logged in.
    failLookup = false;
    EXPECT_EQ(bot->auth("tok-Alpha"), (BotReply{0, "Authenticated as: Alpha"}));
    EXPECT_EQ(LogCapture::instance().countContaining("Could not note the last use of bot token"), 1u);
    EXPECT_EQ(bot->command(kListUsers), (BotReply{0, "[]"}));
    bot.reset();
    api.reset();
    world.database->db->before = nullptr;
}

// ---------------------------------------------------------------- commands

TEST_F(BotServerTest, ListsShowEverySessionAndChannelAsTheyAre) {
    const uint16_t raum = world.addChannel("Raum \"eins\"", ChannelType::Text);
    member(10, "anna");
    member(20, "ben", UserRole::Member, raum);
    pendingMember(30);
    startApi();
    auto bot = botAs("Helper");

    std::string users = "[";
    for (const auto& s : world.vs->allSessions()) {
        const UserInfo u = s->info();
        if (users.size() > 1) users += ",";
        users += R"({"clientId":)" + std::to_string(u.clientId) + R"(,"nickname":")" + u.nickname +
                 R"(","channelId":)" + std::to_string(u.channelId) + "}";
    }
    users += "]";
    EXPECT_NE(users.find(R"({"clientId":30,"nickname":"","channelId":0})"), std::string::npos);
    EXPECT_EQ(bot->command(kListUsers), (BotReply{0, users}));

    std::string channels = "[";
    for (const auto& c : world.vs->channelManager.all()) {
        if (channels.size() > 1) channels += ",";
        const std::string name = c.id == raum ? R"(Raum \"eins\")" : c.name;
        channels += R"({"channelId":)" + std::to_string(c.id) + R"(,"name":")" + name + R"(","parentId":)" +
                    std::to_string(c.parentId) + R"(,"userCount":)" + std::to_string(c.userCount) + "}";
    }
    channels += "]";
    EXPECT_NE(channels.find(R"("name":"Raum \"eins\"","parentId":0,"userCount":1})"), std::string::npos);
    EXPECT_EQ(bot->command(kListChannels), (BotReply{0, channels}));
}

TEST_F(BotServerTest, ChatFromABotReachesTheServerOrOneChannelUnderItsName) {
    const uint16_t raum = world.addChannel("Raum", ChannelType::Text);
    auto& anna = member(10, "anna");
    auto& ben = member(20, "ben", UserRole::Member, raum);
    auto& pending = pendingMember(30);
    startApi();
    auto bot = botAs("Helper");

    struct Case {
        std::string args;
        std::vector<SessionHarness*> reached;
        uint16_t channelField;
        std::string text;
    };
    const std::vector<Case> cases = {
        {R"({"text":"to everyone"})", {&anna, &ben, &pending}, 0, "to everyone"},
        {R"({})", {&anna, &ben, &pending}, 0, ""},  // no text: an empty line
        {R"({"text":"raum only","channelId":)" + std::to_string(raum) + "}", {&ben}, raum, "raum only"},
        {R"({"text":"all wins","channelId":)" + std::to_string(raum) + R"(,"all":true})", {&anna, &ben, &pending}, 0,
         "all wins"},
        {R"({ "text" : "tab\tand \"quote\"", "channelId" : 0 })", {&anna, &ben, &pending}, 0,
         "tab\tand \"quote\""},
        {R"({"text":"by search","channelId":)" + std::to_string(raum) + ",", {&ben}, raum, "by search"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(bot->command(kSend, c.args), (BotReply{0, kOk}));
        for (SessionHarness* m : {&anna, &ben, &pending}) {
            const auto got = receivedSoFar(*m);
            const bool reached = std::find(c.reached.begin(), c.reached.end(), m) != c.reached.end();
            ASSERT_EQ(got.size(), reached ? 1u : 0u) << "client " << m->clientId;
            if (!reached) continue;
            const ChatLine line = chatOf(got[0]);
            EXPECT_EQ(line.senderId, 0u);
            EXPECT_EQ(line.channelId, c.channelField);
            EXPECT_EQ(line.nickname, "[Bot] Helper");
            EXPECT_EQ(line.text, c.text);
            EXPECT_EQ(line.messageId, 0u);
        }
    }
    EXPECT_EQ(world.vs->lastMessageId.load(), 0u) << "bot chat is not numbered";
}

TEST_F(BotServerTest, EveryCommandIsAnsweredAndBadArgumentsChangeNothing) {
    const uint16_t raum = world.addChannel("Raum", ChannelType::Text);
    const uint16_t spacer = world.addChannel("----", ChannelType::Spacer);
    auto& anna = member(10, "anna");
    auto& ben = member(20, "ben");
    member(30, "cleo");
    startApi();
    auto bot = botAs("Helper");
    auto& log = LogCapture::instance();
    const std::string raumText = std::to_string(raum);

    struct Case {
        uint8_t command;
        std::string args;
        BotReply reply;
    };
    const BotReply userNotFound{7, R"({"ok":false,"error":"User not found"})"};
    const BotReply moveFailed{7, R"({"ok":false,"error":"Move failed"})"};
    const std::vector<Case> cases = {
        {kKick, R"({"clientId":999})", userNotFound},
        {kKick, R"({})", userNotFound},
        {kKick, R"({"clientId":-20})", {255, errorJson("Invalid argument: clientId")}},
        {kKick, R"({"clientId":20.5})", {255, errorJson("Invalid argument: clientId")}},
        {kKick, R"({"clientId":4294967316})", {255, errorJson("Invalid argument: clientId")}},
        {kKick, R"({"clientId":20,"reason":7})", {255, errorJson("Invalid argument: reason")}},
        {kKick, R"({"clientId":)", {255, errorJson("Invalid argument: clientId")}},
        {kMove, R"({"clientId":20,"channelId":)" + std::to_string(spacer) + "}", moveFailed},
        {kMove, R"({"clientId":20,"channelId":999})", moveFailed},
        {kMove, R"({"clientId":999,"channelId":)" + raumText + "}", moveFailed},
        {kMove, R"({"clientId":20,"channelId":)" + std::to_string(65536 + raum) + "}",
         {255, errorJson("Invalid argument: channelId")}},
        {kSend, R"({"text":["not","text"]})", {255, errorJson("Invalid argument: text")}},
        {kSend, R"({"text":"x","channelId":70000,)", {255, errorJson("Invalid argument: channelId")}},
        {0, "{}", {255, errorJson("Unknown command")}},
        {6, "{}", {255, errorJson("Unknown command")}},
        {255, "", {255, errorJson("Unknown command")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.command) + " " + c.args);
        EXPECT_EQ(bot->command(c.command, c.args), c.reply);
    }
    // None of them did anything.
    for (SessionHarness* m : {&anna, &ben}) {
        EXPECT_TRUE(receivedSoFar(*m).empty()) << "client " << m->clientId;
        EXPECT_EQ(m->session->channelId(), 1);
    }

    // A payload cut short: still an answer.
    bot->send(rawPacket(static_cast<uint16_t>(MessageType::BotCommand), {kKick}));
    auto short1 = bot->waitFor(MessageType::BotCommandResult);
    ASSERT_TRUE(short1);
    EXPECT_EQ(botReplyOf(*short1), (BotReply{255, errorJson("Malformed or failed command")}));

    // A move that succeeds: the bot hears the join before its answer.
    bot->seen.clear();
    EXPECT_EQ(bot->command(kMove, R"({"clientId":20,"channelId":)" + raumText + "}"), (BotReply{0, kOk}));
    ASSERT_EQ(bot->seen.size(), 2u);
    EXPECT_EQ(botEventOf(bot->seen[0]),
              (BotEventText{1, R"({"clientId":20,"nickname":"ben","channelId":)" + raumText + "}"}));
    EXPECT_EQ(ben.session->channelId(), raum);

    // A kick without a reason uses the bot's; with one, that one.
    EXPECT_EQ(bot->command(kKick, R"({"clientId":20})"), (BotReply{0, kOk}));
    EXPECT_TRUE(ben.client.waitClosed());
    EXPECT_EQ(log.count(LogLevel::Info, "Disconnecting client 20: Kicked: Bot kick"), 1u);
    EXPECT_EQ(bot->command(kKick, R"({"clientId":30,"reason":"spam"})"), (BotReply{0, kOk}));
    EXPECT_EQ(log.count(LogLevel::Info, "Disconnecting client 30: Kicked: spam"), 1u);
    EXPECT_FALSE(anna.session->isClosed());
}

TEST_F(BotServerTest, AnAnswerThatWouldNotFitItsFrameAndAGoneVirtualServerAreStillAnswered) {
    // Channels whose list outgrows a string of 65535 bytes.
    for (int i = 0; i < 600; ++i) {
        ChannelInfo c;
        c.name = std::string(110, 'c') + std::to_string(i);
        world.vs->channelManager.createChannel(c);
    }
    startApi();
    auto bot = botAs("Helper");
    EXPECT_EQ(bot->command(kListChannels), (BotReply{255, errorJson("Reply too long")}));
    EXPECT_EQ(bot->command(kListUsers), (BotReply{0, "[]"})) << "the session goes on";

    // The virtual server the API was bound to goes away.
    world.vs->botApi = nullptr;
    api.reset();
    auto gone = makeVServer(vsConfig(9, "Gone"));
    makeApi();
    api->virtualServer = gone;
    ASSERT_TRUE(api->start());
    bot = botAs("Helper");
    EXPECT_EQ(bot->command(kListUsers), (BotReply{0, "[]"}));
    gone.reset();
    for (uint8_t command : {kSend, kKick, kMove, kListUsers, kListChannels, uint8_t{9}}) {
        EXPECT_EQ(bot->command(command), (BotReply{255, errorJson("No virtual server")}));
    }
}

// ---------------------------------------------------------------- events

TEST_F(BotServerTest, EveryEventAClientCausesReachesEveryLoggedInBotByteForByte) {
    auto& anna = member(10, "anna", UserRole::Admin);
    auto& ben = member(20, "ben");
    auto& odd = member(40, std::string("q\"\n\xff", 4));
    startApi();
    auto bot1 = botAs("One");
    auto bot2 = botAs("Two");
    auto stranger = dial();  // not logged in: hears nothing
    const uint16_t raum = world.addChannel("Raum", ChannelType::Text);

    auto expectEvent = [&](uint8_t type, const std::string& json) {
        for (auto* bot : {bot1.get(), bot2.get()}) {
            auto p = bot->waitFor(MessageType::BotEvent);
            ASSERT_TRUE(p) << json;
            EXPECT_EQ(p->bytes(), botEventFrame(type, json));
        }
    };

    // Joining a channel.
    requestAndWait(ben, channelJoinRequest(raum));
    expectEvent(1, R"({"clientId":20,"nickname":"ben","channelId":)" + std::to_string(raum) + "}");
    // Chat, escaped.
    requestAndWait(ben, chatRequest("hi \"you\"\\\n\x01"));
    expectEvent(3, R"({"clientId":20,"nickname":"ben","text":"hi \"you\"\\\n\u0001"})");
    requestAndWait(odd, chatRequest("\xC3\xA9\xC3"));
    expectEvent(3, "{\"clientId\":40,\"nickname\":\"q\\\"\\n\xEF\xBF\xBD\",\"text\":\"\xC3\xA9\xEF\xBF\xBD\"}");
    // An administrator creates, then deletes a channel.
    ChannelRequest neu;
    neu.name = "Neu";
    requestAndWait(anna, channelCreateRequest(neu));
    const auto created = bot1->nextEvent();
    ASSERT_TRUE(created);
    ASSERT_EQ(created->type, 4);
    const uint16_t neuId = static_cast<uint16_t>(nlohmann::json::parse(created->json).at("channelId").get<int>());
    EXPECT_EQ(created->json, R"({"channelId":)" + std::to_string(neuId) + R"(,"name":"Neu","parentId":0})");
    EXPECT_EQ(bot2->nextEvent(), created);
    requestAndWait(anna, channelDeleteRequest(neuId));
    expectEvent(5, R"({"channelId":)" + std::to_string(neuId) + "}");
    // One user moves another: a join event, never a move event.
    requestAndWait(anna, moveRequest(20, 1));
    expectEvent(1, R"({"clientId":20,"nickname":"ben","channelId":1})");
    // Leaving the server.
    ben.client.close();
    expectEvent(2, R"({"clientId":20,"nickname":"ben"})");
    // The move event is never raised by the virtual server; its entry point
    // still builds it.
    api->onUserMoved(7, 1, 2);
    expectEvent(6, R"({"clientId":7,"fromChannelId":1,"toChannelId":2})");

    EXPECT_TRUE(stranger->drain().empty());
}

// ---------------------------------------------------------------- framing

TEST_F(BotServerTest, FramesAreCutFromTheStreamWhateverWayTheyArrive) {
    startApi();
    addToken("Helper");
    const auto listUsers = botCommandFrame(kListUsers, "{}");
    const auto listChannels = botCommandFrame(kListChannels, "{}");
    auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };

    {
        SCOPED_TRACE("two frames in one write");
        auto bot = dial();
        bot->send(join(botAuthFrame("tok-Helper"), listUsers));
        auto a = bot->waitFor(MessageType::BotAuthResult);
        auto b = bot->waitFor(MessageType::BotCommandResult);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(botReplyOf(*a).code, 0);
        EXPECT_EQ(botReplyOf(*b), (BotReply{0, "[]"}));
    }
    {
        SCOPED_TRACE("a header in two pieces, then byte by byte");
        auto bot = dial();
        const auto auth = botAuthFrame("tok-Helper");
        bot->sendBytes(auth.data(), 5);
        std::this_thread::sleep_for(30ms);  // lets the pieces arrive apart
        bot->sendBytes(auth.data() + 5, auth.size() - 5);
        ASSERT_TRUE(bot->waitFor(MessageType::BotAuthResult));
        for (uint8_t byte : listChannels) bot->sendBytes(&byte, 1);
        auto r = bot->waitFor(MessageType::BotCommandResult);
        ASSERT_TRUE(r);
        const BotReply channels = botReplyOf(*r);
        EXPECT_EQ(channels.code, 0);
        EXPECT_EQ(channels.text.rfind(R"([{"channelId":1,)", 0), 0u) << channels.text;
    }
    {
        SCOPED_TRACE("the largest payload after logging in, and one byte more");
        auto bot = botAs("Helper");
        std::vector<uint8_t> payload{kListUsers, 2, 0, '{', '}'};
        payload.resize(PacketHeader::kMaxPayload, 'x');  // bytes after the fields are ignored
        bot->send(rawPacket(static_cast<uint16_t>(MessageType::BotCommand), payload));
        auto r = bot->waitFor(MessageType::BotCommandResult, 15s);
        ASSERT_TRUE(r);
        EXPECT_EQ(botReplyOf(*r), (BotReply{0, "[]"}));
        bot->send(rawPacket(static_cast<uint16_t>(MessageType::BotCommand), {}, PacketHeader::kMagic, 1,
                            PacketHeader::kMaxPayload + 1));
        EXPECT_TRUE(bot->waitClosed());
        EXPECT_TRUE(bot->drain().empty()) << "a bad frame is not answered";
    }
    {
        SCOPED_TRACE("before logging in: commands go unanswered, larger frames end the connection");
        auto bot = dial();
        bot->send(listUsers);
        bot->send(rawPacket(static_cast<uint16_t>(MessageType::BotEvent), {1, 0, 0}));
        // A token of the longest length is looked up and refused.
        EXPECT_EQ(bot->auth(std::string(BotLimits::kMaxTokenBytes, 't')),
                  (BotReply{30, "Invalid or inactive bot token"}));
        EXPECT_TRUE(bot->seen.size() == 1) << "only the log-in was answered";
        // A string running past its payload is dropped; the session goes on.
        bot->send(rawPacket(static_cast<uint16_t>(MessageType::BotAuth), {9, 0, 'a'}));
        EXPECT_TRUE(bot->login("tok-Helper"));
        // A second log-in is ignored.
        bot->seen.clear();
        bot->send(botAuthFrame("tok-Helper"));
        EXPECT_EQ(bot->command(kListUsers), (BotReply{0, "[]"}));
        for (const auto& p : bot->seen) EXPECT_NE(p.type, MessageType::BotAuthResult) << "no second answer";

        auto early = dial();
        early->send(botAuthFrame(std::string(BotLimits::kMaxTokenBytes + 1, 't')));
        EXPECT_TRUE(early->waitClosed());
        EXPECT_TRUE(early->drain().empty());
    }
    for (const auto& [what, frame] :
         {std::pair<const char*, std::vector<uint8_t>>{"bad magic", rawPacket(0xD3, {4, 0, 0}, 0x12345678)},
          {"bad version", rawPacket(0xD3, {4, 0, 0}, PacketHeader::kMagic, 2)}}) {
        SCOPED_TRACE(what);
        auto bot = botAs("Helper");
        bot->send(frame);
        EXPECT_TRUE(bot->waitClosed());
        EXPECT_TRUE(bot->drain().empty());
    }
}

TEST_F(BotServerTest, SessionIdsCountFromOneAndAreNeverReused) {
    startApi();
    auto& log = LogCapture::instance();
    std::vector<std::unique_ptr<BotClient>> bots;
    for (int i = 1; i <= 3; ++i) {
        bots.push_back(dial());
        EXPECT_TRUE(log.waitFor(LogLevel::Info, "[BotAPI] New bot connection (session " + std::to_string(i) + ")"));
    }
    bots[1]->close();
    EXPECT_TRUE(log.waitFor(LogLevel::Info, "[BotAPI] Bot session 2 disconnected ()"));
    ASSERT_TRUE(eventually([&] { return api->sessionCount() == 2; })) << "the ended session is reaped";
    bots.push_back(dial());
    EXPECT_TRUE(log.waitFor(LogLevel::Info, "[BotAPI] New bot connection (session 4)"));
    EXPECT_EQ(log.countContaining("(session 2)"), 1u);
}

// ---------------------------------------------------------------- bounds

// Connections that wait for their log-in are bounded per remote address and
// in all; what is refused is closed at accept and logged at most once a
// second, and a log-in makes room at once.
TEST_F(BotServerTest, WaitingConnectionsAreBoundedPerAddressAndInAll) {
    struct Case {
        std::string what;
        std::size_t addresses;  // 127.0.0.1 and up, each filled to its bound
        std::string extraFrom;  // the connection that is one too many
        std::string refusal;
        std::string keptFrom;   // a connection that is still taken
    };
    const std::size_t perAddress = BotLimits::kMaxWaitingPerAddress;
    const std::size_t inAll = BotLimits::kMaxWaiting;
    const std::vector<Case> cases = {
        {"one address at its bound", 1, "127.0.0.1",
         "[BotAPI] Connection from 127.0.0.1 refused: " + std::to_string(perAddress) +
             " connections from it wait for their log-in",
         "127.0.0.2"},
        {"every place taken", inAll / perAddress, "127.0.0.200",
         "[BotAPI] Connection refused: " + std::to_string(inAll) + " connections wait for their log-in", ""},
    };
    addToken("Helper");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture::instance().clear();
        startApi();
        std::vector<std::unique_ptr<BotClient>> waiting;
        for (std::size_t a = 1; a <= c.addresses; ++a) {
            const std::string from = "127.0.0." + std::to_string(a);
            for (std::size_t i = 0; i < perAddress; ++i) {
                waiting.push_back(BotClient::dial(api->port(), {from.c_str()}));
                ASSERT_TRUE(waiting.back());
            }
        }
        ASSERT_TRUE(eventually([&] { return api->sessionCount() == waiting.size(); }, 10s));

        for (int i = 0; i < 3; ++i) {
            auto extra = BotClient::dial(api->port(), {c.extraFrom.c_str()});
            ASSERT_TRUE(extra);
            EXPECT_TRUE(extra->waitClosed()) << "closed at accept";
        }
        EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn, c.refusal));
        EXPECT_EQ(LogCapture::instance().countContaining("refused"), 1u) << "at most one refusal line a second";
        EXPECT_EQ(api->sessionCount(), waiting.size());

        if (!c.keptFrom.empty()) {
            auto other = BotClient::dial(api->port(), {c.keptFrom.c_str()});
            ASSERT_TRUE(other);
            EXPECT_TRUE(other->login("tok-Helper")) << "another address is not held up";
        }
        ASSERT_TRUE(waiting.front()->login("tok-Helper"));
        auto next = BotClient::dial(api->port(), {c.extraFrom.c_str()});
        ASSERT_TRUE(next);
        EXPECT_TRUE(next->login("tok-Helper")) << "a log-in frees its place";
        api.reset();
    }
}

// Logged-in bots count apart from those that wait: at most 64; one more is
// closed at accept, and one that waited is closed when it presents its
// token.
TEST_F(BotServerTest, AtMostSixtyFourBotsAreLoggedIn) {
    startApi();
    addToken("Helper");
    std::vector<std::unique_ptr<BotClient>> bots;
    for (std::size_t i = 0; i + 1 < BotLimits::kMaxSessions; ++i) bots.push_back(botAs("Helper"));
    auto late = dial();  // waits while the last place goes to another
    bots.push_back(botAs("Helper"));
    ASSERT_TRUE(eventually([&] { return api->sessionCount() == BotLimits::kMaxSessions + 1; }, 10s));

    auto extra = dial();
    EXPECT_TRUE(extra->waitClosed(5s)) << "the 65th connection is closed at once";
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn, "[BotAPI] Connection refused: 64 bot sessions already"));

    late->send(botAuthFrame("tok-Helper"));
    EXPECT_TRUE(late->waitClosed()) << "a 65th bot is not logged in";
    EXPECT_TRUE(late->drain().empty());

    bots.front()->close();
    ASSERT_TRUE(eventually([&] { return api->sessionCount() == BotLimits::kMaxSessions - 1; }));
    auto later = dial();
    EXPECT_TRUE(later->login("tok-Helper")) << "a freed place is taken again";
}

// Strangers from one address that keep opening silent connections, as many
// as there are places, never keep a bot with a valid token out.
TEST_F(BotServerTest, SilentConnectionsFromOneAddressNeverKeepABotWithAValidTokenOut) {
    startApi();
    addToken("Helper");
    Crowd strangers(api->port(), "127.0.0.2", 2 * BotLimits::kMaxSessions);
    ASSERT_TRUE(eventually([&] { return strangers.rounds() >= 3; }));

    const auto began = std::chrono::steady_clock::now();
    auto bot = BotClient::dial(api->port());
    ASSERT_TRUE(bot);
    EXPECT_EQ(bot->auth("tok-Helper"), (BotReply{0, "Authenticated as: Helper"}));
    EXPECT_LT(std::chrono::steady_clock::now() - began, kPromptly);
    EXPECT_TRUE(eventually([&] { return api->sessionCount() <= BotLimits::kMaxWaitingPerAddress + 1; }))
        << "the strangers hold their address's places only";
}

// One line per connection, log-in and disconnect of strangers would fill the
// disk: at most a few lines a second pass, the rest are counted in one
// summary line.
TEST_F(BotServerTest, TheLinesOfFailedLogInsAreBoundedAndSummarised) {
    startApi();
    const int connections = 100;
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < connections; ++i) {
        // One at a time, so that none is refused for its address's bound.
        ASSERT_TRUE(eventually([&] { return api->sessionCount() < BotLimits::kMaxWaitingPerAddress; }));
        auto b = dial();
        ASSERT_EQ(b->auth("wrong"), (BotReply{30, "Invalid or inactive bot token"}));
    }
    ASSERT_TRUE(eventually([&] { return api->sessionCount() == 0; }));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began).count() + 1;
    api->stop();  // tells what is still held back

    const std::vector<std::string> kinds = {"[BotAPI] New bot connection (session ",
                                            " auth failed – bad token", " disconnected ()"};
    std::size_t written = 0;
    uint64_t suppressed = 0;
    for (const auto& l : LogCapture::instance().lines()) {
        for (const auto& k : kinds) written += l.message.find(k) != std::string::npos ? 1 : 0;
        const std::string summary = "[BotAPI] Connection lines: ";
        if (l.message.starts_with(summary)) suppressed += std::stoull(l.message.substr(summary.size()));
    }
    EXPECT_LE(written, static_cast<std::size_t>(seconds) * BotLimits::kLogLinesPerAddress);
    EXPECT_EQ(written + suppressed, 3u * connections) << "every line held back is counted";
}

TEST_F(BotServerTest, AConnectionWithoutAThreadIsClosedAndTheNextOneServed) {
    makeApi();
    int calls = 0;
    api->startThread = [&calls](std::function<void()> body) {
        if (++calls == 1) throw std::system_error(EAGAIN, std::generic_category(), "no thread");
        return std::thread(std::move(body));
    };
    ASSERT_TRUE(api->start());
    const std::size_t before = openDescriptors();

    auto first = dial();
    EXPECT_TRUE(first->waitClosed());
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn,
                                               "[BotAPI] Bot session 1 closed: cannot start its thread: no thread: "
                                               "Resource temporarily unavailable"));
    addToken("Helper");
    auto second = dial();
    EXPECT_TRUE(second->login("tok-Helper"));
    EXPECT_EQ(api->sessionCount(), 1u);
    second.reset();
    first.reset();
    EXPECT_TRUE(eventually([&] { return api->sessionCount() == 0 && openDescriptors() == before; }))
        << "every socket of a finished session is closed";
}

TEST_F(BotServerTest, AcceptingWaitsOutAFullDescriptorTableWithoutSpinning) {
    startApi();
    addToken("Helper");
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(api->port());
    int connected = -1;
    rusage r0{}, r1{};
    std::chrono::steady_clock::duration wall{};
    {
        FullDescriptorTable full;
        ASSERT_TRUE(full.ok());
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        // The accept thread now fails with EMFILE; a loop that retried at
        // once would burn a core for the whole window.
        ::getrusage(RUSAGE_SELF, &r0);
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(400ms);
        ::getrusage(RUSAGE_SELF, &r1);
        wall = std::chrono::steady_clock::now() - t0;
    }
    ASSERT_EQ(connected, 0);

    auto cpu = [](const rusage& r) {
        return std::chrono::seconds(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               std::chrono::microseconds(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
    };
    EXPECT_LT(cpu(r1) - cpu(r0), wall / 2);
    BotClient bot(fd);
    EXPECT_TRUE(bot.login("tok-Helper")) << "the waiting connection is taken once descriptors are free";
}

TEST_F(BotServerTest, AConnectionThatDoesNotLogInInTimeIsClosed) {
    makeApi();
    api->authDeadline = 300ms;
    ASSERT_TRUE(api->start());
    addToken("Helper");
    auto silent = dial();
    auto trying = dial();
    auto bot = dial();
    ASSERT_TRUE(bot->login("tok-Helper"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(trying->auth("wrong")->code, 30);

    EXPECT_TRUE(silent->waitClosed(5s));
    EXPECT_TRUE(trying->waitClosed(5s)) << "failed tries do not extend the deadline";
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Info, "[BotAPI] Bot session 1 did not authenticate in time"));
    std::this_thread::sleep_for(300ms);  // past the deadline of the one that logged in
    EXPECT_EQ(bot->command(kListUsers), (BotReply{0, "[]"})) << "a logged-in bot may stay silent";
}

TEST_F(BotServerTest, EndingATokensSessionsLeavesTheOthers) {
    member(10, "anna");
    startApi();
    const int64_t alpha = addToken("Alpha");
    auto a1 = botAs("Alpha");
    auto a2 = botAs("Alpha");
    auto b = botAs("Beta");
    auto pending = dial();
    ASSERT_TRUE(eventually([&] { return api->sessionCount() == 4; }));

    api->endSessionsForToken(alpha);
    EXPECT_TRUE(a1->waitClosed());
    EXPECT_TRUE(a2->waitClosed());
    EXPECT_TRUE(eventually([&] { return api->sessionCount() == 2; }));
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "[BotAPI] Bot token " + std::to_string(alpha) +
                                                                " revoked: 2 session(s) ended"),
              1u);

    world.vs->onUserJoinedChannel(10, 1);
    const auto e = b->nextEvent();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->type, 1);
    EXPECT_TRUE(a1->drain().empty());
    EXPECT_EQ(b->command(kListUsers)->code, 0);
    EXPECT_TRUE(pending->login("tok-Beta"));
}

TEST_F(BotServerTest, StoppingEndsEveryConnectionAndLaterEventsGoNowhere) {
    member(10, "anna");
    startApi();
    auto bot = botAs("Helper");
    auto pending = dial();
    const uint16_t port = api->port();
    ASSERT_TRUE(eventually([&] { return api->sessionCount() == 2; }));

    api->stop();
    EXPECT_EQ(api->sessionCount(), 0u);
    EXPECT_TRUE(bot->waitClosed());
    EXPECT_TRUE(pending->waitClosed());
    EXPECT_EQ(connectLoopback(port), -1) << "the listener is closed";
    world.vs->onUserJoinedChannel(10, 1);
    api->stop();  // a second stop does nothing
}

TEST_F(BotServerTest, ABotThatStopsReadingDoesNotHoldUpChat) {
    auto& anna = member(10, "anna");
    auto& ben = member(20, "ben");
    startApi();
    auto slow = botAs("Slow");
    slow->shrinkReceiveBuffer(4096);
    auto fast = botAs("Fast");

    // Each message makes an event of 24 KB (control bytes are escaped six
    // times over): enough of them fill any socket buffers, and then the
    // slow bot's queue.
    const std::string text(4000, '\x01');
    const int messages = 250;
    auto worst = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < messages; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        anna.client.send(chatRequest(text));
        auto got = ben.client.waitFor(MessageType::ChatMessage, 20s);
        ASSERT_TRUE(got) << "message " << i;
        worst = std::max(worst, std::chrono::steady_clock::now() - t0);
        ASSERT_TRUE(anna.client.waitFor(MessageType::ChatMessage, 20s)) << "the sender's copy";
        auto e = fast->nextEvent(20s);
        ASSERT_TRUE(e) << "message " << i;
        EXPECT_EQ(e->type, 3);
    }
    // The events are raised on anna's reader thread: a send that waited for
    // the bot would show here as a pause of a whole stall time.
    EXPECT_LT(worst, 500ms) << "chat never waits for a bot that reads nothing";
    EXPECT_TRUE(eventually([&] { return api->sessionCount() == 1; }, 10s)) << "the bot that reads nothing is dropped";
    EXPECT_EQ(LogCapture::instance().countContaining("[BotAPI] Bot session 1 dropped: "), 1u);
    EXPECT_EQ(fast->command(kListUsers)->code, 0);
}

TEST_F(BotServerTest, ABotThatFallsBehindIsDroppedAloneAndOnce) {
    struct Case {
        const char* name;
        OutboundQueue::Limits limits;
        std::string reason;
    };
    const Case cases[] = {
        // Room for a few events only, and all the time in the world.
        {"its queue passes the bound", {64 * 1024, 60s}, "too much waits to be sent"},
        // Room for everything sent here, but a stall time well above the
        // pause that would show a send waiting for the bot.
        {"it takes nothing for the stall time", {256 * 1024 * 1024, 3s}, "it stopped reading"},
    };
    // Far below either wait for the bot, and still above what a loaded
    // machine takes to build and queue one event.
    constexpr auto kNoWait = 1s;
    addToken("Helper");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture::instance().clear();
        makeApi();
        api->sendLimits = c.limits;
        ASSERT_TRUE(api->start());
        // Two sessions of one token: one reads nothing, the other keeps up.
        auto slow = botAs("Helper");
        slow->shrinkReceiveBuffer(4096);
        auto keen = botAs("Helper");

        // In step with the reading bot, so only the other one falls behind.
        const std::string text(32 * 1024, 'x');
        const std::string dropped = "[BotAPI] Bot session 1 dropped: ";
        auto slowest = std::chrono::steady_clock::duration::zero();
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        uint32_t sent = 0;
        while (LogCapture::instance().countContaining(dropped) == 0 && std::chrono::steady_clock::now() < deadline) {
            const auto t0 = std::chrono::steady_clock::now();
            api->onChatMessage(++sent, "anna", text);
            slowest = std::max(slowest, std::chrono::steady_clock::now() - t0);
            const auto e = keen->nextEvent(20s);
            ASSERT_TRUE(e) << "event " << sent;
            ASSERT_EQ(*e, (BotEventText{3, R"({"clientId":)" + std::to_string(sent) + R"(,"nickname":"anna","text":")" +
                                               text + R"("})"}));
        }
        EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn, dropped + c.reason));
        EXPECT_LT(slowest, kNoWait) << "raising an event never waits for a bot (" << sent << " events)";

        EXPECT_TRUE(eventually([&] { return api->sessionCount() == 1; }, 10s));
        EXPECT_EQ(LogCapture::instance().countContaining(dropped), 1u) << "logged once";
        EXPECT_EQ(keen->command(kListUsers), (BotReply{0, "[]"})) << "the token's other session goes on";
        api->onChannelDeleted(9);
        EXPECT_EQ(keen->nextEvent(), (BotEventText{5, R"({"channelId":9})"}));
        api.reset();
    }
}

TEST_F(BotServerTest, BotsComingAndGoingWhileEventsFlowNeverSeeABrokenFrame) {
    startApi();
    addToken("Helper");
    std::atomic<bool> done{false};
    std::thread events([&] {
        uint32_t n = 0;
        while (!done.load()) {
            ++n;
            api->onChatMessage(n, "anna", std::string(n % 300, 'x'));
            std::this_thread::sleep_for(200us);
        }
    });
    std::vector<std::thread> bots;
    std::atomic<int> loggedIn{0};
    for (int t = 0; t < 6; ++t) {
        bots.emplace_back([&] {
            for (int round = 0; round < 10; ++round) {
                auto bot = BotClient::dial(api->port());
                if (!bot || !bot->login("tok-Helper")) continue;
                ++loggedIn;
                // A parse failure of a frame throws in the client.
                for (int i = 0; i < 5; ++i) {
                    auto e = bot->nextEvent();
                    if (!e) break;
                    EXPECT_EQ(e->type, 3);
                    EXPECT_TRUE(nlohmann::json::accept(e->json)) << e->json;
                }
                if (round % 2 == 0) {
                    EXPECT_EQ(bot->command(kListUsers)->code, 0);
                }
            }
        });
    }
    for (auto& t : bots) t.join();
    done.store(true);
    events.join();
    EXPECT_EQ(loggedIn.load(), 60);
    EXPECT_TRUE(eventually([&] { return api->sessionCount() == 0; }));
}

}  // namespace
}  // namespace Korrafin::Test
