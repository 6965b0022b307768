// Administrators of the real binary at work: channel and settings changes
// reach every client and are there again after a restart; stopping and
// starting a virtual server with a port of its own closes and reopens that
// port.
#include <algorithm>
#include <optional>

#include "e2e/E2eFixture.h"
#include "support/ProtocolClient.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

using AdminRequestsTest = E2eTest;

// A create or update record with every optional field.
void writeChannel(PacketBuilder& b, const std::string& name, const std::string& description, uint8_t sortOrder,
                  uint8_t isPermanent, const std::string& textColor) {
    b.writeLE<uint16_t>(0);  // top level
    b.writeStr(name);
    b.writeStr(description);
    b.writeStr("");  // no password
    b.writeLE<uint16_t>(8);
    b.writeLE(sortOrder);
    b.writeLE(isPermanent);
    b.writeLE<uint8_t>(static_cast<uint8_t>(ChannelType::Text));
    b.writeLE<uint8_t>(1);  // logMode
    b.writeLE<uint8_t>(1);  // requiredRole
    b.writeLE<uint8_t>(0);
    b.writeLE<uint8_t>(0);
    b.writeStr("https://bilder.example/i.png");
    b.writeStr("");
    b.writeStr(textColor);
}

std::vector<uint8_t> createChannel(const std::string& name, uint8_t isPermanent = 1) {
    PacketBuilder b(MessageType::ChannelCreate);
    writeChannel(b, name, "frisch", 5, isPermanent, "#00ff00");
    return b.finalise();
}

std::vector<uint8_t> updateChannel(uint16_t id, const std::string& name, const std::string& description) {
    PacketBuilder b(MessageType::ChannelUpdate);
    b.writeLE(id);
    writeChannel(b, name, description, 0, 1, "#0000ff");
    return b.finalise();
}

std::vector<uint8_t> idRequest(MessageType type, uint16_t id) {
    PacketBuilder b(type);
    b.writeLE(id);
    return b.finalise();
}

std::vector<uint8_t> reorder(const std::vector<uint16_t>& ids) {
    PacketBuilder b(MessageType::ChannelReorder);
    b.writeLE(static_cast<uint16_t>(ids.size()));
    for (uint16_t id : ids) b.writeLE(id);
    return b.finalise();
}

std::vector<uint8_t> settingsUpdate(const std::string& name, uint32_t accent) {
    PacketBuilder b(MessageType::ServerSettingsUpdate);
    b.writeStr(name);
    b.writeStr("Beschreibung");
    b.writeStr("");
    b.writeStr("");
    b.writeLE(accent);
    b.writeLE<uint16_t>(0);
    b.writeStr("Hallo und willkommen");
    b.writeLE<uint16_t>(1);
    return b.finalise();
}

std::optional<ChannelInfo> named(const std::vector<ChannelInfo>& list, const std::string& name) {
    for (const auto& c : list)
        if (c.name == name) return c;
    return std::nullopt;
}

// The next ChannelList a client receives, with its records.
std::optional<std::vector<ChannelInfo>> nextChannels(ProtocolClient& c) {
    auto p = c.waitFor(MessageType::ChannelList);
    if (!p) return std::nullopt;
    return channelsOf(*p);
}

// The name and accent colour of a ServerSettings packet.
std::pair<std::string, uint32_t> settingsOf(const Packet& p) {
    auto r = p.reader();
    const std::string name = r.readStr();
    r.readStr();
    r.readStr();
    r.readStr();
    return {name, r.readLE<uint32_t>()};
}

struct VsRecord {
    uint16_t id;
    uint8_t running;
    uint16_t users;
};

std::vector<VsRecord> listVServers(ProtocolClient& c) {
    c.tcp->send(packet(MessageType::VServerListRequest));
    auto p = c.waitFor(MessageType::VServerList);
    if (!p) return {};
    auto r = p->reader();
    std::vector<VsRecord> out;
    for (uint16_t n = r.readLE<uint16_t>(); n > 0; --n) {
        VsRecord v{};
        v.id = r.readLE<uint16_t>();
        r.readStr();
        r.readLE<uint16_t>();
        r.readLE<uint16_t>();
        v.users = r.readLE<uint16_t>();
        v.running = r.readLE<uint8_t>();
        out.push_back(v);
    }
    return out;
}

std::optional<VsRecord> listed(const std::vector<VsRecord>& l, uint16_t id) {
    for (const auto& v : l)
        if (v.id == id) return v;
    return std::nullopt;
}

TEST_F(AdminRequestsTest, ChannelAndSettingsChangesReachEveryClientAndSurviveARestart) {
    const uint16_t seeded = seedChannels({"Alt"}).at(0);
    writeConfig(nlohmann::json::parse(R"([{"id":1,"name":"Haupt","serverKey":"k1"}])"));
    uint16_t werkstatt = 0;
    {
        auto server = startReady();
        ProtocolClient admin(tcpPort), member(tcpPort);
        ASSERT_TRUE(admin.connected() && admin.hello() && admin.login("admin", "k1"));
        ASSERT_TRUE(member.connected() && member.hello() && member.login("member"));
        ASSERT_EQ(admin.role, 3);

        auto step = [&](const std::vector<uint8_t>& request) {
            admin.tcp->send(request);
            auto mine = nextChannels(admin);
            auto theirs = nextChannels(member);
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
        seen = step(idRequest(MessageType::ChannelDelete, weg));
        EXPECT_FALSE(named(seen, "Weg"));

        seen = step(reorder({werkstatt, seeded, 1}));
        EXPECT_EQ(named(seen, "Werkstatt")->sortOrder, 0);
        EXPECT_EQ(named(seen, "Neu")->sortOrder, 1);
        for (ProtocolClient* c : {&admin, &member}) {
            auto echo = c->waitFor(MessageType::ChannelReorder);
            ASSERT_TRUE(echo);
            EXPECT_EQ(echo->payload.size(), 2u + 3 * 2);
        }

        admin.tcp->send(settingsUpdate("Neuer Name", 0x00AB12CD));
        for (ProtocolClient* c : {&admin, &member}) {
            auto shown = c->waitFor(MessageType::ServerSettings);
            ASSERT_TRUE(shown);
            EXPECT_EQ(settingsOf(*shown).first, "Neuer Name");
        }

        // A member may not.
        member.tcp->send(createChannel("Verboten"));
        auto refusal = member.waitFor(MessageType::Error);
        ASSERT_TRUE(refusal);
        auto r = refusal->reader();
        EXPECT_EQ(r.readLE<uint16_t>(), 4);
        EXPECT_EQ(r.readStr(), "Cannot create channel");
        stopCleanly(*server);
    }

    auto server = startReady();
    ProtocolClient later(tcpPort);
    ASSERT_TRUE(later.connected() && later.hello() && later.login("spaeter"));
    std::optional<std::vector<ChannelInfo>> atLogin;
    std::optional<std::pair<std::string, uint32_t>> settings;
    for (const auto& p : later.seen) {
        if (p.type == MessageType::ChannelList && !atLogin) atLogin = channelsOf(p);
        if (p.type == MessageType::ServerSettings && !settings) settings = settingsOf(p);
    }
    ASSERT_TRUE(atLogin && settings);
    EXPECT_EQ(settings->first, "Neuer Name");
    EXPECT_EQ(settings->second, 0x00AB12CDu);

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
    const uint16_t port2 = freePort(), port3 = freePort();
    writeConfig(nlohmann::json::parse(R"([{"id":1,"name":"Eins","serverKey":"k1"},
                                          {"id":2,"name":"Zwei","serverKey":"k1","tcpPort":)" +
                                      std::to_string(port2) + R"(},
                                          {"id":3,"name":"Drei","serverKey":"k1","tcpPort":)" +
                                      std::to_string(port3) + "}]"));
    auto server = startReady();

    ProtocolClient admin(tcpPort);
    ASSERT_TRUE(admin.connected());
    const auto home = admin.hello();
    ASSERT_TRUE(home);
    ASSERT_TRUE(admin.login("admin", "k1"));
    // One with a port of its own that is not the admin's.
    const uint16_t target = *home == 2 ? 3 : 2;
    const uint16_t targetPort = target == 2 ? port2 : port3;

    ProtocolClient carol(targetPort);
    ASSERT_TRUE(carol.connected() && carol.hello() == target && carol.login("carol"));
    auto before = listVServers(admin);
    ASSERT_EQ(before.size(), 3u);
    ASSERT_TRUE(listed(before, target));
    EXPECT_EQ(listed(before, target)->running, 1);
    EXPECT_EQ(listed(before, target)->users, 1);

    admin.tcp->send(idRequest(MessageType::VServerStop, target));
    EXPECT_TRUE(carol.tcp->waitClosed(5000ms)) << "its sessions are disconnected";
    // The stop has returned (the accept thread was woken and joined) once the
    // list is answered.
    const auto stopped = listVServers(admin);
    ASSERT_TRUE(listed(stopped, target)) << "still listed while stopped";
    EXPECT_EQ(listed(stopped, target)->running, 0);
    EXPECT_EQ(listed(stopped, *home)->running, 1);
    EXPECT_FALSE(ProtocolClient(targetPort).connected()) << "its port is closed";

    admin.tcp->send(idRequest(MessageType::VServerStart, target));
    const auto started = listVServers(admin);
    ASSERT_TRUE(listed(started, target));
    EXPECT_EQ(listed(started, target)->running, 1);
    ProtocolClient again(targetPort);
    ASSERT_TRUE(again.connected()) << "its port is open again";
    EXPECT_EQ(again.hello(), target);
    EXPECT_TRUE(again.login("carol"));
    stopCleanly(*server);
    const std::string log = readFile(path("korrafin.log"));
    EXPECT_NE(log.find("Client " + std::to_string(admin.clientId) + " (admin) stopped vserver " +
                       std::to_string(target)),
              std::string::npos);
    EXPECT_NE(log.find("Client " + std::to_string(admin.clientId) + " (admin) started vserver " +
                       std::to_string(target)),
              std::string::npos);
}

}  // namespace
}  // namespace Korrafin::Test
