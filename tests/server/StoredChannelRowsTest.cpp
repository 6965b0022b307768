// Stored channel rows hold wider numbers than the channel tree does. A value
// past what the tree's field holds must not wrap onto another meaning: a
// parent id onto another channel (65537 is the lobby once cut to 16 bits), a
// type onto the spacer, a user limit onto a small one.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/RawSqlite.h"
#include "support/TestDatabase.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;

TEST(StoredChannelRowsTest, NumbersPastTheTreesFieldsAreHeldAtTheirEndsNotWrapped) {
    struct Case {
        const char* what;
        const char* columns;  // assignments for the row's columns
        uint16_t parentId;
        uint16_t maxUsers;
        uint8_t sortOrder;
        uint8_t requiredRole;
        uint8_t type;
    };
    const std::vector<Case> cases = {
        {"values that fit", "parent_id = 1, max_users = 12, sort_order = 3, required_role = 2, channel_type = 1", 1,
         12, 3, 2, 1},
        {"a parent id that would wrap onto the lobby", "parent_id = 65537", 0, 0, 0, 0, 0},
        {"a negative parent id", "parent_id = -1", 0, 0, 0, 0, 0},
        {"large numbers", "max_users = 70000, sort_order = 1000, required_role = 300, channel_type = 259", 0, 65535,
         255, 255, 255},
        {"negative numbers", "max_users = -5, sort_order = -1, required_role = -1, channel_type = -3", 0, 0, 0, 0, 0},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kt::TestDatabase db;
        {
            kt::RawSqlite raw(db.path());
            raw.exec("INSERT INTO Channels(id, name) VALUES (5, 'Raum')");
            raw.exec(std::string("UPDATE Channels SET ") + c.columns + " WHERE id = 5");
        }
        db.reopen();

        VirtualServer::VSConfig cfg;
        auto vs = std::make_shared<VirtualServer>(cfg);
        vs->db = db.db;
        vs->loadChannelsFromDb();

        const auto ch = vs->channelManager.find(5);
        ASSERT_TRUE(ch);
        EXPECT_EQ(ch->parentId, c.parentId);
        EXPECT_EQ(ch->maxUsers, c.maxUsers);
        EXPECT_EQ(ch->sortOrder, c.sortOrder);
        EXPECT_EQ(ch->requiredRole, c.requiredRole);
        EXPECT_EQ(ch->type, c.type);
    }
}

}  // namespace
}  // namespace Korrafin
