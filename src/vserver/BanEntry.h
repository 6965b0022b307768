// One address ban of a virtual server. Bans live in memory only; the virtual
// server keeps them under its bans mutex. Plain value.
#pragma once

#include <cstdint>
#include <string>

namespace Korrafin {

struct BanEntry {
    std::string ip;          // remote address of the banned session
    std::string nickname;    // its nickname when it was banned
    std::string reason;
    uint32_t bannedBy = 0;   // acting client id; 0 = the system
    int64_t expiresAt = 0;   // Unix seconds; 0 = permanent
};

}  // namespace Korrafin
