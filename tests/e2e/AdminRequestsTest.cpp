// Administrators of the real binary at work: channel and settings changes
// reach every client and are there again after a restart; stopping and
// starting a virtual server with a port of its own closes and reopens that
// port.
#include <algorithm>
#include <optional>

#include "e2e/E2eFixture.h"
#include "support/Requests.h"
#include "support/TestClient.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

using AdminRequestsTest = E2eTest;

// A create or update record with every optional field.
ChannelRequest channelRecord(const std::string& name, const std::string& description, uint8_t sortOrder,
                             uint8_t isPermanent, const std::string& textColor) {
    ChannelRequest c;
    c.name = name;
    c.description = description;
    c.maxUsers = 8;
    c.sortOrder = sortOrder;
    c.isPermanent = isPermanent;
    c.logMode = 1;
    c.requiredRole = 1;
    c.iconUrl = "https://bilder.example/i.png";
    c.textColor = textColor;
    return c;
}

std::vector<uint8_t> createChannel(const std::string& name, uint8_t isPermanent = 1) {
    return channelCreateRequest(channelRecord(name, "frisch", 5, isPermanent, "#00ff00"));
}

std::vector<uint8_t> updateChannel(uint16_t id, const std::string& name, const std::string& description) {
    return channelUpdateRequest(id, channelRecord(name, description, 0, 1, "#0000ff"));
}

std::vector<uint8_t> settingsUpdate(const std::string& name, uint32_t accent) {
    DB::DbServerSettings s;
    s.name = name;
    s.description = "Beschreibung";
    s.accent_color = accent;
    s.notify_channel_id = 0;
    s.welcome_message = "Hallo und willkommen";
    s.entry_channel_id = 1;
    return settingsRequest(s, /*withBadge=*/false);
}

std::optional<ChannelInfo> named(const std::vector<ChannelInfo>& list, const std::string& name) {
    for (const auto& c : list)
        if (c.name == name) return c;
    return std::nullopt;
}

// The next ChannelList a client receives, with its records.
std::optional<std::vector<ChannelInfo>> nextChannels(TestClient& c) {
    auto p = c.waitFor(MessageType::ChannelList);
    if (!p) return std::nullopt;
    return channelsOf(*p);
}

std::vector<VServerRecord> listVServers(TestClient& c) {
    c.send(packet(MessageType::VServerListRequest));
    auto p = c.waitFor(MessageType::VServerList);
    if (!p) return {};
    return vserversOf(*p);
}

TEST_F(AdminRequestsTest, ChannelAndSettingsChangesReachEveryClientAndSurviveARestart) {
    const uint16_t seeded = seedChannels({"Alt"}).at(0);
    writeConfig(nlohmann::json::parse(R"([{"id":1,"name":"Haupt","serverKey":"k1"}])"));
    uint16_t werkstatt = 0;
    {
        auto server = startReady();
        auto admin = TestClient::dial(tcpPort);
        auto member = TestClient::dial(tcpPort);
        ASSERT_TRUE(admin && admin->hello() && admin->login("admin", "k1"));
        ASSERT_TRUE(member && member->hello() && member->login("member"));
        ASSERT_EQ(admin->role, 3);

        auto step = [&](const std::vector<uint8_t>& request) {
            admin->send(request);
            auto mine = nextChannels(*admin);
            auto theirs = nextChannels(*member);
            EXPECT_TRUE(mine && theirs);
            return theirs ? *theirs : std::vector<ChannelInfo>{};
        };

        auto seen = step(createChannel("Werkstatt"));
        ASSERT_TRUE(named(seen, "Werkstatt"));
        werkstatt = named(seen, "Werkstatt")->id;
        seen = step(createChannel("Weg", 0));
        ASSERT_TRUE(named(seen, "Weg"));
        const uint16_t weg = named(seen, "Weg")->id;
        seen = step(updateChannel(seeded, "Neu", "umgebaut"));
        EXPECT_FALSE(named(seen, "Alt"));
        ASSERT_TRUE(named(seen, "Neu"));
        seen = step(channelDeleteRequest(weg));
        EXPECT_FALSE(named(seen, "Weg"));

        seen = step(channelReorderRequest({werkstatt, seeded, 1}));
        EXPECT_EQ(named(seen, "Werkstatt")->sortOrder, 0);
        EXPECT_EQ(named(seen, "Neu")->sortOrder, 1);
        for (TestClient* c : {admin.get(), member.get()}) {
            auto echo = c->waitFor(MessageType::ChannelReorder);
            ASSERT_TRUE(echo);
            EXPECT_EQ(echo->payload.size(), 2u + 3 * 2);
        }

        admin->send(settingsUpdate("Neuer Name", 0x00AB12CD));
        for (TestClient* c : {admin.get(), member.get()}) {
            auto shown = c->waitFor(MessageType::ServerSettings);
            ASSERT_TRUE(shown);
            EXPECT_EQ(settingsOf(*shown).name, "Neuer Name");
        }

        // A member may not.
        member->send(createChannel("Verboten"));
        auto refusal = member->waitFor(MessageType::Error);
        ASSERT_TRUE(refusal);
        EXPECT_EQ(errorText(*refusal), "Cannot create channel");
        stopCleanly(*server);
    }

    auto server = startReady();
    auto later = TestClient::dial(tcpPort);
    ASSERT_TRUE(later && later->hello() && later->login("spaeter"));
    std::optional<std::vector<ChannelInfo>> atLogin;
    std::optional<DB::DbServerSettings> settings;
    for (const auto& p : later->seen) {
        if (p.type == MessageType::ChannelList && !atLogin) atLogin = channelsOf(p);
        if (p.type == MessageType::ServerSettings && !settings) settings = settingsOf(p);
    }
    ASSERT_TRUE(atLogin && settings);
    EXPECT_EQ(settings->name, "Neuer Name");
    EXPECT_EQ(settings->accent_color, 0x00AB12CDu);

    const auto kept = named(*atLogin, "Werkstatt");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->id, werkstatt) << "same id after the restart";
    EXPECT_EQ(kept->description, "frisch");
    EXPECT_EQ(kept->maxUsers, 8);
    EXPECT_EQ(kept->requiredRole, 1);
    EXPECT_EQ(kept->iconUrl, "https://bilder.example/i.png");
    EXPECT_EQ(kept->textColor, "#00ff00");
    EXPECT_EQ(kept->sortOrder, 0) << "reordered";
    const auto renamed = named(*atLogin, "Neu");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->id, seeded);
    EXPECT_EQ(renamed->description, "umgebaut");
    EXPECT_EQ(renamed->sortOrder, 1);
    EXPECT_FALSE(named(*atLogin, "Weg"));
    EXPECT_FALSE(named(*atLogin, "Alt"));
    stopCleanly(*server);
}

TEST_F(AdminRequestsTest, StoppingAndStartingAVirtualServerClosesAndReopensItsPort) {
    const OwnPorts own = writeThreeVServers();
    auto server = startReady();

    auto admin = TestClient::dial(tcpPort);
    ASSERT_TRUE(admin);
    const auto homeAck = admin->hello();
    ASSERT_TRUE(homeAck);
    const uint16_t home = homeAck->vsId;
    ASSERT_TRUE(admin->login("admin", "k1"));
    // One with a port of its own that is not the admin's.
    const uint16_t target = otherOwnPortServer(home);
    const uint16_t targetPort = own.of(target);

    auto carol = TestClient::dial(targetPort);
    ASSERT_TRUE(carol);
    const auto carolAck = carol->hello();
    ASSERT_TRUE(carolAck && carolAck->vsId == target && carol->login("carol"));
    auto before = listVServers(*admin);
    ASSERT_EQ(before.size(), 3u);
    ASSERT_TRUE(listedVServer(before, target));
    EXPECT_EQ(listedVServer(before, target)->running, 1);
    EXPECT_EQ(listedVServer(before, target)->users, 1);

    admin->send(idRequest(MessageType::VServerStop, target));
    EXPECT_TRUE(carol->waitClosed()) << "its sessions are disconnected";
    // The stop has returned (the accept thread was woken and joined) once the
    // list is answered.
    const auto stopped = listVServers(*admin);
    ASSERT_TRUE(listedVServer(stopped, target)) << "still listed while stopped";
    EXPECT_EQ(listedVServer(stopped, target)->running, 0);
    EXPECT_EQ(listedVServer(stopped, home)->running, 1);
    EXPECT_FALSE(TestClient::dial(targetPort)) << "its port is closed";

    admin->send(idRequest(MessageType::VServerStart, target));
    const auto started = listVServers(*admin);
    ASSERT_TRUE(listedVServer(started, target));
    EXPECT_EQ(listedVServer(started, target)->running, 1);
    auto again = TestClient::dial(targetPort);
    ASSERT_TRUE(again) << "its port is open again";
    const auto againAck = again->hello();
    ASSERT_TRUE(againAck);
    EXPECT_EQ(againAck->vsId, target);
    EXPECT_TRUE(again->login("carol"));
    stopCleanly(*server);
    const std::string log = readFile(path("korrafin.log"));
    EXPECT_NE(log.find("Client " + std::to_string(admin->clientId) + " (admin) stopped vserver " +
                       std::to_string(target)),
              std::string::npos);
    EXPECT_NE(log.find("Client " + std::to_string(admin->clientId) + " (admin) started vserver " +
                       std::to_string(target)),
              std::string::npos);
}

}  // namespace
}  // namespace Korrafin::Test
