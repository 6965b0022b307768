// One chat server instance inside the process: its settings, the table of
// admitted sessions, its channel tree, its role checker, its in-memory bans,
// and the attachments the host gives it (database, key manager, bot API,
// plugin host). It has no thread of its own: every operation runs on its
// caller's thread and may be called from any thread.
//
// Lifetime: always made with std::make_shared (sessions keep a weak_ptr to
// it); never copied or moved. `db` and `keyManager` are set by the host before
// the virtual server is shared or started and do not change afterwards;
// `botApi` and `pluginLoader` may be attached and detached at any time.
//
// Locks: sessionsMutex_, bansMutex_, configMutex_, identityMutex_ and the
// channel tree's mutex are never nested with each other and never held while
// a packet is sent (broadcasts work on snapshots). sessionsMutex_ may take a
// session's info lock (a leaf). moveMutex_ is the outer lock of a channel
// move or a session's removal: it is taken before the channel tree, the
// sessions table and session info locks, and never held while sending.
// settingsMutex_ orders settings updates and logins; it is taken before
// moveMutex_ and the database's lock, and never held while sending.
// channelsMutex_ orders changes of channel records, orders and message
// counts with their storage; it is taken before moveMutex_ and the
// database's lock, and never held while sending. Packets
// queued under these locks (no write) are flushed once they are released.
// A lookup of a channel whose list adminCreateChannel is still queueing
// waits for that walk (ChannelManager::announce); the walk takes only the
// sessions table's and the queues' locks, which no lookup is made under.
// The acting client id 0 is the system actor: it passes every permission gate.
//
// Errors: operations that reach the database let its std::runtime_error
// through unless their note says otherwise; hooks (bot API, plugin host) are
// called with no lock of this object held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/OutboundQueue.h"
#include "db/IDatabase.h"
#include "db/Records.h"
#include "permissions/PermissionSystem.h"
#include "permissions/Roles.h"
#include "protocol/ChannelInfo.h"
#include "protocol/ResultCode.h"
#include "vserver/BanEntry.h"
#include "vserver/ChannelManager.h"
#include "vserver/EventSinks.h"

namespace Korrafin {

class ClientSession;

namespace Auth {
class PrivilegeKeyManager;
}

class VirtualServer : public std::enable_shared_from_this<VirtualServer> {
public:
    struct VSConfig {
        uint16_t id = 1;
        std::string name = "Korrafin Server";
        std::string serverKey;       // empty never matches
        std::string welcomeMessage;  // stored and listed, never sent to clients
        int32_t maxSlots = 32;       // compared signed with the session count
        bool reservedFlag = true;    // stored and copied, never read
        std::string channelsFile = "channels.json";  // stored and copied, never read
        uint16_t tcpPort = 0;        // 0 = reached through the main port only
        std::string dbPath;          // empty = the master database
    };

    // Copies the settings and creates the lobby (channel 1).
    explicit VirtualServer(const VSConfig& config);
    // Stops (disconnecting every session); the attachments are left alone.
    ~VirtualServer();

    VirtualServer(const VirtualServer&) = delete;
    VirtualServer& operator=(const VirtualServer&) = delete;

    // ---- settings and lifecycle ----
    uint16_t id() const { return id_; }
    VSConfig config() const;                // a copy, under configMutex_
    void setConfig(const VSConfig& config);  // keeps the id
    bool isRunning() const { return running_.load(std::memory_order_acquire); }
    // Sets the running flag and logs; opens nothing.
    void start();
    // Once running: clears the flag and disconnects every session with
    // "Server shutting down"; otherwise nothing.
    void stop();

    // ---- session table (each takes sessionsMutex_ briefly) ----
    std::shared_ptr<ClientSession> findSession(uint32_t clientId) const;
    // Every session, authenticated or not, in table order.
    std::vector<std::shared_ptr<ClientSession>> allSessions() const;
    // Sessions in the table, closed ones that wait for their removal included.
    uint32_t slotUsage() const;
    // True when a session other than `exceptId` bears exactly this nickname
    // (0 excludes nobody).
    bool hasNicknameConflict(const std::string& nickname, uint32_t exceptId) const;
    // In one hold of the sessions mutex: false when any session (the claimer
    // included) bears the nickname; otherwise the claimer (when it is in the
    // table) takes it, and true.
    bool claimNickname(uint32_t clientId, const std::string& nickname);
    // True only for a non-empty configured key that equals `key` byte for
    // byte; a key holding a NUL never matches.
    bool verifyServerKey(const std::string& key) const;

    // Admission: refuses a full server ("Server is full"), then a banned
    // address ("You are banned from this server"), disconnecting the session;
    // otherwise links the session to this virtual server and stores it. The
    // slot test and the insertion are one step against other admissions.
    // Closed sessions that still wait for their removal hold no slot.
    bool acceptSession(std::shared_ptr<ClientSession> session);

    // Sends the finished packet to every session but `exceptId` (0 excludes
    // nobody), after the table lock is released.
    void broadcast(const std::vector<uint8_t>& packet, uint32_t exceptId) const;
    // Sends to every member of the channel but `exceptId`; members without a
    // session are skipped.
    void broadcastToChannel(uint16_t channelId, const std::vector<uint8_t>& packet, uint32_t exceptId) const;

    // Permission gate: 0 passes; an unknown client fails; otherwise the
    // role check of the client's current role.
    bool checkPerm(uint32_t clientId, Permission flag, uint16_t channelId) const;
    // WARN "[VServer <id>] Client <actor> denied: <what>", through the
    // client's warning throttle when it has a session here.
    void warnDenied(uint32_t actorId, const char* what) const;

    void notifyBotChatMessage(uint32_t clientId, const std::string& nickname, const std::string& text);
    void notifyBotUserMoved(uint32_t clientId, uint16_t fromChannel, uint16_t toChannel);
    void notifyPluginChatMessage(uint32_t clientId, uint16_t channelId, const std::string& nickname,
                                 const std::string& text, uint64_t messageId);

    // Every fifth call (over all virtual servers) pings every session; then
    // drops expired bans.
    void tick();

    // ---- ordered broadcasts ----
    using Recipients = std::vector<std::shared_ptr<ClientSession>>;
    // Queues the packets to every session, packet by packet, without
    // writing, for a caller that holds the lock ordering the change they
    // show (moveMutex_ for joins, leaves, channel lists and their updates),
    // so sessions get them in the order of the changes; flushAll must follow
    // once that lock is released. What goes to `ownerId` is its own (its
    // move, its request): its snapshots keep their places and its updates
    // are never dropped. Takes sessionsMutex_ briefly.
    Recipients queueToAll(const std::vector<OutboundQueue::Bytes>& packets, uint32_t ownerId = 0) const;
    // A test's hold on such a walk: called on the walking thread, under the
    // caller's lock, each time queueToAll has queued a packet to a session.
    // Set before the virtual server is shared; the server never sets it.
    std::function<void(const ClientSession&)> onQueued;
    static void flushAll(const Recipients& recipients);

    // ---- channel lists, announcements, moves, removal ----
    void broadcastChannelList() const;
    // The channel list to one session, as its own (its login's).
    void sendChannelList(const std::shared_ptr<ClientSession>& session) const;
    // Every session's record to one session; takes moveMutex_.
    void sendUserList(const std::shared_ptr<ClientSession>& session) const;
    // The head of a login in one step against settings changes and channel
    // announcements: `lead` (the AuthResponse and IdentityStatus), the
    // server settings as stored now (`fallback`, with a warning, when they
    // cannot be read) and the channel list, the last two as the session's
    // own. Takes settingsMutex_, then moveMutex_.
    void sendLoginHead(const std::shared_ptr<ClientSession>& session, const std::vector<OutboundQueue::Bytes>& lead,
                       const DB::DbServerSettings& fallback) const;
    // UserJoinedChannel and the channel list to everybody, then the bot event.
    void onUserJoinedChannel(uint32_t clientId, uint16_t channelId);
    // UserLeftChannel and the channel list to everybody.
    void onUserLeftChannel(uint32_t clientId, uint16_t channelId);
    // Checks (session, channel, spacer, JOIN_CHANNEL of the moved user,
    // password, limit) and the membership change are atomic against other
    // moves of this virtual server; false changes and sends nothing.
    bool moveUserToChannel(uint32_t clientId, uint16_t channelId, const std::string& password);
    // Takes the session out of the table and its channel, then announces it.
    void removeSession(uint32_t clientId);

    // ---- moderation ----
    bool kickUser(uint32_t targetId, uint32_t actorId, const std::string& reason);
    bool banUser(uint32_t targetId, uint32_t actorId, const std::string& reason, int64_t seconds);
    bool setUserRole(uint32_t targetId, uint32_t actorId, UserRole role);
    // Replaces any ban of the same address.
    void addBan(const BanEntry& ban);
    // An unexpired ban matching the non-empty address, else the non-empty nickname.
    bool isBanned(const std::string& address, const std::string& nickname) const;
    void removeBan(const std::string& address);
    void loadBans();
    void saveBans() const;

    // ---- accounts, identities, tokens and privilege keys ----
    static std::string hashPassword(const std::string& password);
    static std::string generateToken();
    ResultCode registerIdentity(const std::string& identity, const std::string& nickname, uint32_t clientId);
    bool isIdentityRegistered(const std::string& identity);
    std::optional<DB::DbUser> getUserByUniqueId(const std::string& identity);
    ResultCode registerUser(const std::string& username, const std::string& password, uint32_t clientId);
    ResultCode loginUser(const std::string& username, const std::string& password, uint32_t clientId,
                         std::string& tokenOut);
    DB::DbBotToken createBotToken(const std::string& name, const std::string& description, uint32_t permissions);
    std::vector<DB::DbBotToken> getAllBotTokens() const;
    void revokeBotToken(int64_t id);
    DB::DbPrivilegeKey createPrivilegeKey(uint8_t type, const std::string& description);
    std::vector<DB::DbPrivilegeKey> getAllPrivilegeKeys() const;
    bool revokePrivilegeKeyByToken(const std::string& token);
    bool redeemPrivilegeKey(const std::string& token, uint32_t clientId);

    // ---- channel administration, persistence and settings ----
    // These log and swallow storage errors, except the settings pair.
    void loadChannelsFromDb();
    // The new id, or 0 for a refusal: no right, a name of 0 or over 128
    // bytes, a record too long for its wire form, a channel list that would
    // outgrow the receivers' packet limit, a failed store, or a channel
    // under itself. Nothing is stored or sent on a refusal.
    uint16_t adminCreateChannel(const ChannelInfo& info, uint32_t actorId);
    // False for an unknown id and for the same refusals but the store's: a
    // failed store write is logged and the update kept. An update that does
    // not lengthen its record is never refused for the list's length.
    bool adminUpdateChannel(const ChannelInfo& info, uint32_t actorId);
    bool adminDeleteChannel(uint16_t channelId, uint32_t actorId);
    // The new order, its list and the order itself to everybody in one step
    // (the actor's order is its own). Takes channelsMutex_, then moveMutex_.
    bool adminReorderChannels(const std::vector<uint16_t>& ids, uint32_t actorId);
    // The count goes up in the tree and the store and to everybody, in one
    // step against other counts and lists. Takes channelsMutex_, then
    // moveMutex_.
    void incrementChannelMessageCount(uint16_t channelId);
    DB::DbServerSettings getServerSettings() const;
    void saveServerSettings(const DB::DbServerSettings& settings);
    // The stored settings for a login's steps; `fallback` (with a warning
    // naming the client) when they cannot be read.
    DB::DbServerSettings loginSettings(uint32_t clientId, const DB::DbServerSettings& fallback) const;
    // Stores the settings and shows them to every session, in one step
    // against other updates and logins: the last settings every client gets
    // are the stored ones. Storage errors propagate (nothing is sent then).
    // Takes settingsMutex_.
    void updateServerSettings(const DB::DbServerSettings& settings);

    // ---- direct messages ----
    // 1 to 4096 bytes from the sender's session to the recipient's; silently
    // nothing when either has no session here or the length is wrong.
    void routeDirectMessage(uint32_t fromId, uint32_t toId, const std::string& text);
    // The same under a sender name the caller gives, for senders without a
    // session (a plugin sends as id 0 under its bracketed name). A name over
    // 65535 bytes throws std::runtime_error and sends nothing.
    void routeDirectMessage(uint32_t fromId, const std::string& fromName, uint32_t toId, const std::string& text);

    // ---- public members other subsystems use ----
    std::atomic<uint64_t> lastMessageId{0};
    ChannelManager channelManager;
    PermissionSystem permissions;
    std::shared_ptr<DB::IDatabase> db;                   // set before sharing
    Auth::PrivilegeKeyManager* keyManager = nullptr;     // set before sharing; not owned
    std::atomic<BotEventSink*> botApi{nullptr};          // not owned
    std::atomic<PluginHost*> pluginLoader{nullptr};      // not owned

private:
    const uint16_t id_;

    mutable std::mutex configMutex_;
    VSConfig config_;

    std::atomic<bool> running_{false};

    mutable std::mutex sessionsMutex_;
    std::unordered_map<uint32_t, std::shared_ptr<ClientSession>> sessions_;

    mutable std::mutex bansMutex_;
    std::vector<BanEntry> bans_;

    // True when the sessions that are not closed fill `maxSlots` (caller
    // holds sessionsMutex_).
    bool fullLocked(int64_t maxSlots) const;

    // Serialises moves, removals and the announcements of changes (see the
    // lock notes above).
    mutable std::mutex moveMutex_;
    // Orders settings updates against each other and against the settings
    // a login sends; taken before moveMutex_.
    mutable std::mutex settingsMutex_;
    // Orders the changes of channel records, orders and message counts so
    // that the store takes them in the order the tree does; taken before
    // moveMutex_.
    mutable std::mutex channelsMutex_;
    // Serialises identity lookup-or-save so one identity never gets two rows.
    // Shared by all virtual servers: those without a file of their own share
    // the master database and its Users table. Taken before the database's lock.
    static std::mutex identityMutex_;
};

}  // namespace Korrafin
