#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "vserver/ChannelManager.h"

using Korrafin::ChannelInfo;
using Korrafin::ChannelManager;
using nlohmann::json;

TEST(ChannelManagerJson, ExportsPermanentChannelsWithExactlyTheirKeys) {
    ChannelManager m;
    ChannelInfo c;
    c.id = 5;
    c.parentId = 2;
    c.name = "Talk";
    c.description = "d";
    c.password = "plain";
    c.hasPassword = true;
    c.maxUsers = 12;
    c.sortOrder = 3;
    c.requiredRole = 2;
    c.type = 1;
    c.logMode = true;
    c.iconUrl = "icon";
    c.messageCount = 8;
    m.createChannel(c);
    ChannelInfo temp;
    temp.id = 6;
    temp.isPermanent = false;
    m.createChannel(temp);
    m.addUser(5, 1);

    const json want = json::array({json{{"channelId", 5},
                                        {"parentId", 2},
                                        {"name", "Talk"},
                                        {"description", "d"},
                                        {"password", "plain"},
                                        {"maxUsers", 12},
                                        {"sortOrder", 3},
                                        {"requiredRole", 2},
                                        {"type", 1}}});
    EXPECT_EQ(m.toJson(), want);
    EXPECT_EQ(m.toJson().dump(),
              R"([{"channelId":5,"description":"d","maxUsers":12,"name":"Talk","parentId":2,)"
              R"("password":"plain","requiredRole":2,"sortOrder":3,"type":1}])");

    ChannelManager onlyTemp;
    onlyTemp.createChannel(temp);
    EXPECT_EQ(onlyTemp.toJson(), json::array());
}

TEST(ChannelManagerJson, ExportReadsBackIntoAnotherTree) {
    ChannelManager a;
    ChannelInfo c;
    c.id = 300;
    c.name = "x";
    c.password = "pw";
    c.maxUsers = 65535;
    c.sortOrder = 255;
    c.requiredRole = 4;
    c.type = 3;
    a.createChannel(c);

    ChannelManager b;
    b.fromJson(a.toJson());
    const ChannelInfo got = *b.find(300);
    EXPECT_EQ(got.name, "x");
    EXPECT_EQ(got.password, "pw");
    EXPECT_TRUE(got.hasPassword);
    EXPECT_TRUE(got.isPermanent);
    EXPECT_EQ(got.maxUsers, 65535);
    EXPECT_EQ(got.sortOrder, 255);
    EXPECT_EQ(got.requiredRole, 4);
    EXPECT_EQ(got.type, 3);
}

TEST(ChannelManagerJson, ImportSkipsLobbyAndZeroAndNarrowsNumbers) {
    ChannelManager m;
    m.fromJson(json::parse(R"([
        {"channelId": 0, "name": "zero"},
        {"channelId": 1, "name": "lobby"},
        {"channelId": 5, "name": "five", "maxUsers": 65537, "sortOrder": 300, "parentId": -1,
         "requiredRole": true, "type": 2.9, "isPermanent": false, "password": "",
         "description": ""},
        {"channelId": 6, "maxUsers": -1.7, "sortOrder": -2},
        {"name": "no id"}
    ])"));
    ASSERT_EQ(m.all().size(), 2u);
    EXPECT_EQ(m.find(6)->maxUsers, 65535);  // -1.7 truncates to -1
    EXPECT_EQ(m.find(6)->sortOrder, 254);
    const ChannelInfo c = *m.find(5);
    EXPECT_EQ(c.id, 5);
    EXPECT_EQ(c.name, "five");
    EXPECT_EQ(c.maxUsers, 1);
    EXPECT_EQ(c.sortOrder, 44);
    EXPECT_EQ(c.parentId, 65535);
    EXPECT_EQ(c.requiredRole, 1);
    EXPECT_EQ(c.type, 2);
    EXPECT_TRUE(c.isPermanent);
    EXPECT_FALSE(c.hasPassword);
}

TEST(ChannelManagerJson, ImportWalksEveryShapeOfDocument) {
    struct Case {
        const char* doc;
        std::size_t channels;
        const char* nameOf7;
    };
    const Case cases[] = {
        {"null", 0, nullptr},
        {"[]", 0, nullptr},
        {R"({"b": {"channelId": 7, "name": "B"}, "a": {"channelId": 7, "name": "A"}})", 1, "B"},  // key order
        {R"([{"channelId": 1e30, "name": "huge"}, {"channelId": -1e30}])", 0, nullptr},
        {R"([{"channelId": 7.99, "name": "float"}])", 1, "float"},
    };
    for (const auto& c : cases) {
        ChannelManager m;
        m.fromJson(json::parse(c.doc));
        const auto all = m.all();
        EXPECT_EQ(all.size(), c.channels) << c.doc;
        if (c.nameOf7) {
            EXPECT_EQ(m.find(7)->name, c.nameOf7) << c.doc;
        }
    }
}

TEST(ChannelManagerJson, ImportStopsAtTheFirstBadElementKeepingEarlierOnes) {
    struct Case {
        const char* doc;
    };
    const Case cases[] = {
        {R"([{"channelId": 4}, {"channelId": "9"}])"},
        {R"([{"channelId": 4}, {"channelId": 9, "name": 3}])"},
        {R"([{"channelId": 4}, {"channelId": 9, "maxUsers": null}])"},
        {R"([{"channelId": 4}, {"channelId": 9, "type": [1]}])"},
        {R"([{"channelId": 4}, 17])"},
        {R"([{"channelId": 4}, "text"])"},
    };
    for (const auto& c : cases) {
        ChannelManager m;
        EXPECT_THROW(m.fromJson(json::parse(c.doc)), json::type_error) << c.doc;
        EXPECT_TRUE(m.find(4).has_value()) << c.doc;
        EXPECT_FALSE(m.find(9).has_value()) << c.doc;
    }
    // A bare number is one element that is not an object; so are the member
    // values of a lone channel object.
    for (const char* doc : {"5", R"({"channelId": 7, "name": "single"})"}) {
        ChannelManager m;
        EXPECT_THROW(m.fromJson(json::parse(doc)), json::type_error) << doc;
        EXPECT_TRUE(m.all().empty()) << doc;
    }
}

TEST(ChannelManagerJson, ImportAddsToTheTreeAndKeepsAutomaticIdsClear) {
    ChannelManager m;
    ChannelInfo existing;
    existing.id = 2;
    existing.name = "kept";
    m.createChannel(existing);
    m.addUser(2, 1);
    m.fromJson(json::parse(R"([{"channelId": 3, "name": "loaded"}, {"channelId": 4}])"));

    EXPECT_EQ(m.find(2)->name, "kept");
    EXPECT_EQ(m.usersIn(2).size(), 1u);
    // The counter still points at 2, but loaded channels are not replaced.
    EXPECT_EQ(m.createChannel(ChannelInfo{}), 5);
    EXPECT_EQ(m.find(3)->name, "loaded");
}
