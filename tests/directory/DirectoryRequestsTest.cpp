// The directory client's request bodies, escaping and address parsing: pure
// functions, checked byte for byte without any network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory/DirectoryRequests.h"

namespace Korrafin {
namespace {

TEST(EscapeJson, EscapesQuoteBackslashAndLineEndsOnly) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"plain text", "plain text"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\dir", "C:\\\\dir"},
        {"a\nb", "a\\nb"},
        {"a\r\nb", "a\\r\\nb"},
        // Other control bytes and UTF-8 pass through unchanged.
        {"a\tb", "a\tb"},
        {std::string("a\x01" "b", 3), std::string("a\x01" "b", 3)},
        {"Gr\xC3\xBC\xC3\x9F" "e", "Gr\xC3\xBC\xC3\x9F" "e"},
        // An escaped backslash before a quote stays two separate escapes.
        {"\\\"", "\\\\\\\""},
    };
    for (const auto& c : cases) EXPECT_EQ(escapeJson(c.in), c.out) << "input: " << c.in;
}

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

TEST(ParseIp, ReadsJsonMemberOrPlainText) {
    struct Case {
        const char* what;
        std::string answer;
        bool ok;
        std::string address;  // after the call, starting from "untouched"
    };
    const std::string untouched = "untouched";
    const std::vector<Case> cases = {
        {"empty answer", "", false, untouched},
        {"JSON member", R"({"ip":"198.51.100.7"})", true, "198.51.100.7"},
        {"JSON member after others, blanks before the value",
         R"({"country":"DE", "ip" :  "198.51.100.8", "x":1})", true, "198.51.100.8"},
        {"JSON value taken verbatim, spaces inside the quotes", R"({"ip":" 1.2.3.4 "})", true, " 1.2.3.4 "},
        {"IPv6 as JSON member", R"({"ip":"2001:db8::1"})", true, "2001:db8::1"},
        {"plain text with line feed", "198.51.100.9\n", true, "198.51.100.9"},
        {"plain text with CR LF and blanks", "198.51.100.9 \r\n ", true, "198.51.100.9"},
        {"leading blank stays", " 198.51.100.9", true, " 198.51.100.9"},
        {"tab ends the trimming", "198.51.100.9\t\n", true, "198.51.100.9\t"},
        {"6 bytes is too short", "1.2.34", false, untouched},
        {"7 bytes is enough", "1.2.3.4", true, "1.2.3.4"},
        {"45 bytes is enough", std::string(44, '1') + ".", true, std::string(44, '1') + "."},
        {"46 bytes is too long", std::string(45, '1') + ".", false, untouched},
        {"plain IPv6 has no dot", "2001:db8::1\n", false, untouched},
        {"HTML error page", "<html><body>Bad Gateway</body></html>", false, untouched},
        // An empty member falls back to the whole text, which fails here and
        // leaves the address emptied.
        {"empty JSON member", R"({"ip":""})", false, ""},
        {"member without a value", R"({"ip":)", false, untouched},
        {"member with an unclosed value", R"({"ip":"1.2.3.4)", true, R"({"ip":"1.2.3.4)"},
    };
    for (const auto& c : cases) {
        std::string address = untouched;
        EXPECT_EQ(parseIp(c.answer, address), c.ok) << c.what;
        EXPECT_EQ(address, c.address) << c.what;
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
