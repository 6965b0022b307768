// The entry condition of every dispatched message type, as one table: for
// each type and each kind of session, whether the request reaches its
// handler, is dropped without a word, or is refused with its Error text.
// The handlers are stand-ins that only record that they were reached.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "RecordingHandlers.h"
#include "protocol/ClientSession.h"
#include "protocol/PacketBuilder.h"
#include "support/LogCapture.h"
#include "support/SessionHarness.h"
#include "support/TestClient.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;

using ::Korrafin::Test::HandlerLog;
using ::Korrafin::Test::LogCapture;
using ::Korrafin::Test::SessionHarness;

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

// D reaches the handler, . is dropped silently, E gets the row's Error text,
// N gets "Server not ready.", A gets a HelloAck.
struct Row {
    MessageType type;
    const char* outcomes;  // one letter per session kind
    const char* errorText = "";
    std::vector<uint8_t> payload = {};
};

std::vector<uint8_t> joinPayload() {
    PacketBuilder b(MessageType::ChannelJoin);
    b.writeLE<uint16_t>(5);
    b.writeStr("pw");
    return b.payload;
}

std::vector<uint8_t> keyPayload() {
    PacketBuilder b(MessageType::UsePrivilegeKey);
    b.writeStr("KEY");
    return b.payload;
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
        {MessageType::ChannelJoin,           "...DDDDD.", "", joinPayload()},
        {MessageType::ChannelLeave,          "DD..DDDD."},
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
        {MessageType::UsePrivilegeKey,       "..NDDDDDN", "", keyPayload()},
        {MessageType::PrivKeyCreate,         "...EEEDD.", "Admin role required to create privilege keys"},
        {MessageType::PrivKeyRevoke,         "...EEEDD.", "Admin role required to revoke privilege keys"},
        {MessageType::PrivKeyListRequest,    "...EEEDD.", "Admin role required to manage privilege keys"},
        {MessageType::FileUpload,            "..DDDDDDD"},
        {MessageType::FileRequest,           "..DDDDDDD"},
        {MessageType::ServerSettingsUpdate,  "...EEEDD.", "Server settings require Admin role"},
        {MessageType::BotTokenListRequest,   "...EEEDD.", "Admin role required to manage bot tokens"},
        {MessageType::BotTokenCreate,        "...EEEDD.", "Admin role required to create bot tokens"},
        {MessageType::BotTokenRevoke,        "...EEEDD.", "Admin role required to revoke bot tokens"},
        {MessageType::PluginListRequest,     "......DD."},
        {MessageType::VServerListRequest,    "..DEEEEDE", "Admin role required"},
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

std::vector<uint8_t> sentinel() {
    PacketBuilder b(MessageType::ServerSettings);
    b.writeStr("sentinel");
    return b.finalise();
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
        if (kind.host) h->session->setHost(reinterpret_cast<Server*>(&fakeHost));
        if (kind.chatDenied) vs->permissions.setUserPermOverride(id, static_cast<Permission>(0), Permission::TEXT_CHAT);
        return h;
    }

    std::shared_ptr<VirtualServer> vs;
    int fakeHost = 0;  // never dereferenced by the stand-in handlers
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

            const auto bytes = kt::packet(row.type, row.payload);
            h->session->onDataReceived(bytes.data(), bytes.size());
            h->session->send(sentinel());

            std::vector<kt::Packet> replies;
            for (;;) {
                auto p = h->client.next();
                ASSERT_TRUE(p) << "the sentinel never came";
                if (p->type == MessageType::ServerSettings) break;
                replies.push_back(std::move(*p));
            }
            const auto reached = HandlerLog::take(id);

            switch (expected) {
                case 'D':
                    EXPECT_EQ(reached, std::vector<MessageType>{row.type});
                    EXPECT_TRUE(replies.empty());
                    break;
                case '.':
                    EXPECT_TRUE(reached.empty());
                    EXPECT_TRUE(replies.empty());
                    EXPECT_EQ(LogCapture::instance().countContaining("Client " + std::to_string(id)), 0u)
                        << "dropped silently means nothing logged either";
                    break;
                case 'E': {
                    EXPECT_TRUE(reached.empty());
                    ASSERT_EQ(replies.size(), 1u);
                    EXPECT_EQ(replies[0].type, MessageType::Error);
                    auto r = replies[0].reader();
                    EXPECT_EQ(r.readLE<uint16_t>(), static_cast<uint16_t>(ResultCode::Refused));
                    EXPECT_EQ(r.readStr(), row.errorText);
                    break;
                }
                case 'N': {
                    EXPECT_TRUE(reached.empty());
                    ASSERT_EQ(replies.size(), 1u);
                    EXPECT_EQ(replies[0].type, MessageType::UsePrivilegeKeyResult);
                    auto r = replies[0].reader();
                    EXPECT_EQ(r.readLE<uint8_t>(), 0);
                    EXPECT_EQ(r.readStr(), "Server not ready.");
                    break;
                }
                case 'A':
                    EXPECT_TRUE(reached.empty());
                    ASSERT_EQ(replies.size(), 1u);
                    EXPECT_EQ(replies[0].type, MessageType::HelloAck);
                    break;
                default:
                    FAIL() << "bad table letter";
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
        const auto bytes = kt::rawPacket(type, {1, 2, 3});
        h->session->onDataReceived(bytes.data(), bytes.size());
        h->session->send(sentinel());
        auto p = h->client.next();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->type, MessageType::ServerSettings) << "nothing is answered";
        EXPECT_TRUE(HandlerLog::take(id).empty());
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", type);
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Trace, "Client " + std::to_string(id) +
                                                                    ": unhandled message type " + hex),
                  1u);
        vs->removeSession(id);
    }
}

TEST_F(DispatchTableTest, NothingIsDispatchedAfterAHandlerClosedTheSession) {
    auto h = makeSession(7000, kKinds[4]);
    HandlerLog::disconnectOnNext(7000);
    std::vector<uint8_t> chunk = kt::packet(MessageType::ChannelCreate);
    // ChannelLeave has no state test of its own: only the framing stops it.
    for (MessageType t : {MessageType::ChannelLeave, MessageType::Hello, MessageType::ChannelUpdate}) {
        const auto p = kt::packet(t);
        chunk.insert(chunk.end(), p.begin(), p.end());
    }
    h->session->onDataReceived(chunk.data(), chunk.size());
    HandlerLog::disconnectOnNext(0);
    EXPECT_EQ(HandlerLog::take(7000), std::vector<MessageType>{MessageType::ChannelCreate});
    EXPECT_TRUE(h->session->isClosed());
    EXPECT_TRUE(h->client.waitClosed());
    EXPECT_TRUE(h->client.drain(std::chrono::milliseconds(20)).empty()) << "no HelloAck";
    // Later data is not even buffered for dispatch.
    const auto more = kt::packet(MessageType::ChannelLeave);
    h->session->onDataReceived(more.data(), more.size());
    EXPECT_TRUE(HandlerLog::take(7000).empty());
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
        const auto bytes = kt::packet(c.type, c.payload);
        h->session->onDataReceived(bytes.data(), bytes.size());
        h->session->send(sentinel());
        auto p = h->client.next();
        ASSERT_TRUE(p);
        EXPECT_EQ(p->type, MessageType::ServerSettings) << "no answer";
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "Client " + std::to_string(id) +
                                                                   ": packet processing error: PacketReader: buffer underflow"),
                  1u);
        vs->removeSession(id);
    }
}

}  // namespace
}  // namespace Korrafin
