// Reading the number and role words of console commands. Pure functions,
// any thread.
//
// A number is an optional sign and decimal digits at the start of the word
// (what follows them is ignored, so "12abc" is 12). A word that does not
// start so, and a number outside the range its argument can hold, throw: the
// console answers "Error: " and the message, "stoi" for ids and "stoll" for
// seconds, and the command changes nothing. An id is never narrowed onto
// another one (65537 is not virtual server 1, -1 is no client id).
#pragma once

#include <cstdint>
#include <string>

#include "permissions/Roles.h"

namespace Korrafin::ConsoleArgs {

// Virtual-server, channel and parent ids: 0 to 65535.
uint16_t id16(const std::string& word);
// Client ids: 0 to 4294967295.
uint32_t clientId(const std::string& word);
// Ban seconds: any signed 64-bit number (0 or less bans for good).
int64_t seconds(const std::string& word);

// "guest", "member", "mod" and "admin", exactly; any other word is member.
UserRole role(const std::string& word);

}  // namespace Korrafin::ConsoleArgs
