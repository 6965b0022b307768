// Names for many things of one kind: "c0", "c1", ...
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

}  // namespace Korrafin::Test
