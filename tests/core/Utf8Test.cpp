// What the configuration file and request bodies accept as text: well-formed
// UTF-8 only, and cuts that never split a character.
#include <gtest/gtest.h>

#include <string>

#include "core/Utf8.h"

namespace Korrafin {
namespace {

TEST(Utf8, ValidityTable) {
    struct Case {
        const char* what;
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"empty", "", true},
        {"ascii with controls and NUL", std::string("a\tb\n\0c", 6), true},
        {"two, three and four bytes", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
        {"highest code point", "\xF4\x8F\xBF\xBF", true},
        {"latin-1 byte", "Caf\xE9", false},
        {"lone continuation", "\x80", false},
        {"overlong two bytes", "\xC0\xAF", false},
        {"overlong three bytes", "\xE0\x80\xAF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"cut at the end", "ok\xE2\x82", false},
        {"lead byte F5", "\xF5\x80\x80\x80", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidUtf8(c.text), c.valid) << c.what;
}

TEST(Utf8, PrefixNeverSplitsACharacter) {
    const std::string euro = "\xE2\x82\xAC";
    EXPECT_EQ(utf8Prefix("ab" + euro, 4), "ab");
    EXPECT_EQ(utf8Prefix("ab" + euro, 5), "ab" + euro);
    EXPECT_EQ(utf8Prefix("abc", 2), "ab");
}

}  // namespace
}  // namespace Korrafin
