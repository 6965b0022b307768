// Number and role words of the console commands.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "console/ConsoleArgs.h"

namespace Korrafin {
namespace {

template <class Parse>
void expectRefused(Parse parse, const std::string& word, const char* message) {
    try {
        parse(word);
        ADD_FAILURE() << "'" << word << "' was taken";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), message) << word;
    }
}

TEST(ConsoleArgsTest, IdsTakeALeadingNumberThatFitsAndNothingElse) {
    struct Case {
        std::string word;
        long long id16;     // -1: refused
        long long client;   // -1: refused
    };
    const Case cases[] = {
        {"1", 1, 1},
        {"+7", 7, 7},
        {"12abc", 12, 12},  // what follows the digits is ignored
        {"0", 0, 0},
        {"-0", 0, 0},
        {"65535", 65535, 65535},
        {"65536", -1, 65536},       // no wrap onto id 0
        {"65537", -1, 65537},       // no wrap onto id 1
        {"4294967295", -1, 4294967295LL},
        {"4294967296", -1, -1},     // no wrap onto client 0
        {"-1", -1, -1},             // no wrap onto the largest id
        {"99999999999999999999999", -1, -1},
        {"abc", -1, -1},
        {"", -1, -1},
        {"-", -1, -1},
        {"x12", -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        if (c.id16 < 0) {
            expectRefused(ConsoleArgs::id16, c.word, "stoi");
        } else {
            EXPECT_EQ(ConsoleArgs::id16(c.word), c.id16);
        }
        if (c.client < 0) {
            expectRefused(ConsoleArgs::clientId, c.word, "stoi");
        } else {
            EXPECT_EQ(ConsoleArgs::clientId(c.word), c.client);
        }
    }
}

TEST(ConsoleArgsTest, SecondsTakeAnySigned64BitNumber) {
    EXPECT_EQ(ConsoleArgs::seconds("3600"), 3600);
    EXPECT_EQ(ConsoleArgs::seconds("-5"), -5);
    EXPECT_EQ(ConsoleArgs::seconds("60s"), 60);
    EXPECT_EQ(ConsoleArgs::seconds("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ConsoleArgs::seconds("-9223372036854775808"), INT64_MIN);
    expectRefused(ConsoleArgs::seconds, "9223372036854775808", "stoll");
    expectRefused(ConsoleArgs::seconds, "soon", "stoll");
}

TEST(ConsoleArgsTest, RoleWordsAreExactAndNeverGiveTheOwner) {
    const std::pair<const char*, UserRole> cases[] = {
        {"guest", UserRole::Guest}, {"member", UserRole::Member}, {"mod", UserRole::Moderator},
        {"admin", UserRole::Admin}, {"Admin", UserRole::Member},  {"owner", UserRole::Member},
        {"moderator", UserRole::Member}, {"", UserRole::Member},
    };
    for (const auto& [word, role] : cases) EXPECT_EQ(ConsoleArgs::role(word), role) << word;
}

}  // namespace
}  // namespace Korrafin
