// Result code carried by protocol replies (AuthResponse, ChannelJoinResult,
// Error, the account replies and the bot API's results). A plain 16-bit value.
#pragma once

#include <cstdint>

namespace Korrafin {

enum class ResultCode : uint16_t {
    Ok = 0,
    PasswordTooShort = 1,
    Refused = 4,
    Failed = 7,
    BadName = 8,
    NicknameInUse = 9,
    NameTaken = 20,
    UnknownUser = 21,
    WrongPassword = 22,
    IdentityExists = 23,
    InvalidToken = 30,
    UnknownError = 255,
};

}  // namespace Korrafin
