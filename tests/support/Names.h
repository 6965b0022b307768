// Names for many things of one kind: "c0", "c1", ...; and the shape of the
// random tokens the server hands out.
#pragma once

#include <string>
#include <string_view>

namespace Korrafin::Test {

// `prefix` followed by `n`. Built by appending: the optimiser of GCC 12
// misreads an inlined "c" + std::to_string(n) as an overlapping copy and
// warns about it.
inline std::string numbered(std::string_view prefix, long long n) {
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

// A token the server makes (logins, keys, bots): exactly 64 lower-case hex
// digits.
inline bool isToken64(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace Korrafin::Test
