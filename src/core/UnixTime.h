// Wall-clock time in whole Unix seconds: the unit of every stored and listed
// time stamp (bans, keys, tokens, accounts, rows). Any thread; never throws.
#pragma once

#include <chrono>
#include <cstdint>

namespace Korrafin {

inline int64_t unixSeconds() noexcept {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace Korrafin
