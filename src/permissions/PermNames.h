// Named permissions of the group resolver: the role permission names written
// as text, plus three names without a bit. Compared exactly, case-sensitive.
#pragma once

namespace Korrafin::Perm {

inline constexpr char JOIN_CHANNEL[] = "JOIN_CHANNEL";
inline constexpr char SPEAK[] = "SPEAK";
inline constexpr char TEXT_CHAT[] = "TEXT_CHAT";
inline constexpr char MOVE_USERS[] = "MOVE_USERS";
inline constexpr char KICK_USERS[] = "KICK_USERS";
inline constexpr char BAN_USERS[] = "BAN_USERS";
inline constexpr char CREATE_CHANNELS[] = "CREATE_CHANNELS";
inline constexpr char DELETE_CHANNELS[] = "DELETE_CHANNELS";
inline constexpr char EDIT_CHANNELS[] = "EDIT_CHANNELS";
inline constexpr char SERVER_MUTE[] = "SERVER_MUTE";
inline constexpr char MANAGE_ROLES[] = "MANAGE_ROLES";
inline constexpr char ADMIN_CONSOLE[] = "ADMIN_CONSOLE";
inline constexpr char USE_PRIV_KEY[] = "USE_PRIVILEGE_KEY";
inline constexpr char MANAGE_BANS[] = "MANAGE_BANS";
inline constexpr char ASSIGN_GROUPS[] = "ASSIGN_GROUPS";

}  // namespace Korrafin::Perm
