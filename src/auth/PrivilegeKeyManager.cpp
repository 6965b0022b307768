#include "auth/PrivilegeKeyManager.h"

#include <iostream>
#include <utility>

#include "core/CryptoUtils.h"
#include "core/Logger.h"
#include "core/UnixTime.h"
#include "db/Records.h"

namespace Korrafin::Auth {

namespace {

constexpr int kTokenChars = 25;
constexpr int kGroupChars = 5;
constexpr std::size_t kBoxInner = 50;

// One write per line, so lines of concurrent redemptions never interleave.
void outLine(std::string line) {
    line += '\n';
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
}

// Columns of a UTF-8 text: every character counts one.
std::size_t columns(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// Pads to `width` columns; a longer text stays whole.
std::string padded(std::string s, std::size_t width) {
    const std::size_t cols = columns(s);
    if (cols < width) s.append(width - cols, ' ');
    return s;
}

std::string boxRow(const std::string& inner) { return "  ║" + padded(inner, kBoxInner) + "║\n"; }

std::string boxRule(const char* left, const char* right) {
    std::string s = "  ";
    s += left;
    for (std::size_t i = 0; i < kBoxInner; ++i) s += "═";
    s += right;
    s += '\n';
    return s;
}

}  // namespace

PrivilegeKeyManager::PrivilegeKeyManager(std::shared_ptr<DB::IDatabase> db) : db_(std::move(db)) {}

std::string PrivilegeKeyManager::CreateRandomToken(int length) {
    if (length <= 0) return {};
    // Every character comes from the random device: a generator seeded with
    // one 32-bit value could only ever produce 2^32 different keys.
    return CryptoUtils::randomString(kAlphabet, static_cast<std::size_t>(length));
}

std::string PrivilegeKeyManager::GenerateToken(const std::string& type, int64_t targetId,
                                               const std::string& description) {
    const std::string chars = CreateRandomToken(kTokenChars);
    std::string token;
    token.reserve(kTokenChars + kTokenChars / kGroupChars - 1);
    for (int i = 0; i < kTokenChars; ++i) {
        if (i > 0 && i % kGroupChars == 0) token += '-';
        token += chars[static_cast<std::size_t>(i)];
    }

    DB::DbPrivilegeKey key;
    key.token = token;
    key.type = type;
    key.target_id = targetId;
    key.created_at = unixSeconds();
    key.used = false;
    key.description = description;
    db_->CreatePrivilegeKey(key);
    return token;
}

void PrivilegeKeyManager::EnsureServerAdminToken() {
    auto& log = Logger::instance();
    outLine("[AUTH] Checking database for existing ServerAdmin privilege key…");

    const auto unused = db_->GetKeysByType("serveradmin", true);
    if (!unused.empty()) {
        const auto& key = unused.front();
        outLine("[AUTH] Unused ServerAdmin key already exists in database – skipping generation.");
        log.logf(LogLevel::Info, "[AUTH] ServerAdmin privilege key exists in DB (id={}), not generating a new one.",
                 key.id);
        PrintKeyBanner(key.token, true);
        return;
    }

    if (db_->GetKeysByType("serveradmin", false).empty()) {
        outLine("[AUTH] No ServerAdmin privilege key found in database. Generating first key.");
        log.logf(LogLevel::Info, "[AUTH] First server start – generating initial ServerAdmin privilege key.");
    } else {
        outLine("[AUTH] All previous ServerAdmin keys have been redeemed. Generating a new one.");
        log.logf(LogLevel::Info, "[AUTH] Previous ServerAdmin key(s) were used. Generating replacement.");
    }

    const std::string token = GenerateToken("serveradmin", 0, "Auto-generated ServerAdmin key");
    log.logf(LogLevel::Info, "[AUTH] ServerAdmin privilege key generated and stored in database.");
    PrintKeyBanner(token, false);
}

void PrivilegeKeyManager::PrintKeyBanner(const std::string& key, bool alreadyStored) {
    std::string box = "\n";
    box += boxRule("╔", "╗");
    box += boxRow(alreadyStored ? "  SERVER ADMIN KEY (already in database, reprint)"
                                : "           SERVER ADMIN PRIVILEGE KEY");
    box += boxRule("╠", "╣");
    box += "  ║  " + padded(key, kBoxInner - 2) + "║\n";
    box += boxRule("╠", "╣");
    box += boxRow("  Use in the client:");
    box += boxRow("  Permissions  →  Use Privilege Key");
    box += boxRow("  This key can only be used ONCE.");
    box += boxRule("╚", "╝");
    box += '\n';
    std::cout.write(box.data(), static_cast<std::streamsize>(box.size()));
    std::cout.flush();
}

bool PrivilegeKeyManager::IsTokenValid(const std::string& token) const { return db_->ValidatePrivilegeKey(token); }

int64_t PrivilegeKeyManager::FindServerAdminGroupId() {
    int32_t bestPriority = -1;
    int64_t best = 0;
    for (const auto& g : db_->GetAllServerGroups()) {
        if (g.priority > bestPriority) {
            bestPriority = g.priority;
            best = g.id;
        }
    }
    if (best == 0) {
        std::cerr << "[AUTH] WARNING: Could not find Server Admin group in database!\n";
        std::cerr.flush();
    }
    return best;
}

bool PrivilegeKeyManager::RedeemToken(const std::string& token, int64_t userId, const std::string& nick) {
    auto& log = Logger::instance();
    outLine("[AUTH] Token redemption attempt by: " + nick);

    // Validation and marking in one store call: of several callers presenting
    // the same key only one gets true here, and only that one is granted a
    // group. A failure after the claim leaves the key used.
    if (!db_->ClaimPrivilegeKey(token)) {
        outLine("[AUTH] REJECTED – invalid or already-used token.");
        log.logf(LogLevel::Warn, "[AUTH] Invalid or already-used privilege key attempted by: {}", nick);
        return false;
    }

    const auto key = db_->GetPrivilegeKey(token);
    if (!key) {
        outLine("[AUTH] REJECTED – token not found after validation (DB inconsistency).");
        return false;
    }

    if (key->type == "serveradmin") {
        const int64_t groupId = FindServerAdminGroupId();
        if (groupId > 0 && userId > 0) {
            db_->AssignUserToServerGroup(userId, groupId);
            outLine("[AUTH] Assigned '" + nick + "' (id=" + std::to_string(userId) + ") to Server Admin group (id=" +
                    std::to_string(groupId) + ").");
            log.logf(LogLevel::Info, "[AUTH] User '{}' (id={}) assigned to Server Admin group (id={}) via privilege key.",
                     nick, userId, groupId);
        }
    } else if (key->type == "servergroup") {
        if (userId > 0 && key->target_id > 0) {
            db_->AssignUserToServerGroup(userId, key->target_id);
            log.logf(LogLevel::Info, "[AUTH] User '{}' assigned to group id={} via privilege key.", nick,
                     key->target_id);
        }
    }

    outLine("[AUTH] Token redeemed successfully by: " + nick);
    log.logf(LogLevel::Info, "[AUTH] Privilege key redeemed by: {}", nick);
    return true;
}

}  // namespace Korrafin::Auth
