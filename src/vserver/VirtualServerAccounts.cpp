// Identities, accounts, bot tokens and privilege keys.
#include "auth/PrivilegeKeyManager.h"
#include "core/CryptoUtils.h"
#include "core/Logger.h"
#include "core/UnixTime.h"
#include "protocol/ClientSession.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

std::mutex VirtualServer::identityMutex_;

namespace {

// A role read from storage that names no defined role gives no rights.
UserRole storedRole(int32_t value) {
    if (value < 0 || value > static_cast<int32_t>(UserRole::Owner)) return UserRole::Guest;
    return static_cast<UserRole>(value);
}

constexpr std::size_t kMaxUsernameBytes = 64;
constexpr std::size_t kMinPasswordBytes = 6;
// Keys are 29 or 64 characters; anything far longer is no key of ours.
constexpr std::size_t kMaxKeyBytes = 128;

bool usernameAcceptable(const std::string& username) {
    return !username.empty() && username.size() <= kMaxUsernameBytes;
}

bool keyAcceptable(const std::string& token) { return token.size() <= kMaxKeyBytes && !holdsNul(token); }

}  // namespace

std::string VirtualServer::hashPassword(const std::string& password) {
    return CryptoUtils::sha256Hex("Korrafin:" + password);
}

// 32 bytes straight from the random device: the whole token is unguessable,
// not just the 32 bits a seeded engine would carry.
std::string VirtualServer::generateToken() { return CryptoUtils::randomHex(32); }

// ---------------------------------------------------------------- identities

ResultCode VirtualServer::registerIdentity(const std::string& identity, const std::string& nickname,
                                           uint32_t /*clientId*/) {
    if (!db) return ResultCode::UnknownError;
    // Bounded as at login: nothing longer is ever stored, or logged below.
    if (identity.empty() || !identityAcceptable(identity)) return ResultCode::BadName;
    if (nickname.size() > UserInfo::kMaxNicknameBytes) return ResultCode::BadName;

    DB::DbUser user;
    user.nickname = nickname.empty() ? "User" : nickname;
    user.unique_identifier = identity;
    user.created_at = unixSeconds();
    user.role = 0;
    int64_t id = 0;
    {
        // The store's save replaces a row with the same identity; looking up
        // and saving in one hold keeps a concurrent registration or key
        // redemption from replacing a row (and its role) made a moment ago.
        std::lock_guard<std::mutex> lock(identityMutex_);
        if (db->GetUserByUniqueId(identity)) return ResultCode::IdentityExists;
        id = db->SaveUser(user);
    }
    if (id < 1) return ResultCode::UnknownError;
    // The identity is a bearer secret: the log shows its fingerprint only.
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Identity '{}' registered as '{}' (id={})", id_,
                            CryptoUtils::fingerprint(identity), user.nickname, id);
    return ResultCode::Ok;
}

bool VirtualServer::isIdentityRegistered(const std::string& identity) {
    if (!db || identity.empty() || !identityAcceptable(identity)) return false;
    return db->GetUserByUniqueId(identity).has_value();
}

std::optional<DB::DbUser> VirtualServer::getUserByUniqueId(const std::string& identity) {
    if (!db || identity.empty() || !identityAcceptable(identity)) return std::nullopt;
    return db->GetUserByUniqueId(identity);
}

// ---------------------------------------------------------------- accounts

ResultCode VirtualServer::registerUser(const std::string& username, const std::string& password,
                                       uint32_t /*clientId*/) {
    if (!db) return ResultCode::UnknownError;
    if (!usernameAcceptable(username)) return ResultCode::BadName;
    if (password.size() < kMinPasswordBytes || holdsNul(password)) return ResultCode::PasswordTooShort;
    if (db->GetRegisteredUserByUsername(username)) return ResultCode::NameTaken;

    DB::DbRegisteredUser account;
    account.username = username;
    account.display_name = username;
    account.password_hash = hashPassword(password);
    account.role = 0;
    const int64_t id = db->RegisterUser(account);
    if (id <= 0) return ResultCode::NameTaken;
    Logger::instance().logf(LogLevel::Info, "[VServer {}] User '{}' registered (id={})", id_, username, id);
    return ResultCode::Ok;
}

ResultCode VirtualServer::loginUser(const std::string& username, const std::string& password, uint32_t clientId,
                                    std::string& tokenOut) {
    if (!db) return ResultCode::UnknownError;
    // No account can bear a longer name, and no password holds a NUL.
    if (!usernameAcceptable(username)) return ResultCode::UnknownUser;
    const auto account = db->GetRegisteredUserByUsername(username);
    if (!account) return ResultCode::UnknownUser;
    if (holdsNul(password) || account->password_hash != hashPassword(password)) return ResultCode::WrongPassword;

    tokenOut = generateToken();
    db->UpdateRegisteredUserToken(account->id, tokenOut);

    if (const auto session = findSession(clientId)) {
        const UserRole role = storedRole(account->role);
        UserInfo info;
        session->updateInfo([&](UserInfo& u) {
            u.role = role;
            info = u;
        });
        broadcast(userInfoPacket(MessageType::UserUpdated, info), 0);
    }
    Logger::instance().logf(LogLevel::Info, "[VServer {}] User '{}' logged in (clientId={})", id_, username,
                            clientId);
    return ResultCode::Ok;
}

// ---------------------------------------------------------------- bot tokens

DB::DbBotToken VirtualServer::createBotToken(const std::string& name, const std::string& description,
                                             uint32_t permissions) {
    DB::DbBotToken token;
    token.token = generateToken();
    token.bot_name = name;
    token.description = description;
    token.permissions = static_cast<int32_t>(permissions);
    token.active = true;
    token.created_at = unixSeconds();
    token.last_used_at = 0;
    if (db) token.id = db->SaveBotToken(token);
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Bot token created: name='{}', id={}", id_, name, token.id);
    return token;
}

std::vector<DB::DbBotToken> VirtualServer::getAllBotTokens() const {
    if (!db) return {};
    return db->GetAllBotTokens();
}

void VirtualServer::revokeBotToken(int64_t id) {
    if (db) db->DeleteBotToken(id);
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Bot token {} revoked", id_, id);
}

// ---------------------------------------------------------------- privilege keys

DB::DbPrivilegeKey VirtualServer::createPrivilegeKey(uint8_t /*type*/, const std::string& description) {
    DB::DbPrivilegeKey key;
    key.token = generateToken();
    key.type = "serveradmin";
    key.target_id = 0;
    key.created_at = unixSeconds();
    key.used = false;
    key.description = description;
    if (db) key.id = db->CreatePrivilegeKey(key);
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Privilege key created id={}", id_, key.id);
    return key;
}

std::vector<DB::DbPrivilegeKey> VirtualServer::getAllPrivilegeKeys() const {
    if (!db) return {};
    return db->GetAllPrivilegeKeys();
}

bool VirtualServer::revokePrivilegeKeyByToken(const std::string& token) {
    if (!db || !keyAcceptable(token)) return false;
    const auto key = db->GetPrivilegeKey(token);
    if (!key) return false;
    db->RevokePrivilegeKey(key->id);
    Logger::instance().logf(LogLevel::Info, "[VServer {}] Privilege key revoked id={}", id_, key->id);
    return true;
}

bool VirtualServer::redeemPrivilegeKey(const std::string& token, uint32_t clientId) {
    if (!keyManager || !keyAcceptable(token)) return false;
    const auto session = findSession(clientId);
    if (!session) return false;

    const std::string identity = session->identity();
    const std::string nickname = session->nickname();
    // What the login let in; anything else never reaches the store.
    if (!identityAcceptable(identity) || nickname.size() > UserInfo::kMaxNicknameBytes) return false;
    int64_t userId = 0;
    if (db && !identity.empty()) {
        bool created = false;
        {
            // Lookup and save in one step, as in registerIdentity.
            std::lock_guard<std::mutex> lock(identityMutex_);
            if (const auto row = db->GetUserByUniqueId(identity)) {
                userId = row->id;
            } else {
                DB::DbUser user;
                user.nickname = nickname;
                user.unique_identifier = identity;
                user.created_at = unixSeconds();
                user.role = 0;
                userId = db->SaveUser(user);
                created = true;
            }
        }
        if (created && userId > 0) {
            Logger::instance().logf(LogLevel::Info,
                                    "[VServer {}] Auto-registered identity '{}' for privilege key persistence", id_,
                                    CryptoUtils::fingerprint(identity));
        }
    }

    if (!keyManager->RedeemToken(token, userId, nickname)) return false;

    session->setRole(UserRole::Owner);
    if (db && userId > 0) db->UpdateUserRole(userId, static_cast<int>(UserRole::Owner));
    broadcast(userInfoPacket(MessageType::UserUpdated, session->info()), 0);
    return true;
}

}  // namespace Korrafin
