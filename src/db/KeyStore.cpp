// Privilege keys, registered accounts, direct messages, bot tokens and bans.
// None of these tables is in the read snapshot: every read queries.
#include <string>

#include "db/SqliteDatabase.h"
#include "db/Statement.h"

namespace Korrafin::DB {

namespace {

constexpr const char* kKeySelect =
    "SELECT id, token, type, target_id, created_at, used, description FROM PrivilegeKeys";
constexpr const char* kRegUserSelect =
    "SELECT id, username, display_name, password_hash, session_token, role, created_at, last_login_at FROM "
    "RegisteredUsers";
constexpr const char* kBotTokenSelect =
    "SELECT id, token, bot_name, description, permissions, active, created_at, last_used_at FROM BotTokens";

DbPrivilegeKey RowToPrivKey(sqlite3_stmt* s) {
    DbPrivilegeKey k;
    k.id = colInt64(s, 0);
    k.token = colText(s, 1);
    k.type = colText(s, 2);
    k.target_id = colInt64(s, 3);
    k.created_at = colInt64(s, 4);
    k.used = colBool(s, 5);
    k.description = colText(s, 6);
    return k;
}

DbRegisteredUser RowToRegUser(sqlite3_stmt* s) {
    DbRegisteredUser u;
    u.id = colInt64(s, 0);
    u.username = colText(s, 1);
    u.display_name = colText(s, 2);
    u.password_hash = colText(s, 3);
    u.session_token = colText(s, 4);
    u.role = colInt(s, 5);
    u.created_at = colInt64(s, 6);
    u.last_login_at = colInt64(s, 7);
    return u;
}

DbPrivateMessage RowToPrivMsg(sqlite3_stmt* s) {
    DbPrivateMessage m;
    m.id = colInt64(s, 0);
    m.sender_user_id = colInt64(s, 1);
    m.recv_user_id = colInt64(s, 2);
    m.sender_nick = colText(s, 3);
    m.content = colText(s, 4);
    m.sent_at = colInt64(s, 5);
    m.read_by_recv = colBool(s, 6);
    return m;
}

DbBotToken RowToBotToken(sqlite3_stmt* s) {
    DbBotToken t;
    t.id = colInt64(s, 0);
    t.token = colText(s, 1);
    t.bot_name = colText(s, 2);
    t.description = colText(s, 3);
    t.permissions = colInt(s, 4);
    t.active = colBool(s, 5);
    t.created_at = colInt64(s, 6);
    t.last_used_at = colInt64(s, 7);
    return t;
}

DbBan RowToBan(sqlite3_stmt* s) {
    DbBan b;
    b.id = colInt64(s, 0);
    b.ip = colText(s, 1);
    b.nickname = colText(s, 2);
    b.reason = colText(s, 3);
    b.banned_by = colInt64(s, 4);
    b.expires_at = colInt64(s, 5);
    b.created_at = colInt64(s, 6);
    return b;
}

int64_t readCount(sqlite3_stmt* s) { return colInt64(s, 0); }

}  // namespace

// ---------------------------------------------------------------------------
// Privilege keys

bool SqliteDatabase::ValidatePrivilegeKey(const std::string& token) {
    std::lock_guard lock(mutex);
    return readOne(Prepare("SELECT COUNT(*) FROM PrivilegeKeys WHERE token = ? AND used = 0"), readCount, token)
               .value_or(0) > 0;
}

std::optional<DbPrivilegeKey> SqliteDatabase::GetPrivilegeKey(const std::string& token) {
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kKeySelect) + " WHERE token = ?";
    return readOne(Prepare(sql.c_str()), RowToPrivKey, token);
}

int64_t SqliteDatabase::CreatePrivilegeKey(const DbPrivilegeKey& key) {
    return Insert(
        "INSERT INTO PrivilegeKeys(token, type, target_id, created_at, used, description) "
        "VALUES(?, ?, ?, ?, 0, ?)",
        "CreatePrivilegeKey", key.token, key.type, key.target_id, key.created_at == 0 ? unixSeconds() : key.created_at,
        key.description);
}

void SqliteDatabase::MarkPrivilegeKeyUsed(const std::string& token) {
    Write("UPDATE PrivilegeKeys SET used = 1 WHERE token = ?", "MarkPrivilegeKeyUsed", token);
}

bool SqliteDatabase::ClaimPrivilegeKey(const std::string& token) {
    return Write("UPDATE PrivilegeKeys SET used = 1 WHERE token = ? AND used = 0", "ClaimPrivilegeKey", token);
}

std::vector<DbPrivilegeKey> SqliteDatabase::GetKeysByType(const std::string& type, bool onlyUnused) {
    std::lock_guard lock(mutex);
    static const std::string all = std::string(kKeySelect) + " WHERE type = ?";
    static const std::string unused = all + " AND used = 0";
    return readAll(Prepare(onlyUnused ? unused.c_str() : all.c_str()), RowToPrivKey, type);
}

std::vector<DbPrivilegeKey> SqliteDatabase::GetAllPrivilegeKeys() {
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kKeySelect) + " ORDER BY id DESC LIMIT 500";
    return readAll(Prepare(sql.c_str()), RowToPrivKey);
}

void SqliteDatabase::RevokePrivilegeKey(int64_t id) {
    Write("UPDATE PrivilegeKeys SET used = 1 WHERE id = ?", "RevokePrivilegeKey", id);
}

// ---------------------------------------------------------------------------
// Registered accounts

std::optional<DbRegisteredUser> SqliteDatabase::GetRegisteredUserByUsername(const std::string& username) {
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kRegUserSelect) + " WHERE username = ? COLLATE NOCASE";
    return readOne(Prepare(sql.c_str()), RowToRegUser, username);
}

std::optional<DbRegisteredUser> SqliteDatabase::GetRegisteredUserById(int64_t id) {
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kRegUserSelect) + " WHERE id = ?";
    return readOne(Prepare(sql.c_str()), RowToRegUser, id);
}

std::optional<DbRegisteredUser> SqliteDatabase::GetRegisteredUserByToken(const std::string& token) {
    // Accounts that never logged in have an empty token; it matches nobody.
    if (token.empty()) return std::nullopt;
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kRegUserSelect) + " WHERE session_token = ?";
    return readOne(Prepare(sql.c_str()), RowToRegUser, token);
}

int64_t SqliteDatabase::RegisterUser(const DbRegisteredUser& user) {
    std::lock_guard lock(mutex);
    WriteTxn txn(*this);
    int64_t id = 0;
    {
        StmtPtr stmt = Prepare(
            "INSERT INTO RegisteredUsers(username, display_name, password_hash, session_token, role, created_at, "
            "last_login_at) VALUES(?, ?, ?, ?, ?, ?, ?)");
        bindAll(stmt.get(), user.username, user.display_name.empty() ? user.username : user.display_name,
                user.password_hash, user.session_token, user.role,
                user.created_at == 0 ? unixSeconds() : user.created_at, user.last_login_at);
        const int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_CONSTRAINT) {
            stmt.reset();
            txn.rollback();
            return -1;
        }
        sqlCheck(rc, "RegisterUser");
        id = LastInsertRowId();
    }
    txn.commit();
    return id;
}

bool SqliteDatabase::UpdateRegisteredUserToken(int64_t id, const std::string& token) {
    return Write("UPDATE RegisteredUsers SET session_token=?, last_login_at=? WHERE id=?", "UpdateRegisteredUserToken",
                 token, unixSeconds(), id);
}

bool SqliteDatabase::UpdateRegisteredUserRole(int64_t id, int role) {
    return Write("UPDATE RegisteredUsers SET role=? WHERE id=?", "UpdateRegisteredUserRole", int32_t{role}, id);
}

// ---------------------------------------------------------------------------
// Direct messages

int64_t SqliteDatabase::SavePrivateMessage(const DbPrivateMessage& m) {
    return Insert(
        "INSERT INTO PrivateMessages(sender_user_id, recv_user_id, sender_nick, content, sent_at, "
        "read_by_recv) VALUES(?, ?, ?, ?, ?, ?)",
        "SavePrivateMessage", m.sender_user_id, m.recv_user_id, m.sender_nick, m.content,
        m.sent_at == 0 ? unixSeconds() : m.sent_at, m.read_by_recv);
}

std::vector<DbPrivateMessage> SqliteDatabase::GetPrivateMessages(int64_t userA, int64_t userB, int limit) {
    std::lock_guard lock(mutex);
    return readAll(Prepare("SELECT id, sender_user_id, recv_user_id, sender_nick, content, sent_at, read_by_recv "
                           "FROM PrivateMessages WHERE (sender_user_id=? AND recv_user_id=?) OR "
                           "(sender_user_id=? AND recv_user_id=?) ORDER BY sent_at DESC LIMIT ?"),
                   RowToPrivMsg, userA, userB, userB, userA, int32_t{limit});
}

void SqliteDatabase::MarkMessagesRead(int64_t receiverId, int64_t senderId) {
    Write(
        "UPDATE PrivateMessages SET read_by_recv=1 WHERE recv_user_id=? AND sender_user_id=? AND "
        "read_by_recv=0",
        "MarkMessagesRead", receiverId, senderId);
}

// ---------------------------------------------------------------------------
// Bot tokens

std::optional<DbBotToken> SqliteDatabase::GetBotToken(const std::string& token) {
    std::lock_guard lock(mutex);
    static const std::string sql = std::string(kBotTokenSelect) + " WHERE token=? AND active=1";
    return readOne(Prepare(sql.c_str()), RowToBotToken, token);
}

int64_t SqliteDatabase::SaveBotToken(const DbBotToken& t) {
    return Insert(
        "INSERT INTO BotTokens(token, bot_name, description, permissions, active, created_at, "
        "last_used_at) VALUES(?, ?, ?, ?, ?, ?, ?)",
        "SaveBotToken", t.token, t.bot_name, t.description, t.permissions, t.active,
        t.created_at == 0 ? unixSeconds() : t.created_at, t.last_used_at);
}

void SqliteDatabase::UpdateBotTokenLastUsed(int64_t id) {
    Write("UPDATE BotTokens SET last_used_at=? WHERE id=?", "UpdateBotTokenLastUsed", unixSeconds(), id);
}

std::vector<DbBotToken> SqliteDatabase::GetAllBotTokens() {
    std::lock_guard lock(mutex);
    return readAll(Prepare(kBotTokenSelect), RowToBotToken);
}

void SqliteDatabase::DeleteBotToken(int64_t id) { Write("DELETE FROM BotTokens WHERE id=?", "DeleteBotToken", id); }

// ---------------------------------------------------------------------------
// Bans

void SqliteDatabase::SaveBan(const DbBan& b) {
    Write(
        "INSERT INTO Bans(ip, nickname, reason, banned_by, expires_at, created_at) "
        "VALUES(?, ?, ?, ?, ?, ?)",
        "SaveBan", b.ip, b.nickname, b.reason, b.banned_by, b.expires_at,
        b.created_at == 0 ? unixSeconds() : b.created_at);
}

bool SqliteDatabase::IsIpBanned(const std::string& ip) {
    std::lock_guard lock(mutex);
    return readOne(Prepare("SELECT COUNT(*) FROM Bans WHERE ip = ? AND (expires_at = 0 OR expires_at > ?)"), readCount,
                   ip, unixSeconds())
               .value_or(0) > 0;
}

std::vector<DbBan> SqliteDatabase::GetAllBans() {
    std::lock_guard lock(mutex);
    return readAll(Prepare("SELECT id, ip, nickname, reason, banned_by, expires_at, created_at FROM Bans"), RowToBan);
}

void SqliteDatabase::RemoveBan(int64_t id) { Write("DELETE FROM Bans WHERE id = ?", "RemoveBan", id); }

}  // namespace Korrafin::DB
