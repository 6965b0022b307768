// The host's secondary directory listing of a virtual server: what it
// announces, and that its callables neither keep the virtual server alive nor
// reach it once it is gone.
#include <gtest/gtest.h>

#include <memory>

#include "server/Server.h"
#include "support/TestDatabase.h"
#include "vserver/VirtualServer.h"

namespace Korrafin::Test {
namespace {

TEST(DirectoryEntry, ReportsItsVirtualServerWhileItLivesAndNothingAfter) {
    TestDatabase store;
    DB::DbServerSettings settings;
    settings.icon_url = "https://x/icon.png";
    settings.banner_url = "https://x/banner.png";
    store.db->SaveServerSettings(settings);

    VirtualServer::VSConfig cfg;
    cfg.id = 7;
    cfg.name = "Side";
    cfg.maxSlots = 12;
    cfg.tcpPort = 10001;
    auto vs = std::make_shared<VirtualServer>(cfg);
    vs->db = store.db;

    const GlobalApiClient::SecondaryVS entry = Server::directoryEntryFor(vs);
    EXPECT_EQ(entry.name, "Side");
    EXPECT_EQ(entry.port, 10001);
    EXPECT_EQ(entry.maxSlots, 12);
    ASSERT_TRUE(entry.usersProvider);
    ASSERT_TRUE(entry.settingsProvider);
    EXPECT_EQ(entry.usersProvider(), 0);
    EXPECT_EQ(entry.settingsProvider(), (GlobalApiClient::Urls{"https://x/icon.png", "https://x/banner.png"}));

    // The entry outlives the virtual server (the client keeps it for good).
    const std::weak_ptr<VirtualServer> watch = vs;
    vs.reset();
    EXPECT_TRUE(watch.expired()) << "the listing keeps its virtual server alive";
    EXPECT_EQ(entry.usersProvider(), 0);
    EXPECT_EQ(entry.settingsProvider(), GlobalApiClient::Urls{});
}

}  // namespace
}  // namespace Korrafin::Test
