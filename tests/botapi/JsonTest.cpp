// The bot API's JSON texts: members written by hand must be valid JSON
// whatever bytes a client chose, and command arguments are read typed when
// they parse, by byte search when they do not, and refused when an id does
// not fit.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

#include "botapi/CommandArgs.h"
#include "core/JsonText.h"

namespace Korrafin {
namespace {

using nlohmann::json;

TEST(BotJson, StringValuesAreEscapedAndRepairedToValidUtf8) {
    struct Case {
        const char* what;
        std::string value;
        std::string escaped;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"plain", "hello", "hello"},
        {"quote, backslash, line feed, return, tab", "\"\\\n\r\t", "\\\"\\\\\\n\\r\\t"},
        {"other control bytes", std::string("a\x01\x1f\x00z", 5), "a\\u0001\\u001f\\u0000z"},
        {"DEL is allowed as it is", "\x7f", "\x7f"},
        {"two, three and four byte characters", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5"},
        {"a lone continuation byte", "a\x80z", "a" + fffd + "z"},
        {"bytes that never start a character", "\xC0\xC1\xF5\xFF", fffd + fffd + fffd + fffd},
        {"an overlong form", "\xC0\xAF", fffd + fffd},
        {"an overlong three-byte form", "\xE0\x80\xAF", fffd + fffd + fffd},
        {"a surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"a character cut short at the end", "ok\xE2\x82", "ok" + fffd},
        {"a character cut short by ASCII", "\xF0\x9F\x8E\"", fffd + "\\\""},
        {"a nickname meant to end the object", "x\",\"admin\":true,\"y\":\"", "x\\\",\\\"admin\\\":true,\\\"y\\\":\\\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Json::escape(c.value), c.escaped);
        const std::string member = Json::str("text", c.value);
        EXPECT_EQ(member, "\"text\":\"" + c.escaped + "\"");
        const json parsed = json::parse("{" + member + "}");
        if (c.escaped.find(fffd) == std::string::npos) {
            EXPECT_EQ(parsed.at("text").get<std::string>(), c.value) << "what is valid reads back unchanged";
        }
    }
}

TEST(BotJson, AnyBytesMakeAnObjectTheJsonLibraryReads) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 40);
    for (int round = 0; round < 2000; ++round) {
        std::string value;
        const int n = length(rng);
        for (int i = 0; i < n; ++i) value += static_cast<char>(byte(rng));
        const std::string text = Json::object({Json::str("nickname", value), Json::num("clientId", 7)});
        EXPECT_TRUE(json::accept(text)) << text;
    }
}

TEST(BotJson, NumbersAndObjectsAreCompact) {
    EXPECT_EQ(Json::num("clientId", 0), "\"clientId\":0");
    EXPECT_EQ(Json::num("channelId", 65535), "\"channelId\":65535");
    EXPECT_EQ(Json::num("clientId", 4294967295u), "\"clientId\":4294967295");
    EXPECT_EQ(Json::object({}), "{}");
    EXPECT_EQ(Json::object({Json::num("channelId", 5)}), "{\"channelId\":5}");
    EXPECT_EQ(Json::object({Json::num("clientId", 3), Json::str("nickname", "ann"), Json::num("channelId", 1)}),
              "{\"clientId\":3,\"nickname\":\"ann\",\"channelId\":1}");
}

// ---------------------------------------------------------------- arguments

constexpr uint64_t kMax16 = std::numeric_limits<uint16_t>::max();
constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();

TEST(BotCommandArgs, IdsAreReadTypedWhenTheTextParsesAndBySearchWhenItDoesNot) {
    struct Case {
        const char* args;
        bool structured;
        std::optional<uint64_t> id;  // "clientId", at most 2^32 - 1; nothing: refused
    };
    const Case cases[] = {
        // Parsed with the JSON library.
        {R"({"clientId":5})", true, 5},
        {R"({ "clientId" : 5 })", true, 5},
        {"{\"clientId\":\t5}", true, 5},
        {R"({})", true, 0},
        {R"({"other":5})", true, 0},
        {R"({"text":"\"clientId\":9"})", true, 0},  // a key inside another value is no member
        {R"({"clientId":4294967295})", true, kMax32},
        {R"({"clientId":4294967296})", true, std::nullopt},
        {R"({"clientId":-5})", true, std::nullopt},
        {R"({"clientId":5.5})", true, std::nullopt},
        {R"({"clientId":"5"})", true, std::nullopt},
        {R"({"clientId":null})", true, std::nullopt},
        {R"({"clientId":true})", true, std::nullopt},
        {R"({"clientId":99999999999999999999999})", true, std::nullopt},
        // Not JSON: the byte search.
        {R"({"clientId":5,})", false, 5},
        {R"("clientId":17)", false, 17},
        {R"({"clientId": 5,})", false, 5},
        {R"({"clientId":"8",})", false, 8},
        {R"({"clientId":-5,})", false, std::nullopt},
        {R"({"clientId":null,})", false, std::nullopt},
        {R"({"clientId":4294967296,})", false, std::nullopt},
        {R"({"clientId":99999999999999999999999,})", false, std::nullopt},
        {"", false, 0},
        {"garbage", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandArgs args(c.args);
        EXPECT_EQ(args.structured(), c.structured);
        EXPECT_EQ(args.id("clientId", kMax32), c.id);
    }
    EXPECT_EQ(CommandArgs(R"({"channelId":65535})").id("channelId", kMax16), 65535u);
    EXPECT_EQ(CommandArgs(R"({"channelId":65537})").id("channelId", kMax16), std::nullopt) << "never cut to fit";
    EXPECT_EQ(CommandArgs(R"("channelId":65537)").id("channelId", kMax16), std::nullopt);
}

TEST(BotCommandArgs, StringsAndTheTrueFlag) {
    struct Case {
        const char* args;
        std::optional<std::string> text;  // nothing: refused
        bool all;
    };
    const Case cases[] = {
        {R"({"text":"hi","all":true})", "hi", true},
        {R"({ "text" : "a \"quoted\" \\ word\n", "all" : true })", "a \"quoted\" \\ word\n", true},
        {R"({"text":"\u00e9"})", "\xC3\xA9", false},
        {R"({"all":false})", "", false},
        {R"({"all":"true"})", "", false},
        {R"({"all":1})", "", false},
        {R"({"text":5})", std::nullopt, false},
        {R"({"text":null})", std::nullopt, false},
        // The byte search: nothing is unescaped, blanks hide a member.
        {R"({"text":"hi","all":true,})", "hi", true},
        {R"({"text":"a\"b",})", "a\\", false},
        {R"({"text": "hi","all": true,})", "", false},
        {R"({"text":"unterminated)", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandArgs args(c.args);
        EXPECT_EQ(args.text("text"), c.text);
        EXPECT_EQ(args.isTrue("all"), c.all);
    }
}

}  // namespace
}  // namespace Korrafin
