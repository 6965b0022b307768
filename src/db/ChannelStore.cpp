// Client identities (Users), the channel tree (Channels, ChannelContent) and
// the settings of the file (ServerSettings).
#include <cctype>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "db/SqliteDatabase.h"
#include "db/Statement.h"

namespace Korrafin::DB {

namespace {

constexpr const char* kUserSelect = "SELECT id, nickname, unique_identifier, created_at, role FROM Users";
constexpr const char* kChannelSelect =
    "SELECT id, parent_id, name, description, password, has_password, max_users, sort_order, is_permanent, "
    "required_role, channel_type, log_mode, icon_url, banner_url, text_color, message_count FROM Channels";

// Reads the leading unsigned number of a stored setting as std::stoul does.
// A text that is not a number, is negative or does not fit `max` leaves
// `out` alone: a bad row never turns into a wrapped value.
template <typename T>
void parseSetting(const std::string& text, int base, T& out) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == '-') return;
    try {
        const unsigned long value = std::stoul(text, nullptr, base);
        if (value > std::numeric_limits<T>::max()) return;
        out = static_cast<T>(value);
    } catch (const std::exception&) {
    }
}

}  // namespace

DbUser RowToUser(sqlite3_stmt* s) {
    DbUser u;
    u.id = colInt64(s, 0);
    u.nickname = colText(s, 1);
    u.unique_identifier = colText(s, 2);
    u.created_at = colInt64(s, 3);
    u.role = colInt(s, 4);
    return u;
}

DbChannel RowToChannel(sqlite3_stmt* s) {
    DbChannel c;
    c.id = colInt64(s, 0);
    c.parent_id = colInt64(s, 1);
    c.name = colText(s, 2);
    c.description = colText(s, 3);
    c.password = colText(s, 4);
    c.has_password = colBool(s, 5);
    c.max_users = colInt(s, 6);
    c.sort_order = colInt(s, 7);
    c.is_permanent = colBool(s, 8);
    c.required_role = colInt(s, 9);
    c.channel_type = colInt(s, 10);
    c.log_mode = colBool(s, 11);
    c.icon_url = colText(s, 12);
    c.banner_url = colText(s, 13);
    c.text_color = colText(s, 14);
    c.message_count = colInt64(s, 15);
    return c;
}

// ---------------------------------------------------------------------------
// Users

std::optional<DbUser> SqliteDatabase::GetUserById(int64_t id) {
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kUserSelect) + " WHERE id = ?";
    return readOne(Prepare(sql.c_str()), RowToUser, id);
}

std::optional<DbUser> SqliteDatabase::GetUserByUniqueId(const std::string& uniqueIdentifier) {
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kUserSelect) + " WHERE unique_identifier = ?";
    return readOne(Prepare(sql.c_str()), RowToUser, uniqueIdentifier);
}

int64_t SqliteDatabase::SaveUser(const DbUser& user) {
    return Insert("INSERT OR REPLACE INTO Users(nickname, unique_identifier, created_at, role) VALUES(?, ?, ?, ?)",
                  "SaveUser", user.nickname, user.unique_identifier,
                  user.created_at == 0 ? unixSeconds() : user.created_at, user.role);
}

void SqliteDatabase::UpdateUserNickname(int64_t id, const std::string& nickname) {
    Write("UPDATE Users SET nickname = ? WHERE id = ?", "UpdateUserNickname", nickname, id);
}

void SqliteDatabase::UpdateUserRole(int64_t id, int role) {
    Write("UPDATE Users SET role = ? WHERE id = ?", "UpdateUserRole", int32_t{role}, id);
}

// ---------------------------------------------------------------------------
// Server settings

DbServerSettings SqliteDatabase::GetServerSettings() {
    std::lock_guard lock(mutex);
    DbServerSettings settings;
    StmtPtr stmt = Prepare("SELECT key, value FROM ServerSettings");
    while (stepRow(stmt.get())) {
        const std::string key = colText(stmt.get(), 0);
        std::string value = colText(stmt.get(), 1);
        if (key == "name") settings.name = std::move(value);
        else if (key == "description") settings.description = std::move(value);
        else if (key == "icon_url") settings.icon_url = std::move(value);
        else if (key == "banner_url") settings.banner_url = std::move(value);
        else if (key == "accent_color") parseSetting(value, 16, settings.accent_color);
        else if (key == "notify_channel_id") parseSetting(value, 10, settings.notify_channel_id);
        else if (key == "welcome_message") settings.welcome_message = std::move(value);
        else if (key == "entry_channel_id") parseSetting(value, 10, settings.entry_channel_id);
        else if (key == "badge_config_json") settings.badge_config_json = std::move(value);
    }
    return settings;
}

void SqliteDatabase::SaveServerSettings(const DbServerSettings& settings) {
    char accent[16];
    std::snprintf(accent, sizeof accent, "%06X", settings.accent_color & 0xFFFFFFu);
    const std::pair<const char*, std::string> rows[] = {
        {"name", settings.name},
        {"description", settings.description},
        {"icon_url", settings.icon_url},
        {"banner_url", settings.banner_url},
        {"accent_color", accent},
        {"notify_channel_id", std::to_string(settings.notify_channel_id)},
        {"entry_channel_id", std::to_string(settings.entry_channel_id)},
        {"welcome_message", settings.welcome_message},
        {"badge_config_json", settings.badge_config_json},
    };

    std::lock_guard lock(mutex);
    // All nine keys or none: a half-written settings record is never read.
    WriteTxn txn(*this);
    StmtPtr stmt = Prepare(
        "INSERT INTO ServerSettings(key,value) VALUES(?,?) ON CONFLICT(key) DO UPDATE SET value=excluded.value");
    for (const auto& [key, value] : rows) {
        sqlite3_reset(stmt.get());
        bindAll(stmt.get(), key, value);
        sqlCheck(sqlite3_step(stmt.get()), "SaveServerSettings");
    }
    stmt.reset();
    txn.commit(false);  // ServerSettings is not part of the read snapshot
}

// ---------------------------------------------------------------------------
// Channels

std::vector<DbChannel> SqliteDatabase::GetAllChannels_Locked() {
    return readAll(Prepare(kChannelSelect), RowToChannel);
}

std::vector<DbChannel> SqliteDatabase::GetAllChannels() {
    std::lock_guard lock(mutex);
    if (cacheDirty) return GetAllChannels_Locked();
    return channelCache;
}

std::optional<DbChannel> SqliteDatabase::GetChannelById(int64_t id) {
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kChannelSelect) + " WHERE id = ?";
    return readOne(Prepare(sql.c_str()), RowToChannel, id);
}

int64_t SqliteDatabase::SaveChannel(const DbChannel& c) {
    return Insert(
        "INSERT INTO Channels(parent_id,name,description,password,has_password,max_users,sort_order,"
        "is_permanent,required_role,channel_type,log_mode,icon_url,banner_url,text_color) "
        "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
        "SaveChannel", c.parent_id, c.name, c.description, c.password, c.has_password, c.max_users, c.sort_order,
        c.is_permanent, c.required_role, c.channel_type, c.log_mode, c.icon_url, c.banner_url, c.text_color);
}

void SqliteDatabase::UpdateChannel(const DbChannel& c) {
    Write(
        "UPDATE Channels SET parent_id=?,name=?,description=?,password=?,has_password=?,max_users=?,"
        "sort_order=?,is_permanent=?,required_role=?,channel_type=?,log_mode=?,icon_url=?,"
        "banner_url=?,text_color=? WHERE id=?",
        "UpdateChannel", c.parent_id, c.name, c.description, c.password, c.has_password, c.max_users, c.sort_order,
        c.is_permanent, c.required_role, c.channel_type, c.log_mode, c.icon_url, c.banner_url, c.text_color, c.id);
}

void SqliteDatabase::DeleteChannel(int64_t id) { Write("DELETE FROM Channels WHERE id = ?", "DeleteChannel", id); }

int64_t SqliteDatabase::IncrementChannelMessageCount(int64_t channelId) {
    std::lock_guard lock(mutex);
    writeStep(Prepare("UPDATE Channels SET message_count = message_count + 1 WHERE id = ?"),
              "IncrementChannelMessageCount/update", channelId);
    cacheDirty = true;
    auto count = readOne(Prepare("SELECT message_count FROM Channels WHERE id = ?"),
                         [](sqlite3_stmt* s) { return colInt64(s, 0); }, channelId);
    return count.value_or(0);
}

std::optional<std::string> SqliteDatabase::GetChannelContent(int64_t channelId) {
    std::lock_guard lock(mutex);
    return readOne(Prepare("SELECT content_json FROM ChannelContent WHERE channel_id = ?"),
                   [](sqlite3_stmt* s) { return colText(s, 0); }, channelId);
}

void SqliteDatabase::SetChannelContent(int64_t channelId, const std::string& json) {
    Write(
        "INSERT INTO ChannelContent(channel_id, content_json, updated_at) VALUES(?,?,?) "
        "ON CONFLICT(channel_id) DO UPDATE SET   content_json = excluded.content_json,   "
        "updated_at   = excluded.updated_at",
        "SetChannelContent", channelId, json, unixSeconds());
}

void SqliteDatabase::ReorderChannels(const std::vector<int64_t>& ids) {
    if (ids.empty()) return;
    std::lock_guard lock(mutex);
    WriteTxn txn(*this);
    {
        StmtPtr stmt = Prepare("UPDATE Channels SET sort_order=? WHERE id=?");
        for (size_t i = 0; i < ids.size(); ++i) {
            sqlite3_reset(stmt.get());
            bindAll(stmt.get(), static_cast<int32_t>(i), ids[i]);
            sqlCheck(sqlite3_step(stmt.get()), "ReorderChannels");
        }
    }
    txn.commit();
}

}  // namespace Korrafin::DB
