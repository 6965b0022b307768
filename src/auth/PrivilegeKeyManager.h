// One-time privilege keys of one database: creates keys, prints the start-up
// key box and redeems keys into server groups. No lock of its own: every store
// call is atomic under the database's mutex, and a key is claimed (marked used
// only if still unused, in one store call) before anything is granted, so two
// clients presenting one key at the same moment cannot both redeem it.
// Any thread may call it; EnsureServerAdminToken runs once at start-up.
// Store exceptions propagate from every operation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "db/IDatabase.h"

namespace Korrafin::Auth {

class PrivilegeKeyManager {
public:
    // The letters A to Z without I and O, then the digits 2 to 9.
    static constexpr std::string_view kAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";

    explicit PrivilegeKeyManager(std::shared_ptr<DB::IDatabase> db);
    PrivilegeKeyManager(const PrivilegeKeyManager&) = delete;
    PrivilegeKeyManager& operator=(const PrivilegeKeyManager&) = delete;

    // `length` characters of kAlphabet, every one drawn from the random device.
    static std::string CreateRandomToken(int length);

    // Stores a new unused key of 25 characters in five groups joined by "-";
    // returns its token.
    std::string GenerateToken(const std::string& type, int64_t targetId, const std::string& description);

    // Start-up: reprints the first unused "serveradmin" key, or creates one.
    void EnsureServerAdminToken();

    // Writes the key box to standard output.
    void PrintKeyBanner(const std::string& key, bool alreadyStored);

    bool IsTokenValid(const std::string& token) const;

    // The first group of the highest priority (0 or more); 0 when none.
    int64_t FindServerAdminGroupId();

    // True when this call claimed an unused key: "serveradmin" adds userId
    // (when above 0) to the server-admin group, "servergroup" to the key's
    // target group. False, with nothing changed, for an unknown or used key.
    bool RedeemToken(const std::string& token, int64_t userId, const std::string& nick);

private:
    std::shared_ptr<DB::IDatabase> db_;
};

}  // namespace Korrafin::Auth
