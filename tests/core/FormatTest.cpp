#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/Format.h"

using Korrafin::detail::krfmt;

TEST(Krfmt, EdgeTable) {
    const char* nullText = nullptr;
    std::string braces = "a{}b";
    struct Case {
        std::string got;
        std::string want;
    };
    const Case cases[] = {
        {krfmt("{}{}{}", 1, 2, 3), "123"},
        {krfmt("{} and {}", 1), "1 and {}"},
        {krfmt("abc", 1, 2), "abc"},
        {krfmt("", 1), ""},
        {krfmt("{", 1), "{"},
        {krfmt("{{}}", 7), "{7}"},
        {krfmt("{}}", 7), "7}"},
        {krfmt("{}-{}", true, false), "1-0"},
        {krfmt("[{}]", int32_t{-5}), "[-5]"},
        {krfmt("[{}]", uint16_t{9987}), "[9987]"},
        {krfmt("x{}y{}", nullText, 5), "xy5"},
        {krfmt("[{}]", braces, 9), "[a{}b]"},
        {krfmt("a{}b"), "a{}b"},
        {krfmt("{:x} {}", 255), "{:x} 255"},
        {krfmt("{ } {}", 1, 2), "{ } 1"},
        {krfmt("{}", int64_t{-9000000000}), "-9000000000"},
        {krfmt("{}", uint64_t{18446744073709551615ull}), "18446744073709551615"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

TEST(Krfmt, StringsAndBuffers) {
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(krfmt("<{}>", withNul), std::string("<a\0b>", 5));

    char addr[16] = {};
    std::snprintf(addr, sizeof addr, "%s", "10.0.0.1");
    EXPECT_EQ(krfmt("from {}", addr), "from 10.0.0.1");

    // A buffer with no NUL at all is read up to its size, never past it.
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(krfmt("{}", full), "abcd");

    // The stream state left by one argument does not leak into the next.
    EXPECT_EQ(krfmt("{}|{}|{}", static_cast<const char*>(nullptr), 42, std::string("x")), "|42|x");
}
