// Plain rows of the storage layer, passed by value through DB::IDatabase.
// Defaults are those of a freshly made record; the row readers start from them.
#pragma once

#include <cstdint>
#include <string>

namespace Korrafin::DB {

// One client identity known to the file (table Users).
struct DbUser {
    int64_t id = 0;
    std::string nickname;
    std::string unique_identifier;
    int64_t created_at = 0;  // Unix seconds; 0 on save means now
    int32_t role = 0;        // a UserRole value
};

// One node of the channel tree (table Channels).
struct DbChannel {
    int64_t id = 0;
    int64_t parent_id = 0;  // 0 = root
    std::string name;
    std::string description;
    std::string password;
    int32_t max_users = 0;
    int32_t sort_order = 0;
    bool is_permanent = true;
    bool has_password = false;
    int32_t required_role = 0;  // a UserRole value
    int32_t channel_type = 0;   // 0 voice, 1 text, 2 news, 3 spacer
    bool log_mode = false;
    std::string icon_url;
    std::string banner_url;
    std::string text_color;
    int64_t message_count = 0;
};

// The settings of one database file (key/value rows of table ServerSettings).
struct DbServerSettings {
    std::string name;
    std::string description;
    std::string icon_url;
    std::string banner_url;
    uint32_t accent_color = 0x3B82F6;
    uint16_t notify_channel_id = 0;
    std::string welcome_message;
    uint16_t entry_channel_id = 1;
    std::string badge_config_json;  // opaque JSON text
};

// A one-time privilege key (table PrivilegeKeys).
struct DbPrivilegeKey {
    int64_t id = 0;
    std::string token;
    std::string type;
    int64_t target_id = 0;
    int64_t created_at = 0;
    bool used = false;
    std::string description;
};

// An account with user name and password (table RegisteredUsers).
struct DbRegisteredUser {
    int64_t id = 0;
    std::string username;
    std::string display_name;
    std::string password_hash;
    std::string session_token;
    int32_t role = 0;
    int64_t created_at = 0;
    int64_t last_login_at = 0;  // 0 = never
};

// A stored direct message between accounts (table PrivateMessages).
struct DbPrivateMessage {
    int64_t id = 0;
    int64_t sender_user_id = 0;
    int64_t recv_user_id = 0;
    std::string sender_nick;
    std::string content;
    int64_t sent_at = 0;
    bool read_by_recv = false;
};

// A secret a bot authenticates with (table BotTokens).
struct DbBotToken {
    int64_t id = 0;
    std::string token;
    std::string bot_name;
    std::string description;
    int32_t permissions = 0;
    bool active = true;
    int64_t created_at = 0;
    int64_t last_used_at = 0;  // 0 = never
};

// An address ban (table Bans).
struct DbBan {
    int64_t id = 0;
    std::string ip;
    std::string nickname;
    std::string reason;
    int64_t banned_by = 0;
    int64_t expires_at = 0;  // 0 = never expires
    int64_t created_at = 0;
};

// A server group (table ServerGroups); lists come highest priority first.
struct DbServerGroup {
    int64_t id = 0;
    std::string name;
    int32_t priority = 0;
    int32_t default_perm = 0;
};

// A channel group (table ChannelGroups).
struct DbChannelGroup {
    int64_t id = 0;
    std::string name;
    int32_t default_perm = 0;
};

// A named permission of one target (table Permissions).
struct DbPermission {
    int64_t id = 0;
    std::string target_type;  // "servergroup", "channelgroup" or "user"
    int64_t target_id = 0;
    std::string permission_name;
    int32_t value = 1;
    int32_t priority = 0;
};

}  // namespace Korrafin::DB
