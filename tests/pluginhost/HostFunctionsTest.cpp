// The host functions as a plugin calls them, on a virtual server with members
// on real sockets: what the members receive, what changes, the result codes,
// and the bad-argument and failure paths.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pluginhost/HostImpl.h"
#include "pluginhost/PluginContext.h"
#include "protocol/ClientSession.h"
#include "server/UdpVoiceServer.h"
#include "support/LogCapture.h"
#include "support/Time.h"
#include "support/UdpPeer.h"
#include "support/VServerWorld.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
using namespace std::chrono_literals;
using kt::LogCapture;
using kt::Packet;
using kt::receivedSoFar;
using kt::SessionHarness;
using kt::Types;
using kt::typesOf;

class HostFunctionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        ctx.vserver = world.vs;
        ctx.vsId = world.vs->id();
        ctx.pluginName = "Echo";
        ana = &world.join(10, "ana", UserRole::Member, 1);
        bo = &world.join(20, "bo", UserRole::Moderator, 1);
        room = world.addChannel("room", ChannelType::Voice);
        cy = &world.join(30, "cy", UserRole::Member, room);
        world.drainAll();
    }

    std::vector<SessionHarness*> everyone() const { return {ana, bo, cy}; }

    kt::VServerWorld world;
    KRP_Context ctx;
    const KRP_HostApi& api = HostImpl::hostApi();
    SessionHarness* ana = nullptr;
    SessionHarness* bo = nullptr;
    SessionHarness* cy = nullptr;
    uint16_t room = 0;
};

// ---------------------------------------------------------------- messages

TEST_F(HostFunctionsTest, AChannelMessageComesFromTheSystemUnderTheBracketedPluginName) {
    world.vs->lastMessageId = 41;
    EXPECT_EQ(api.send_message(&ctx, 1, "hi"), KRP_OK);
    for (SessionHarness* m : {ana, bo}) {
        const auto seen = receivedSoFar(*m);
        ASSERT_EQ(typesOf(seen), (Types{MessageType::ChatMessage})) << m->clientId;
        const auto line = kt::chatOf(seen[0]);
        EXPECT_EQ(line.senderId, 0u);
        EXPECT_EQ(line.channelId, 1);
        EXPECT_EQ(line.nickname, "[Echo]");
        EXPECT_EQ(line.text, "hi");
        EXPECT_EQ(line.messageId, 42u) << "numbered by the virtual server's counter";
    }
    EXPECT_TRUE(receivedSoFar(*cy).empty()) << "another channel";

    EXPECT_EQ(api.send_message(&ctx, 999, "nobody"), KRP_OK);
    EXPECT_EQ(world.vs->lastMessageId.load(), 43u) << "an unknown channel still uses up an id";
    EXPECT_EQ(api.send_message(&ctx, room, ""), KRP_OK);
    const auto seen = receivedSoFar(*cy);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(kt::chatOf(seen[0]).text, "");
    EXPECT_EQ(kt::chatOf(seen[0]).messageId, 44u);
    for (SessionHarness* m : {ana, bo}) EXPECT_TRUE(receivedSoFar(*m).empty());
}

TEST_F(HostFunctionsTest, ADirectMessageReachesItsRecipientFromSenderZeroUnderThePluginName) {
    struct Case {
        const char* name;
        uint32_t to;
        std::string text;
        SessionHarness* recipient;  // null: nobody gets it
    };
    const std::vector<Case> cases = {
        {"to a member", 20, "psst", bo},
        {"4096 bytes", 30, std::string(4096, 'd'), cy},
        {"empty", 20, "", nullptr},
        {"4097 bytes", 20, std::string(4097, 'd'), nullptr},
        {"to an id nobody has", 4242, "anyone?", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(api.send_dm(&ctx, c.to, c.text.c_str()), KRP_OK) << "reported as done whatever happened";
        for (SessionHarness* m : everyone()) {
            const auto seen = receivedSoFar(*m);
            if (m != c.recipient) {
                EXPECT_TRUE(seen.empty()) << m->clientId;
                continue;
            }
            ASSERT_EQ(typesOf(seen), (Types{MessageType::DirectMessage}));
            const auto dm = kt::directOf(seen[0]);
            EXPECT_EQ(dm.senderId, 0u);
            EXPECT_EQ(dm.nickname, "[Echo]");
            EXPECT_EQ(dm.text, c.text);
        }
    }
}

// ---------------------------------------------------------------- bad arguments and failures

TEST_F(HostFunctionsTest, BadContextsAndMissingPointersAreRefusedBeforeAnythingHappens) {
    KRP_Context none;  // names no virtual server
    none.pluginName = "None";
    KRP_Context removed;
    removed.pluginName = "Removed";
    {
        auto gone = kt::makeVServer(kt::vsConfig(9, "Gone"));
        removed.vserver = gone;
    }  // a virtual server removed while the plugin keeps its context

    using Call = std::function<int(KRP_Context*)>;
    KRP_User user{};
    KRP_Channel channel{};
    const int16_t pcm[4] = {1, 2, 3, 4};
    uint16_t out = 7;
    const std::vector<std::pair<const char*, Call>> needContext = {
        {"send_message", [&](KRP_Context* c) { return api.send_message(c, 1, "x"); }},
        {"send_dm", [&](KRP_Context* c) { return api.send_dm(c, 20, "x"); }},
        {"kick_user", [&](KRP_Context* c) { return api.kick_user(c, 20, "x"); }},
        {"ban_user", [&](KRP_Context* c) { return api.ban_user(c, 20, "x", 60); }},
        {"move_user", [&](KRP_Context* c) { return api.move_user(c, 20, room); }},
        {"set_role", [&](KRP_Context* c) { return api.set_role(c, 20, "admin"); }},
        {"create_channel", [&](KRP_Context* c) { return api.create_channel(c, 0, "new", &out); }},
        {"delete_channel", [&](KRP_Context* c) { return api.delete_channel(c, room); }},
        {"rename_channel", [&](KRP_Context* c) { return api.rename_channel(c, room, "x"); }},
        {"get_user", [&](KRP_Context* c) { return api.get_user(c, 20, &user); }},
        {"get_channel", [&](KRP_Context* c) { return api.get_channel(c, 1, &channel); }},
        {"inject_voice", [&](KRP_Context* c) { return api.inject_voice(c, 1, pcm, 4); }},
    };
    for (KRP_Context* c : {static_cast<KRP_Context*>(nullptr), &none, &removed}) {
        SCOPED_TRACE(c ? c->pluginName : "null context");
        for (const auto& [name, call] : needContext) EXPECT_EQ(call(c), KRP_ERR_INVALID) << name;
        EXPECT_EQ(api.get_online_users(c, nullptr, 10), 0);
        EXPECT_STREQ(api.get_server_name(c), "");
    }
    EXPECT_EQ(out, 7) << "a refused call writes nothing";

    const std::vector<std::pair<const char*, Call>> needPointer = {
        {"send_message", [&](KRP_Context* c) { return api.send_message(c, 1, nullptr); }},
        {"send_dm", [&](KRP_Context* c) { return api.send_dm(c, 20, nullptr); }},
        {"set_role", [&](KRP_Context* c) { return api.set_role(c, 20, nullptr); }},
        {"create_channel", [&](KRP_Context* c) { return api.create_channel(c, 0, nullptr, &out); }},
        {"rename_channel", [&](KRP_Context* c) { return api.rename_channel(c, room, nullptr); }},
        {"get_user", [&](KRP_Context* c) { return api.get_user(c, 20, nullptr); }},
        {"get_channel", [&](KRP_Context* c) { return api.get_channel(c, 1, nullptr); }},
        {"inject_voice", [&](KRP_Context* c) { return api.inject_voice(c, 1, nullptr, 4); }},
    };
    for (const auto& [name, call] : needPointer) EXPECT_EQ(call(&ctx), KRP_ERR_INVALID) << name;

    EXPECT_EQ(world.vs->allSessions().size(), 3u) << "nobody was kicked or banned";
    EXPECT_EQ(bo->session->role(), UserRole::Moderator);
    for (SessionHarness* m : everyone()) EXPECT_TRUE(receivedSoFar(*m).empty()) << m->clientId;
}

TEST_F(HostFunctionsTest, TheStubsAnswerTheSameForAnyArguments) {
    for (KRP_Context* c : {static_cast<KRP_Context*>(nullptr), &ctx}) {
        EXPECT_EQ(api.delete_message(c, 5), KRP_OK);
        EXPECT_EQ(api.set_muted(c, 20, true), KRP_OK);
        EXPECT_EQ(api.db_set(c, "k", "v"), KRP_OK);
        EXPECT_EQ(api.db_get(c, "k"), nullptr) << "nothing was stored";
    }
}

TEST_F(HostFunctionsTest, AFailureInsideAHostFunctionBecomesItsResultNotAThrow) {
    // A name the chat packet cannot carry: the packet builder throws.
    ctx.pluginName = std::string(70000, 'n');
    EXPECT_EQ(api.send_message(&ctx, 1, "hi"), KRP_ERR_FAILED);
    EXPECT_EQ(api.send_dm(&ctx, 20, "hi"), KRP_ERR_FAILED);
    EXPECT_EQ(LogCapture::instance().countContaining("PluginLoader: host function send_message failed"), 1u);
    for (SessionHarness* m : everyone()) EXPECT_TRUE(receivedSoFar(*m).empty());
}

TEST_F(HostFunctionsTest, TimerFunctionsOutsideACallIntoAPluginDoNothing) {
    EXPECT_EQ(api.set_timeout(&ctx, 10, nullptr, nullptr), -1);
    EXPECT_EQ(api.set_interval(&ctx, 10, nullptr, nullptr), -1);
    api.clear_timer(&ctx, 1);
    std::thread other([&] { EXPECT_EQ(api.set_timeout(&ctx, 10, nullptr, nullptr), -1); });
    other.join();
}

// ---------------------------------------------------------------- moderation

TEST_F(HostFunctionsTest, RoleTextsMapExactlyAndEveryOtherTextMeansMember) {
    const std::vector<std::pair<const char*, UserRole>> cases = {
        {"moderator", UserRole::Moderator}, {"admin", UserRole::Admin}, {"owner", UserRole::Owner},
        {"Admin", UserRole::Member},        {"guest", UserRole::Member}, {"", UserRole::Member},
        {"admin ", UserRole::Member},
    };
    for (const auto& [text, role] : cases) {
        SCOPED_TRACE(std::string("'") + text + "'");
        bo->session->setRole(UserRole::Guest);
        EXPECT_EQ(api.set_role(&ctx, 20, text), KRP_OK);
        EXPECT_EQ(bo->session->role(), role);
        const auto seen = receivedSoFar(*ana);
        ASSERT_EQ(typesOf(seen), (Types{MessageType::UserUpdated})) << "every user is told";
        EXPECT_EQ(kt::userOf(seen[0]).role, role);
    }
    EXPECT_EQ(api.set_role(&ctx, 4242, "admin"), KRP_OK) << "an unknown id is not reported";
}

TEST_F(HostFunctionsTest, KicksBansAndMovesActWithTheSystemsRightsAndReportDone) {
    EXPECT_EQ(api.kick_user(&ctx, 4242, nullptr), KRP_OK);
    EXPECT_EQ(api.ban_user(&ctx, 4242, nullptr, 0), KRP_OK);

    EXPECT_EQ(api.move_user(&ctx, 10, room), KRP_OK);
    EXPECT_EQ(ana->session->channelId(), room);
    const uint16_t spacer = world.addChannel("gap", ChannelType::Spacer);
    EXPECT_EQ(api.move_user(&ctx, 10, spacer), KRP_OK) << "a refused move is not reported";
    EXPECT_EQ(ana->session->channelId(), room);

    EXPECT_EQ(api.kick_user(&ctx, 10, nullptr), KRP_OK);
    EXPECT_TRUE(ana->client.waitClosed());
    EXPECT_EQ(api.ban_user(&ctx, 30, "spam", -1), KRP_OK);
    EXPECT_TRUE(cy->client.waitClosed());
    EXPECT_TRUE(world.vs->isBanned("127.0.0.1", "")) << "banned for good";
}

// ---------------------------------------------------------------- channels

TEST_F(HostFunctionsTest, ChannelsMadeRenamedAndDeletedByAPlugin) {
    uint16_t id = 77;
    EXPECT_EQ(api.create_channel(&ctx, 0, "", &id), KRP_ERR_FAILED);
    EXPECT_EQ(id, 0) << "0 on refusal";
    EXPECT_EQ(api.create_channel(&ctx, 0, "bare", nullptr), KRP_OK);

    ASSERT_EQ(api.create_channel(&ctx, room, "side", &id), KRP_OK);
    ASSERT_NE(id, 0);
    const auto made = world.vs->channelManager.find(id);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->name, "side");
    EXPECT_EQ(made->parentId, room);
    EXPECT_FALSE(made->isPermanent);
    EXPECT_EQ(made->type, static_cast<uint8_t>(ChannelType::Voice));
    EXPECT_EQ(made->maxUsers, 0);

    EXPECT_EQ(api.rename_channel(&ctx, 4242, "x"), KRP_ERR_NOT_FOUND);
    EXPECT_EQ(api.rename_channel(&ctx, id, std::string(129, 'n').c_str()), KRP_ERR_FAILED);
    EXPECT_EQ(api.rename_channel(&ctx, id, std::string(128, 'n').c_str()), KRP_OK);
    EXPECT_EQ(world.vs->channelManager.find(id)->name, std::string(128, 'n'));
    EXPECT_EQ(world.vs->channelManager.find(id)->parentId, room) << "the other fields stay";

    EXPECT_EQ(api.delete_channel(&ctx, 1), KRP_ERR_FAILED) << "the lobby stays";
    EXPECT_EQ(api.delete_channel(&ctx, id), KRP_OK);
    EXPECT_FALSE(world.vs->channelManager.find(id));
}

// ---------------------------------------------------------------- queries

TEST_F(HostFunctionsTest, AUserRecordCarriesTheSessionsFieldsAndTextsOfThisThread) {
    KRP_User untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    KRP_User out = untouched;
    EXPECT_EQ(api.get_user(&ctx, 4242, &out), KRP_ERR_NOT_FOUND);
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0);

    const std::vector<std::pair<uint8_t, const char*>> roles = {
        {0, "guest"}, {1, "member"}, {2, "moderator"}, {3, "admin"}, {4, "owner"}, {9, "member"}};
    for (const auto& [role, text] : roles) {
        cy->session->updateInfo([r = role](UserInfo& u) { u.role = static_cast<UserRole>(r); });
        out = untouched;
        ASSERT_EQ(api.get_user(&ctx, 30, &out), KRP_OK);
        EXPECT_EQ(out.id, 30u);
        EXPECT_EQ(out.channel_id, room);
        EXPECT_STREQ(out.nickname, "cy");
        EXPECT_STREQ(out.role, text) << int(role);
        EXPECT_EQ(out.reserved[0] | out.reserved[1] | out.reserved[2], 0);
    }

    KRP_User first{};
    KRP_User second{};
    ASSERT_EQ(api.get_user(&ctx, 10, &first), KRP_OK);
    std::thread other([&] {
        KRP_User there{};
        EXPECT_EQ(api.get_user(&ctx, 20, &there), KRP_OK);
        EXPECT_STREQ(there.nickname, "bo");
    });
    other.join();
    EXPECT_STREQ(first.nickname, "ana") << "another thread's call leaves this thread's texts alone";
    ASSERT_EQ(api.get_user(&ctx, 20, &second), KRP_OK);
    EXPECT_STREQ(first.nickname, "bo") << "the next call on this thread reuses the storage";
}

TEST_F(HostFunctionsTest, AChannelRecordCarriesTheTreesFieldsAndTheLiveMemberCount) {
    ChannelInfo topic;
    topic.name = "topic";
    topic.description = "about things";
    topic.parentId = room;
    topic.maxUsers = 5;
    topic.isPermanent = true;
    const std::vector<std::pair<uint8_t, const char*>> types = {
        {0, "voice"}, {1, "text"}, {2, "news"}, {3, "spacer"}, {7, "voice"}};
    for (const auto& [type, text] : types) {
        topic.type = type;
        const uint16_t id = world.vs->channelManager.createChannel(topic);
        KRP_Channel out{};
        ASSERT_EQ(api.get_channel(&ctx, id, &out), KRP_OK);
        EXPECT_EQ(out.id, id);
        EXPECT_EQ(out.parent_id, room);
        EXPECT_STREQ(out.name, "topic");
        EXPECT_STREQ(out.description, "about things");
        EXPECT_STREQ(out.type, text) << int(type);
        EXPECT_EQ(out.max_users, 5);
        EXPECT_EQ(out.user_count, 0u);
        EXPECT_EQ(out.permanent, 1);
    }
    KRP_Channel lobby{};
    ASSERT_EQ(api.get_channel(&ctx, 1, &lobby), KRP_OK);
    EXPECT_EQ(lobby.user_count, 2u);
    EXPECT_EQ(api.get_channel(&ctx, 4242, &lobby), KRP_ERR_NOT_FOUND);
}

TEST_F(HostFunctionsTest, OnlineUsersAreCountedAndCopiedUpToTheLimit) {
    struct Case {
        bool withBuffer;
        int max;
        int want;
    };
    for (const Case c : {Case{false, 10, 3}, Case{false, 2, 2}, Case{true, 0, 0}, Case{true, -1, 0},
                         Case{true, 2, 2}, Case{true, 10, 3}}) {
        SCOPED_TRACE("max " + std::to_string(c.max) + (c.withBuffer ? " into a buffer" : " counted"));
        std::vector<uint32_t> ids(12, 0xFFFFFFFFu);
        EXPECT_EQ(api.get_online_users(&ctx, c.withBuffer ? ids.data() : nullptr, c.max), c.want);
        const int written = c.withBuffer ? c.want : 0;
        const std::set<uint32_t> distinct(ids.begin(), ids.begin() + written);
        EXPECT_EQ(distinct.size(), static_cast<std::size_t>(written));
        for (uint32_t id : distinct) EXPECT_TRUE(id == 10 || id == 20 || id == 30) << id;
        EXPECT_EQ(ids[written], 0xFFFFFFFFu) << "nothing past what was written";
    }
}

TEST_F(HostFunctionsTest, TheServerNameIsTheCurrentOne) {
    EXPECT_STREQ(api.get_server_name(&ctx), "World");
    auto cfg = world.vs->config();
    cfg.name = "Renamed";
    world.vs->setConfig(cfg);
    EXPECT_STREQ(api.get_server_name(&ctx), "Renamed");
}

// ---------------------------------------------------------------- voice and log

TEST_F(HostFunctionsTest, InjectedVoiceReachesTheChannelThroughTheContextsRelay) {
    UdpVoiceServer relay;
    ASSERT_TRUE(relay.start(0));
    relay.registerVServer(world.vs->id(), world.vs);
    ctx.udp = &relay;
    kt::UdpPeer peer;
    // The relay learns where cy listens from cy's own voice.
    peer.sendTo(relay.localPort(), kt::voiceDatagram(30, world.vs->id(), room, 0, {1, 2}));
    ASSERT_TRUE(kt::eventually([&] { return relay.endpointOf(30).has_value(); }));

    const int16_t pcm[3] = {1, -2, 3};
    EXPECT_EQ(api.inject_voice(&ctx, room, pcm, 3), KRP_OK);
    const auto got = peer.receive(3000ms);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 20u + 6u);
    const auto header = VoicePacketHeader::parse(got->data());
    EXPECT_EQ(header.senderId, UdpVoiceServer::kInjectSenderId);
    EXPECT_EQ(header.vsId, world.vs->id());
    EXPECT_EQ(header.channelId, room);
    EXPECT_EQ(header.payloadType, UdpVoiceServer::kPcmPayloadType);
    EXPECT_EQ(std::memcmp(got->data() + 20, pcm, 6), 0);
    relay.stop();
}

TEST_F(HostFunctionsTest, LogLinesTakeTheirLevelFromExactWordsAndKeepBraces) {
    struct Case {
        const char* level;
        LogLevel want;
    };
    for (const Case c : {Case{"ERROR", LogLevel::Error}, Case{"WARN", LogLevel::Warn}, Case{"WARNING", LogLevel::Info},
                         Case{"error", LogLevel::Info}, Case{nullptr, LogLevel::Info}, Case{"INFO", LogLevel::Info}}) {
        SCOPED_TRACE(c.level ? c.level : "null");
        LogCapture::instance().clear();
        api.log_fn(&ctx, c.level, "a {} b");
        EXPECT_EQ(LogCapture::instance().count(c.want, "[Echo] a {} b"), 1u);
    }
    LogCapture::instance().clear();
    api.log_fn(nullptr, "INFO", "x");
    api.log_fn(&ctx, "INFO", nullptr);
    EXPECT_TRUE(LogCapture::instance().lines().empty());
}

}  // namespace
}  // namespace Korrafin
