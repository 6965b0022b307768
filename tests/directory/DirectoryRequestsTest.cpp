// The directory client's request bodies and address parsing: pure
// functions, checked byte for byte without any network.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "directory/DirectoryRequests.h"

namespace Korrafin {
namespace {

using nlohmann::json;

TEST(RequestBodies, RegisterBodyHasEveryFieldInOrder) {
    struct Case {
        const char* what;
        std::string body;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"typical listing",
         buildRegisterBody("Main", "203.0.113.5", 9987, "A server", "DE", 3, 32, true, "https://i/icon.png",
                           "https://i/banner.png"),
         R"({"name":"Main","ip":"203.0.113.5","port":9987,"description":"A server","country":"DE",)"
         R"("current_users":3,"max_slots":32,"password_protected":false,"version":"1.0.0","listed":true,)"
         R"("icon_url":"https://i/icon.png","banner_url":"https://i/banner.png"})"},
        {"first register: empty texts, nobody on, unlisted",
         buildRegisterBody("", "", 0, "", "", 0, 0, false, "", ""),
         R"({"name":"","ip":"","port":0,"description":"","country":"","current_users":0,"max_slots":0,)"
         R"("password_protected":false,"version":"1.0.0","listed":false,"icon_url":"","banner_url":""})"},
        {"escaped text, negative figures, highest port",
         buildRegisterBody("The \"Den\"", "1.2.3.4", 65535, "line1\nline2", "D\\E", -1, -32, true, "", ""),
         R"({"name":"The \"Den\"","ip":"1.2.3.4","port":65535,"description":"line1\nline2","country":"D\\E",)"
         R"("current_users":-1,"max_slots":-32,"password_protected":false,"version":"1.0.0","listed":true,)"
         R"("icon_url":"","banner_url":""})"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.body, c.expected) << c.what;
}

TEST(RequestBodies, HeartbeatBodyHasEveryFieldInOrder) {
    struct Case {
        const char* what;
        std::string body;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"main listing",
         buildHeartbeatBody("203.0.113.5", 9987, "Main", "About", 7, true, 32, 96, "https://i/i.png",
                            "https://i/b.png"),
         R"({"ip":"203.0.113.5","port":9987,"name":"Main","description":"About","current_users":7,)"
         R"("max_slots":32,"listed":true,"total_slots_configured":96,"icon_url":"https://i/i.png",)"
         R"("banner_url":"https://i/b.png"})"},
        {"secondary listing: empty description, own slots twice",
         buildHeartbeatBody("203.0.113.5", 10001, "Side", "", 0, false, 12, 12, "", ""),
         R"({"ip":"203.0.113.5","port":10001,"name":"Side","description":"","current_users":0,)"
         R"("max_slots":12,"listed":false,"total_slots_configured":12,"icon_url":"","banner_url":""})"},
        {"escaped URL text",
         buildHeartbeatBody("::1", 1, "n", "d", -5, true, 1, 1, "a\"b", "c\r"),
         R"({"ip":"::1","port":1,"name":"n","description":"d","current_users":-5,"max_slots":1,)"
         R"("listed":true,"total_slots_configured":1,"icon_url":"a\"b","banner_url":"c\r"})"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.body, c.expected) << c.what;
}

TEST(RequestBodies, UnregisterBodyNamesTheListingByAddressAndPort) {
    EXPECT_EQ(buildUnregisterBody("203.0.113.5", 9987), R"({"ip":"203.0.113.5","port":9987})");
    EXPECT_EQ(buildUnregisterBody("", 0), R"({"ip":"","port":0})");
    EXPECT_EQ(buildUnregisterBody("a\"b", 65535), R"({"ip":"a\"b","port":65535})");
}

TEST(RequestBodies, EveryTextReadsBackFromValidJson) {
    // Texts an operator or a chat administrator may set: every control
    // character must arrive escaped, whatever field it is in.
    const std::vector<std::string> texts = {
        "plain",
        "tab\there",
        std::string("nul\0inside", 11),
        "bell\a backspace\b form feed\f vertical tab\v escape\x1b",
        "\x01\x02\x1e\x1f",
        "line\r\nend \"quoted\" back\\slash",
        "https://i.example/x.png\x7f",
        "K\xc3\xa4se \xe2\x82\xac",
    };
    struct Body {
        const char* what;
        std::function<std::string(const std::string&)> build;
        std::vector<const char*> fields;  // those that carry the text
    };
    const std::vector<Body> bodyKinds = {
        {"register",
         [](const std::string& t) { return buildRegisterBody(t, t, 9987, t, t, 1, 2, true, t, t); },
         {"name", "ip", "description", "country", "icon_url", "banner_url"}},
        {"heartbeat",
         [](const std::string& t) { return buildHeartbeatBody(t, 9987, t, t, 1, false, 2, 3, t, t); },
         {"ip", "name", "description", "icon_url", "banner_url"}},
        {"unregister", [](const std::string& t) { return buildUnregisterBody(t, 9987); }, {"ip"}},
    };
    for (const auto& text : texts) {
        for (const auto& kind : bodyKinds) {
            SCOPED_TRACE(std::string(kind.what) + " with " + json(text).dump());
            const std::string body = kind.build(text);
            for (const char c : body) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << "a raw control byte";
            const json parsed = json::parse(body, nullptr, false);
            ASSERT_TRUE(parsed.is_object()) << body;
            for (const char* field : kind.fields) EXPECT_EQ(parsed.at(field), text) << field;
            EXPECT_EQ(parsed.at("port"), 9987);
        }
    }
}

TEST(ParseIp, TakesOnlyAnAddress) {
    struct Case {
        const char* what;
        std::string answer;
        std::string address;  // empty: no address, and the one given stays untouched
    };
    const std::vector<Case> cases = {
        {"empty answer", "", ""},
        {"JSON member", R"({"ip":"198.51.100.7"})", "198.51.100.7"},
        {"JSON member after others, blanks around", R"( {"country":"DE", "ip" :  "198.51.100.8", "x":1} )",
         "198.51.100.8"},
        {"IPv6 as JSON member", R"({"ip":"2001:db8::1"})", "2001:db8::1"},
        {"JSON null address with an error", R"({"ip":null,"error":"rate limited"})", ""},
        {"JSON error without an address", R"({"error":"rate limited"})", ""},
        {"JSON member that is a word", R"({"ip":"error"})", ""},
        {"JSON member that is a number", R"({"ip":3325256711})", ""},
        {"JSON member with blanks inside the quotes", R"({"ip":" 1.2.3.4 "})", ""},
        {"empty JSON member", R"({"ip":""})", ""},
        {"member with an unclosed value", R"({"ip":"1.2.3.4)", ""},
        {"JSON array", R"(["198.51.100.7"])", ""},
        {"plain IPv4 with line feed", "198.51.100.9\n", "198.51.100.9"},
        {"plain IPv4 with blanks, tabs and line ends around", " \t198.51.100.9 \r\n\t", "198.51.100.9"},
        {"plain IPv6", "2001:db8::1\n", "2001:db8::1"},
        {"plain IPv4-mapped IPv6", "::ffff:198.51.100.9", "::ffff:198.51.100.9"},
        {"a few bytes holding a dot", "abc.def", ""},
        {"a word with dots", "not.an.address", ""},
        {"a quoted address", R"("198.51.100.9")", ""},
        {"five parts", "1.2.3.4.5", ""},
        {"a part above 255", "198.51.100.256", ""},
        {"with a port", "198.51.100.9:443", ""},
        {"blank inside", "198.51.100. 9", ""},
        {"two addresses", "198.51.100.9 198.51.100.10", ""},
        {"HTML error page", "<html><body>Bad Gateway</body></html>", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string address = "untouched";
        EXPECT_EQ(parseIp(c.answer, address), !c.address.empty());
        EXPECT_EQ(address, c.address.empty() ? "untouched" : c.address);
    }
}

TEST(CurlWrite, AppendsEveryByteUpToTheAnswerBound) {
    std::string text = "ab";
    char chunk[] = {'c', 'd', 'e', 'f'};
    EXPECT_EQ(curlWrite(chunk, 2, 2, &text), 4u);
    EXPECT_EQ(text, "abcdef");

    // An answer that would outgrow the bound is refused whole, so libcurl
    // ends the transfer instead of memory growing with a hostile answer.
    std::string big(kMaxAnswerBytes - 3, 'x');
    EXPECT_EQ(curlWrite(chunk, 1, 3, &big), 3u);
    EXPECT_EQ(big.size(), kMaxAnswerBytes);
    EXPECT_EQ(curlWrite(chunk, 1, 1, &big), 0u);
    EXPECT_EQ(big.size(), kMaxAnswerBytes);
    // A size * count that overflows what is left is refused too.
    std::string empty;
    EXPECT_EQ(curlWrite(chunk, 1, kMaxAnswerBytes + 1, &empty), 0u);
    EXPECT_TRUE(empty.empty());
}

}  // namespace
}  // namespace Korrafin
