// One TCP connection of the client protocol, from the accepted socket to its
// close: frames the received byte stream, dispatches each packet to its
// handler, keeps the connection's public UserInfo and login state, and
// queues every packet it is sent, whole and in order, for its socket (for a
// client that is behind, an unsent whole-state snapshot shows the newest of
// its kind in its own place, and an update that it already shows goes).
//
// Sending never waits for the peer: a packet goes to the socket at once as
// far as the socket takes it, the rest waits in a bounded outgoing queue
// that the process's send poller writes as the socket drains. A client whose
// queue would pass its bound, or whose socket drains nothing for
// kStallTimeout, is disconnected (a socket whose own unsent bytes fall is
// draining). Before its first login a client's frames may announce at most
// kPreAuthMaxPayload bytes.
//
// Threads: onDataReceived (and so every handler) runs only on the
// connection's reader thread. send, enqueue, flush, disconnect, sendPing and
// the accessors may be called from any thread.
//
// Locks: infoMutex_ guards the UserInfo, the identity and the virtual server
// link and is a leaf (nothing else is locked while it is held); pingMutex_
// guards the ping bookkeeping and is a leaf too; the outgoing queue's mutex
// is a leaf and is never held while the socket is written.
//
// Lifetime: always made with std::make_shared; never copied or moved. The
// socket descriptor belongs to the outgoing queue, which the session holds
// and the send poller holds only while it writes; it is closed when the
// last of them lets go, so its number is never reused while anyone still
// uses it. disconnect() only marks the session closed and shuts the socket
// down, which also wakes the reader thread's recv.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/CredentialGuard.h"
#include "core/LogThrottle.h"
#include "core/OutboundQueue.h"
#include "core/PerKeyLimit.h"
#include "permissions/Roles.h"
#include "protocol/Framer.h"
#include "protocol/FileStore.h"
#include "protocol/MessageType.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"
#include "protocol/PacketReader.h"
#include "protocol/UserInfo.h"

namespace Korrafin {

class VirtualServer;
class SessionHost;

enum class SessionState : uint8_t {
    Connected = 0,      // socket accepted; no Hello yet
    HelloReceived = 1,  // Hello seen, HelloAck being sent
    AwaitingAuth = 2,   // HelloAck sent; the only state that takes an AuthRequest
    Authenticated = 3,  // AuthRequest accepted
    Closed = 4,         // final: nothing leaves it
};

class ClientSession : public std::enable_shared_from_this<ClientSession> {
public:
    // Largest packet that is ever written: header plus the receivers' payload limit.
    static constexpr std::size_t kMaxPacketBytes = PacketHeader::kSize + PacketHeader::kMaxPayload;
    // Bytes that may wait for a client: a few MiB beyond the largest packet.
    static constexpr std::size_t kMaxQueuedBytes = kMaxPacketBytes + 4 * 1024 * 1024;
    // A client whose socket drains nothing for this long while bytes wait is
    // disconnected, not waited for.
    static constexpr std::chrono::seconds kStallTimeout{10};
    // A connection that has not logged in within this time is closed (by the host).
    static constexpr std::chrono::seconds kLoginTimeout{10};
    // The largest payload a frame may announce before the first login.
    static constexpr uint32_t kPreAuthMaxPayload = 64 * 1024;
    // Warnings of one connection written per second; the rest are summarised.
    static constexpr unsigned kWarningsPerSecond = 10;

    // Takes ownership of the connected socket `fd` (-1: nothing can be
    // written). Sends nothing.
    ClientSession(int fd, uint32_t clientId, const std::string& address);
    ~ClientSession();

    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;
    ClientSession(ClientSession&&) = delete;
    ClientSession& operator=(ClientSession&&) = delete;

    // ---- immutable identity of the connection (no lock) ----
    uint32_t clientId() const { return clientId_; }
    int fd() const { return fd_; }
    const std::string& address() const { return address_; }
    // When the connection was made, plus kLoginTimeout.
    std::chrono::steady_clock::time_point loginDeadline() const { return loginDeadline_; }

    // ---- state ----
    SessionState state() const { return state_.load(std::memory_order_acquire); }
    bool isClosed() const { return state() == SessionState::Closed; }
    // Compare-and-swap from `from` to `to`; false (nothing changed) when the
    // state is not `from`. Never leaves Closed. The login handler uses it for
    // AwaitingAuth -> Authenticated, which also marks the session as logged
    // in for good (frame limit raised, login slot given back).
    bool changeState(SessionState from, SessionState to);
    // True once the session has been authenticated, whatever came after.
    bool hasLoggedIn() const { return loggedIn_.load(std::memory_order_acquire); }
    // The host's place for this connection among those of its address that
    // wait for their login; given back at the first login or at the end.
    void holdLoginSlot(PerKeyLimit::Slot slot) { loginSlot_ = std::move(slot); }

    // What limits this connection's credential guesses, shared with the
    // other connections of the process (a process-wide one unless the host
    // sets its own). Set before the reader thread starts; never null.
    void setCredentialGuard(std::shared_ptr<CredentialGuard> guard);

    // ---- user record (copies under infoMutex_) ----
    UserInfo info() const;
    std::string nickname() const;
    UserRole role() const;
    uint16_t channelId() const;
    void setNickname(const std::string& nickname);
    void setRole(UserRole role);
    void setChannelId(uint16_t channelId);
    // Changes several fields in one hold of infoMutex_. `f` gets a UserInfo&
    // and must not lock anything or call back into the session.
    template <class F>
    void updateInfo(F&& f) {
        std::lock_guard<std::mutex> lock(infoMutex_);
        f(info_);
    }

    std::string identity() const;
    void setIdentity(const std::string& identity);

    // The virtual server that admitted the session; null before admission,
    // when none admitted it, or once it is gone. Set by
    // VirtualServer::acceptSession.
    std::shared_ptr<VirtualServer> vserver() const;
    void setVServer(std::weak_ptr<VirtualServer> vs);

    // The process host; set by the host before the reader thread starts.
    SessionHost* host() const { return host_.load(std::memory_order_acquire); }
    void setHost(SessionHost* host) { host_.store(host, std::memory_order_release); }

    // Last measured round trip in milliseconds; 0 until a Pong was measured.
    uint32_t lastPingMs() const { return lastPingMs_.load(std::memory_order_relaxed); }

    // ---- connection ----

    // Framing entry point; only the connection's reader thread calls it.
    // Never throws: a handler's exception is logged per packet.
    void onDataReceived(const uint8_t* data, std::size_t len);

    // Queues one finished packet whole and writes what the socket takes now;
    // never waits. A queue that fails (bound passed, broken socket, no
    // memory) disconnects the session, so no half packet is ever followed by
    // another. Nothing happens once the session is closed. A whole-state
    // snapshot (a channel list, the server settings, a channel's content)
    // goes to a client that is behind as the newest of its kind: it
    // refreshes one that waits unsent, in that one's place, and the updates
    // of that state (a reorder, a message count, a reaction list) that wait
    // behind it go (see OutboundQueue and stateTagOf).
    void send(const std::vector<uint8_t>& packet);
    // Finalises the builder, then as above.
    void send(const PacketBuilder& builder);
    // Queues a packet without writing anything, so that a caller may hold a
    // lock that orders the packets of several sessions (no network call is
    // made under it); flush() must follow once the lock is released. A
    // snapshot of the session's own login or move is placed Own: it keeps
    // its place in that sequence however far behind the client is; so is
    // the answer to its own request (its reorder, its reaction), which is
    // never dropped.
    void enqueue(const OutboundQueue::Bytes& packet, OutboundQueue::Place place = OutboundQueue::Place::Shared);
    void flush();

    // Marks the session closed (once; later calls do nothing), logs the
    // reason (for an empty one, the outgoing queue's failure, if any), drops
    // what waits to be sent and shuts the socket down, which wakes the reader
    // thread. Sends nothing, waits for nothing. The session stays in its
    // virtual server's table until the reader thread removes it.
    void disconnect(const std::string& reason);

    // The connection's repeated warnings (malformed packets, refused
    // requests) go through this: a few per second, then a summary.
    LogThrottle& warnings() { return warnings_; }

    // Sends a Ping unless one is outstanding. Any thread.
    void sendPing();

    // Marks the session closed and removes it from its virtual server.
    void onDisconnected();

private:
    void processPacket(MessageType type, const uint8_t* payload, uint32_t len);
    // Logs the header the framer refused and disconnects with its reason.
    void refuseFrame();
    // Compare-and-swap to Closed; false when it was closed already.
    bool markClosed();
    // markClosed, then the log line of a non-empty reason; false (nothing
    // logged) when it was closed already.
    bool beginClose(const std::string& reason);
    void sendRefusal(const std::string& text);
    // Passwords, server keys and privilege keys: while the address waits
    // after a burst of failures nothing is checked and the request is
    // answered as for a wrong credential. A failed or unchecked attempt is
    // reported after its answer was sent; the connection closes at its bound.
    bool credentialsWaiting();
    void noteCredentialFailure(CredentialGuard::Kind kind, bool checked);
    // A warning of this connection through its throttle; the client id
    // takes the first placeholder.
    template <typename... Args>
    void warn(std::string_view fmt, Args&&... args) {
        warnings_.logf(LogLevel::Warn, "Client " + std::to_string(clientId_), fmt, clientId_,
                       std::forward<Args>(args)...);
    }

    // Handlers. processPacket has already checked the entry condition of the
    // type (state, virtual server, role, and the Error refusals); a handler
    // starts reading its payload at the beginning and fetches the virtual
    // server once (`auto vs = vserver(); if (!vs) return;`).
    void handleHello(PacketReader& reader);
    void handlePong();

    // Login and identity.
    void handleAuthRequest(PacketReader& reader);
    void handleUserRegister(PacketReader& reader);
    void handleUserLogin(PacketReader& reader);

    // Chat, direct messages, presence and channel joins.
    void handleChatMessage(PacketReader& reader);
    void handleDmSend(PacketReader& reader);
    void handleMessageDelete(PacketReader& reader);
    void handleChannelJoin(PacketReader& reader);
    void handleChannelLeave(PacketReader& reader);
    void handleVoiceState(PacketReader& reader);
    void handleUserStatusUpdate(PacketReader& reader);
    void handleUserActivityUpdate(PacketReader& reader);

    // Files.
    void handleFileUpload(PacketReader& reader);
    void handleFileRequest(PacketReader& reader);

    // Channel content and reactions.
    void handleChannelContentGet(PacketReader& reader);
    void handleChannelContentUpdate(PacketReader& reader);
    void handleChannelReactionToggle(PacketReader& reader);

    // Channel administration.
    void handleChannelCreate(PacketReader& reader);
    void handleChannelDelete(PacketReader& reader);
    void handleChannelUpdate(PacketReader& reader);
    void handleChannelReorder(PacketReader& reader);

    // Moderation and roles.
    void handleKickUser(PacketReader& reader);
    void handleBanUser(PacketReader& reader);
    void handleMoveUser(PacketReader& reader);
    void handleSetUserRole(PacketReader& reader);

    // Privilege keys and bot tokens.
    void handleUsePrivilegeKey(PacketReader& reader);
    void handlePrivKeyCreate(PacketReader& reader);
    void handlePrivKeyRevoke(PacketReader& reader);
    void handlePrivKeyListRequest(PacketReader& reader);
    void handleBotTokenListRequest(PacketReader& reader);
    void handleBotTokenCreate(PacketReader& reader);
    void handleBotTokenRevoke(PacketReader& reader);

    // Server administration.
    void handleServerSettingsUpdate(PacketReader& reader);
    void handlePluginListRequest(PacketReader& reader);
    void handleVServerListRequest(PacketReader& reader);
    void handleVServerStop(PacketReader& reader);
    void handleVServerStart(PacketReader& reader);

    // Reader thread only.
    Framer framer_{kPreAuthMaxPayload};
    UploadWindow uploads_;

    const int fd_;
    const uint32_t clientId_;
    const std::string address_;
    const std::chrono::steady_clock::time_point loginDeadline_;
    std::shared_ptr<OutboundQueue> out_;

    std::atomic<bool> loggedIn_{false};
    PerKeyLimit::Slot loginSlot_;  // set before the reader starts; then reader thread only
    LogThrottle warnings_{kWarningsPerSecond};
    std::shared_ptr<CredentialGuard> credentialGuard_;  // set before the reader starts
    CredentialGuard::Tally credentialTally_;             // reader thread only

    std::atomic<SessionState> state_{SessionState::Connected};

    mutable std::mutex infoMutex_;
    UserInfo info_;
    std::string identity_;
    std::weak_ptr<VirtualServer> vserver_;

    std::atomic<SessionHost*> host_{nullptr};

    std::atomic<uint32_t> lastPingMs_{0};
    std::mutex pingMutex_;
    std::chrono::steady_clock::time_point pingSentAt_{};
    bool pingOutstanding_ = false;
};

}  // namespace Korrafin
