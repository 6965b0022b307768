// Privilege key and bot token requests. The dispatcher has already refused
// everybody but administrators for the administrative ones; redeeming a key
// is open to every authenticated user.
#include <cstddef>
#include <string>

#include "core/Logger.h"
#include "db/SqliteDatabase.h"
#include "protocol/BoundedList.h"
#include "protocol/ClientSession.h"
#include "protocol/SessionHost.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

constexpr std::size_t kMaxBotNameBytes = 64;

}  // namespace

// Empty payload. PrivKeyList: the newest keys, used ones included, each
// with its token.
void ClientSession::handlePrivKeyListRequest(PacketReader& /*reader*/) {
    auto vs = vserver();
    if (!vs) return;
    const auto keys = vs->getAllPrivilegeKeys();
    PacketBuilder b(MessageType::PrivKeyList);
    const std::size_t n = writeBoundedList(b, keys, [](PacketBuilder& out, const DB::DbPrivilegeKey& k) {
        out.writeStr(k.token);
        out.writeLE<uint8_t>(static_cast<uint8_t>(UserRole::Admin));  // every key is a server-admin key
        out.writeStr(k.description);
        out.writeStr(std::to_string(k.created_at));
    });
    Logger::instance().logf(LogLevel::Info, "Client {} requested privilege key list ({} keys)", clientId_, n);
    send(b);
}

// u8 role, then a description when any byte is left. Answered with the list.
void ClientSession::handlePrivKeyCreate(PacketReader& reader) {
    const auto role = reader.readLE<uint8_t>();
    const std::string description = reader.remaining() > 0 ? reader.readStr() : std::string();
    auto vs = vserver();
    if (!vs) return;
    vs->createPrivilegeKey(role, description);
    handlePrivKeyListRequest(reader);
    Logger::instance().logf(LogLevel::Info, "Client {} ({}) created privilege key", clientId_, nickname());
}

// str token. A known key, used or not, is marked used. Answered with the list.
void ClientSession::handlePrivKeyRevoke(PacketReader& reader) {
    const std::string token = reader.readStr();
    auto vs = vserver();
    if (!vs) return;
    vs->revokePrivilegeKeyByToken(token);
    handlePrivKeyListRequest(reader);
    Logger::instance().logf(LogLevel::Info, "Client {} ({}) revoked privilege key", clientId_, nickname());
}

// str token. A valid key makes the requester owner.
void ClientSession::handleUsePrivilegeKey(PacketReader& reader) {
    const std::string token = reader.readStr();
    PacketBuilder b(MessageType::UsePrivilegeKeyResult);
    auto vs = vserver();
    if (!vs) {
        b.writeLE<uint8_t>(0);
        b.writeStr("Server not ready.");
        send(b);
        return;
    }
    // While the address waits after a burst of wrong keys nothing is
    // checked: the answer is that of a wrong key.
    const bool waiting = credentialsWaiting();
    const bool ok = !waiting && vs->redeemPrivilegeKey(token, clientId_);
    // Guessing keys must not flood the log.
    warnings_.logf(LogLevel::Info, "Client " + std::to_string(clientId_), "Client {} ({}) used privilege key: {}",
                   clientId_, nickname(), ok ? "accepted" : "rejected");
    b.writeLE<uint8_t>(ok ? 1 : 0);
    b.writeStr(ok ? "Privilege key accepted. Role updated." : "Invalid or already-used key.");
    send(b);
    if (!ok) noteCredentialFailure(CredentialGuard::Kind::PrivilegeKey, !waiting);
}

// Empty payload. BotTokenList: every stored token without its secret.
void ClientSession::handleBotTokenListRequest(PacketReader& /*reader*/) {
    auto vs = vserver();
    if (!vs) return;
    const auto tokens = vs->getAllBotTokens();
    PacketBuilder b(MessageType::BotTokenList);
    const std::size_t n = writeBoundedList(b, tokens, [](PacketBuilder& out, const DB::DbBotToken& t) {
        out.writeLE(static_cast<uint64_t>(t.id));
        out.writeStr(t.bot_name);
        out.writeStr(t.description);
        out.writeLE(static_cast<uint32_t>(t.permissions));
        out.writeLE<uint8_t>(t.active ? 1 : 0);
        out.writeLE<int64_t>(t.created_at);
    });
    Logger::instance().logf(LogLevel::Info, "Client {} requested bot token list ({} tokens)", clientId_, n);
    send(b);
}

// str name (1 to 64 bytes), str description, u32 permissions. The creator
// sees the token once, here.
void ClientSession::handleBotTokenCreate(PacketReader& reader) {
    const std::string name = reader.readStr();
    const std::string description = reader.readStr();
    const auto permissions = reader.readLE<uint32_t>();
    auto vs = vserver();
    if (!vs) return;

    PacketBuilder b(MessageType::BotTokenCreated);
    if (name.empty() || name.size() > kMaxBotNameBytes) {
        b.writeLE<uint8_t>(0);
        send(b);
        return;
    }
    const DB::DbBotToken t = vs->createBotToken(name, description, permissions);
    Logger::instance().logf(LogLevel::Info, "Client {} ({}) created bot token '{}' (id={})", clientId_, nickname(),
                            name, t.id);
    b.writeLE<uint8_t>(1);
    b.writeLE(static_cast<uint64_t>(t.id));
    b.writeStr(name);
    b.writeStr(t.token);
    b.writeStr(description);
    b.writeLE(permissions);
    send(b);
}

// u64 id. No reply.
void ClientSession::handleBotTokenRevoke(PacketReader& reader) {
    const auto id = static_cast<int64_t>(reader.readLE<uint64_t>());
    auto vs = vserver();
    if (!vs) return;
    vs->revokeBotToken(id);
    Logger::instance().logf(LogLevel::Info, "Client {} ({}) revoked bot token id={}", clientId_, nickname(), id);
    // Bots log in with master-database tokens only; an id of a virtual
    // server's own database names some other token there.
    if (SessionHost* server = host(); server && vs->db && server->isMasterDatabase(vs->db.get())) {
        server->onBotTokenRevoked(id);
    }
}

}  // namespace Korrafin
