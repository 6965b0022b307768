// The entry condition of every dispatched message type, as one table: for
// each type and each kind of session, whether the request reaches its
// handler, is dropped without a word, or is refused with its Error text.
// The session and its handlers are the real ones; whether a handler was
// reached shows in what it does with the row's payload: an empty payload
// makes a handler that reads one log its reader error, the others answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ClientSession.h"
#include "server/Server.h"
#include "support/LogCapture.h"
#include "support/Requests.h"
#include "support/SessionHarness.h"
#include "support/Wire.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

struct SessionKind {
    const char* name;
    SessionState state;
    bool vserver;
    UserRole role;
    uint16_t channel;
    bool host;
    bool chatDenied;  // TEXT_CHAT taken away by an override
};

// The columns of the table below, in this order.
const std::vector<SessionKind> kKinds = {
    {"connected", SessionState::Connected, true, UserRole::Member, 5, true, false},
    {"awaiting auth", SessionState::AwaitingAuth, true, UserRole::Member, 5, true, false},
    {"no vserver, admin", SessionState::Authenticated, false, UserRole::Admin, 0, true, false},
    {"guest in lobby, no chat", SessionState::Authenticated, true, UserRole::Guest, 1, false, true},
    {"member", SessionState::Authenticated, true, UserRole::Member, 5, false, false},
    {"moderator", SessionState::Authenticated, true, UserRole::Moderator, 5, true, false},
    {"admin, no host", SessionState::Authenticated, true, UserRole::Admin, 5, false, false},
    {"role byte 9", SessionState::Authenticated, true, static_cast<UserRole>(9), 5, true, false},
    {"no vserver, member", SessionState::Authenticated, false, UserRole::Member, 0, true, false},
};

// What a reached handler does with the row's payload: send a reply that ends
// with a packet of `reply` (none: send nothing) and log `log` once ("{id}"
// stands for the client id; none: nothing to look for).
struct Reached {
    std::optional<MessageType> reply;
    const char* log;
};

// Every handler that reads a payload fails on an empty one.
const Reached kUnderflow{std::nullopt, "Client {id}: packet processing error: PacketReader: buffer underflow"};

// D reaches the handler, . is dropped silently (nothing answered, nothing
// logged), E gets the row's Error text, N gets "Server not ready.", A gets a
// HelloAck.
struct Row {
    MessageType type;
    const char* outcomes;  // one letter per session kind
    const char* errorText = "";
    std::vector<uint8_t> payload = {};
    Reached reached = kUnderflow;
};

// A channel nobody has: a reached join is refused and changes nothing.
constexpr uint16_t kNoChannel = 0x1234;

std::vector<uint8_t> payloadOf(const std::vector<uint8_t>& request) {
    return std::vector<uint8_t>(request.begin() + PacketHeader::kSize, request.end());
}

const std::vector<Row>& rows() {
    static const std::vector<Row> r = {
        // clang-format off
        //                                      conn await noVA guest memb mod  adm  r9   noVM
        {MessageType::Hello,                 "AAAAAAAAA"},
        {MessageType::Pong,                  "........."},
        {MessageType::AuthRequest,           ".D......."},
        {MessageType::ChannelCreate,         "...DDDDD."},
        {MessageType::ChannelDelete,         "...DDDDD."},
        {MessageType::ChannelUpdate,         "...DDDDD."},
        {MessageType::ChannelJoin,           "...DDDDD.", "", payloadOf(channelJoinRequest(kNoChannel, "pw")),
                                             {MessageType::ChannelJoinResult, nullptr}},
        {MessageType::ChannelLeave,          "....DDDD.", "", {}, {MessageType::ChannelJoinResult, nullptr}},
        {MessageType::ChannelReorder,        "...DDDDD."},
        {MessageType::VoiceState,            "..DDDDDDD"},
        {MessageType::UserStatusUpdate,      "..DDDDDDD"},
        {MessageType::UserActivityUpdate,    "..DDDDDDD"},
        {MessageType::ChatMessage,           "....DDDD."},
        {MessageType::MessageDelete,         ".....DDD."},
        {MessageType::KickUser,              "...DDDDD."},
        {MessageType::BanUser,               "...DDDDD."},
        {MessageType::MoveUser,              "...DDDDD."},
        {MessageType::SetUserRole,           "...DDDDD."},
        {MessageType::UsePrivilegeKey,       "..NDDDDDN", "", payloadOf(stringRequest(MessageType::UsePrivilegeKey, "KEY")),
                                             {MessageType::UsePrivilegeKeyResult, "Client {id} () used privilege key: rejected"}},
        {MessageType::PrivKeyCreate,         "...EEEDD.", "Admin role required to create privilege keys"},
        {MessageType::PrivKeyRevoke,         "...EEEDD.", "Admin role required to revoke privilege keys"},
        {MessageType::PrivKeyListRequest,    "...EEEDD.", "Admin role required to manage privilege keys", {},
                                             {MessageType::PrivKeyList, "Client {id} requested privilege key list (0 keys)"}},
        {MessageType::FileUpload,            "..DDDDDDD"},
        {MessageType::FileRequest,           "..DDDDDDD"},
        {MessageType::ServerSettingsUpdate,  "...EEEDD.", "Server settings require Admin role"},
        {MessageType::BotTokenListRequest,   "...EEEDD.", "Admin role required to manage bot tokens", {},
                                             {MessageType::BotTokenList, "Client {id} requested bot token list (0 tokens)"}},
        {MessageType::BotTokenCreate,        "...EEEDD.", "Admin role required to create bot tokens"},
        {MessageType::BotTokenRevoke,        "...EEEDD.", "Admin role required to revoke bot tokens"},
        {MessageType::PluginListRequest,     "......DD.", "", {}, {MessageType::PluginList, nullptr}},
        {MessageType::VServerListRequest,    "..DEEEEDE", "Admin role required", {}, {MessageType::VServerList, nullptr}},
        {MessageType::VServerStop,           "..DEEEEDE", "Admin role required"},
        {MessageType::VServerStart,          "..DEEEEDE", "Admin role required"},
        {MessageType::DmSend,                "...DDDDD."},
        {MessageType::ChannelContentGet,     "...DDDDD."},
        {MessageType::ChannelContentUpdate,  "...DDDDD."},
        {MessageType::ChannelReactionToggle, "...DDDDD."},
        {MessageType::UserRegister,          "...DDDDD."},
        {MessageType::UserLogin,             "...DDDDD."},
        // clang-format on
    };
    return r;
}

std::string withId(const char* pattern, uint32_t id) {
    std::string s = pattern;
    const auto at = s.find("{id}");
    if (at != std::string::npos) s.replace(at, 4, std::to_string(id));
    return s;
}

// The packets a session's client received in answer to one packet that the
// test thread fed it.
std::vector<Packet> feed(SessionHarness& h, const std::vector<uint8_t>& bytes) {
    h.session->onDataReceived(bytes.data(), bytes.size());
    return receivedSoFar(h);
}

class DispatchTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        Logger::instance().setLevel(LogLevel::Trace);
        VirtualServer::VSConfig cfg;
        cfg.maxSlots = 100000;
        vs = std::make_shared<VirtualServer>(cfg);
        ChannelInfo five;
        five.id = 5;
        five.name = "five";
        vs->channelManager.createChannel(five);
    }
    void TearDown() override { Logger::instance().setLevel(LogLevel::Info); }

    // A session fed by the test thread itself (no reader thread), so every
    // handler has finished when onDataReceived returns.
    std::unique_ptr<SessionHarness> makeSession(uint32_t id, const SessionKind& kind) {
        auto h = std::make_unique<SessionHarness>(id, SessionHarness::Transport::Unix);
        if (kind.vserver) {
            EXPECT_TRUE(vs->acceptSession(h->session));
        }
        h->session->updateInfo([&](UserInfo& u) {
            u.role = kind.role;
            u.channelId = kind.channel;
        });
        if (kind.state != SessionState::Connected) {
            EXPECT_TRUE(h->session->changeState(SessionState::Connected, kind.state));
        }
        if (kind.host) h->session->setHost(&host);
        if (kind.chatDenied) vs->permissions.setUserPermOverride(id, static_cast<Permission>(0), Permission::TEXT_CHAT);
        return h;
    }

    // Never started: it has no virtual servers, ports or database.
    Server host;
    std::shared_ptr<VirtualServer> vs;
};

TEST_F(DispatchTableTest, EveryTypeInEveryKindOfSession) {
    ASSERT_EQ(kKinds.size(), 9u);
    uint32_t nextId = 1000;
    for (const Row& row : rows()) {
        ASSERT_EQ(std::string(row.outcomes).size(), kKinds.size());
        for (std::size_t k = 0; k < kKinds.size(); ++k) {
            const SessionKind& kind = kKinds[k];
            const char expected = row.outcomes[k];
            const uint32_t id = ++nextId;
            SCOPED_TRACE(::testing::Message() << "type 0x" << std::hex << static_cast<int>(row.type) << std::dec
                                              << " in session '" << kind.name << "', expected " << expected);
            auto h = makeSession(id, kind);
            LogCapture::instance().clear();

            const auto replies = feed(*h, packet(row.type, row.payload));
            auto& log = LogCapture::instance();
            const std::string client = "Client " + std::to_string(id);

            if (expected == 'D') {
                if (row.reached.reply) {
                    EXPECT_FALSE(replies.empty()) << "the handler answers";
                    if (!replies.empty()) {
                        EXPECT_EQ(replies.back().type, *row.reached.reply);
                    }
                } else {
                    EXPECT_TRUE(replies.empty());
                }
                if (row.reached.log) {
                    EXPECT_EQ(log.count(withId(row.reached.log, id)), 1u) << "the handler ran";
                }
            } else {
                // Not reached: whatever the handler would have logged is
                // missing, and so is anything else about this client.
                EXPECT_EQ(log.countContaining(client), 0u) << "the handler was not reached";
                switch (expected) {
                    case '.':
                        EXPECT_TRUE(replies.empty()) << "dropped silently";
                        break;
                    case 'E':
                        EXPECT_EQ(replies.size(), 1u);
                        if (replies.size() == 1) {
                            EXPECT_EQ(errorText(replies[0]), row.errorText);
                        }
                        break;
                    case 'N':
                        EXPECT_EQ(replies.size(), 1u);
                        if (replies.size() == 1) {
                            EXPECT_EQ(replies[0].type, MessageType::UsePrivilegeKeyResult);
                            auto r = replies[0].reader();
                            EXPECT_EQ(r.readLE<uint8_t>(), 0);
                            EXPECT_EQ(r.readStr(), "Server not ready.");
                        }
                        break;
                    case 'A':
                        EXPECT_EQ(replies.size(), 1u);
                        if (replies.size() == 1) {
                            EXPECT_EQ(replies[0].type, MessageType::HelloAck);
                        }
                        break;
                    default:
                        FAIL() << "bad table letter";
                }
            }
            EXPECT_FALSE(h->session->isClosed());
            vs->removeSession(id);
        }
    }
}

TEST_F(DispatchTableTest, TypesOutsideTheTableAreOnlyTraced) {
    const SessionKind& admin = kKinds[7];
    uint32_t id = 5000;
    for (uint16_t type : {0x0002, 0x0004, 0x0025, 0x00D0, 0x00D3, 0x00F0, 0x00FF, 0x1234, 0xFFFF}) {
        SCOPED_TRACE(type);
        auto h = makeSession(++id, admin);
        LogCapture::instance().clear();
        EXPECT_TRUE(feed(*h, rawPacket(type, {1, 2, 3})).empty()) << "nothing is answered";
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", type);
        const std::string traced = "Client " + std::to_string(id) + ": unhandled message type " + hex;
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Trace, traced), 1u);
        EXPECT_EQ(LogCapture::instance().countContaining("Client " + std::to_string(id)), 1u)
            << "the trace is all that happens";
        vs->removeSession(id);
    }
}

// A moderator kicks itself; the packets behind the kick in the same chunk
// are not dispatched. The moderator is logged in, so only the framing stops
// the ChannelLeave: dispatched, it would move the session to the lobby.
TEST_F(DispatchTableTest, NothingIsDispatchedAfterAHandlerClosedTheSession) {
    auto h = makeSession(7000, kKinds[5]);
    std::vector<uint8_t> chunk = kickRequest(7000, "self");
    for (MessageType t : {MessageType::ChannelLeave, MessageType::Hello, MessageType::ChannelUpdate}) {
        const auto p = packet(t);
        chunk.insert(chunk.end(), p.begin(), p.end());
    }
    LogCapture::instance().clear();
    h->session->onDataReceived(chunk.data(), chunk.size());
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Info, "Disconnecting client 7000: Kicked: self"), 1u)
        << "the kick ran";
    EXPECT_TRUE(h->session->isClosed());
    EXPECT_TRUE(h->client.waitClosed());
    EXPECT_TRUE(h->client.drain(std::chrono::milliseconds(20)).empty()) << "no HelloAck";
    EXPECT_EQ(h->session->channelId(), 5) << "no move to the lobby";
    EXPECT_EQ(LogCapture::instance().countContaining("Client 7000: packet processing error"), 0u);

    // Later data is not even buffered for dispatch.
    std::vector<uint8_t> more = packet(MessageType::ChannelLeave);
    const auto update = packet(MessageType::ChannelUpdate);
    more.insert(more.end(), update.begin(), update.end());
    h->session->onDataReceived(more.data(), more.size());
    EXPECT_EQ(h->session->channelId(), 5);
    EXPECT_EQ(LogCapture::instance().countContaining("Client 7000: packet processing error"), 0u);
    vs->removeSession(7000);
}

// Requests whose fields are read before the virtual server is looked at:
// a short payload is an error even for a session without one, and the
// not-ready answer needs a well-formed request.
TEST_F(DispatchTableTest, ShortRequestsReadBeforeTheVirtualServerTest) {
    struct Case {
        MessageType type;
        std::vector<uint8_t> payload;
    };
    const std::vector<Case> cases = {
        {MessageType::ChannelJoin, {5}},
        {MessageType::ChannelJoin, {5, 0, 3, 0, 'a'}},
        {MessageType::UsePrivilegeKey, {}},
        {MessageType::UsePrivilegeKey, {4, 0, 'a', 'b'}},
    };
    uint32_t id = 6000;
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        auto h = makeSession(++id, kKinds[2]);
        LogCapture::instance().clear();
        EXPECT_TRUE(feed(*h, packet(c.type, c.payload)).empty()) << "no answer";
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "Client " + std::to_string(id) +
                                                                   ": packet processing error: PacketReader: buffer underflow"),
                  1u);
        vs->removeSession(id);
    }
}

}  // namespace
}  // namespace Korrafin::Test
