// Identities, accounts, bot tokens and privilege keys.
#include "vserver/VirtualServer.h"

namespace Korrafin {

// Not served yet: every operation below refuses or yields nothing.

std::string VirtualServer::hashPassword(const std::string& /*password*/) { return {}; }

std::string VirtualServer::generateToken() { return {}; }

ResultCode VirtualServer::registerIdentity(const std::string& /*identity*/, const std::string& /*nickname*/,
                                           uint32_t /*clientId*/) {
    return ResultCode::UnknownError;
}

bool VirtualServer::isIdentityRegistered(const std::string& /*identity*/) { return false; }

std::optional<DB::DbUser> VirtualServer::getUserByUniqueId(const std::string& /*identity*/) { return std::nullopt; }

ResultCode VirtualServer::registerUser(const std::string& /*username*/, const std::string& /*password*/,
                                       uint32_t /*clientId*/) {
    return ResultCode::UnknownError;
}

ResultCode VirtualServer::loginUser(const std::string& /*username*/, const std::string& /*password*/,
                                    uint32_t /*clientId*/, std::string& /*tokenOut*/) {
    return ResultCode::UnknownError;
}

DB::DbBotToken VirtualServer::createBotToken(const std::string& /*name*/, const std::string& /*description*/,
                                             uint32_t /*permissions*/) {
    return {};
}

std::vector<DB::DbBotToken> VirtualServer::getAllBotTokens() const { return {}; }

void VirtualServer::revokeBotToken(int64_t /*id*/) {}

DB::DbPrivilegeKey VirtualServer::createPrivilegeKey(uint8_t /*type*/, const std::string& /*description*/) {
    return {};
}

std::vector<DB::DbPrivilegeKey> VirtualServer::getAllPrivilegeKeys() const { return {}; }

bool VirtualServer::revokePrivilegeKeyByToken(const std::string& /*token*/) { return false; }

bool VirtualServer::redeemPrivilegeKey(const std::string& /*token*/, uint32_t /*clientId*/) { return false; }

}  // namespace Korrafin
