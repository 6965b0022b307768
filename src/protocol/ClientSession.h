// One TCP connection of the client protocol, from the accepted socket to its
// close: frames the received byte stream, dispatches each packet to its
// handler, keeps the connection's public UserInfo and login state, and
// serialises every write to the socket.
//
// Threads: onDataReceived (and so every handler) runs only on the
// connection's reader thread. send, disconnect, sendPing and the accessors may
// be called from any thread.
//
// Locks: sendMutex_ is held for the whole write of one packet and for the
// shutdown of the socket; infoMutex_ guards the UserInfo, the identity and the
// virtual server link and is a leaf (nothing else is locked while it is held);
// pingMutex_ guards the ping bookkeeping and is a leaf too.
//
// Lifetime: always made with std::make_shared; never copied or moved. The
// socket descriptor belongs to the session and is closed only by the
// destructor, so its number is never reused while anyone still holds the
// session. disconnect() only marks the session closed and shuts the socket
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

#include "permissions/Roles.h"
#include "protocol/FileStore.h"
#include "protocol/MessageType.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"
#include "protocol/PacketReader.h"
#include "protocol/UserInfo.h"

namespace Korrafin {

class VirtualServer;
class Server;

enum class SessionState : uint8_t {
    Connected = 0,      // socket accepted; no Hello yet
    HelloReceived = 1,  // Hello seen, HelloAck being sent
    AwaitingAuth = 2,   // HelloAck sent; the only state that takes an AuthRequest
    Authenticated = 3,  // AuthRequest accepted
    Closed = 4,         // final: nothing leaves it
};

class ClientSession : public std::enable_shared_from_this<ClientSession> {
public:
    // A client that stops reading is disconnected after this long, not waited for.
    static constexpr int kSendTimeoutSeconds = 5;
    // Largest packet that is ever written: header plus the receivers' payload limit.
    static constexpr std::size_t kMaxPacketBytes = PacketHeader::kSize + PacketHeader::kMaxPayload;

    // Takes ownership of the connected socket `fd` and sets its send time-out.
    // Sends nothing.
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

    // ---- state ----
    SessionState state() const { return state_.load(std::memory_order_acquire); }
    bool isClosed() const { return state() == SessionState::Closed; }
    // Compare-and-swap from `from` to `to`; false (nothing changed) when the
    // state is not `from`. Never leaves Closed. The login handler uses it for
    // AwaitingAuth -> Authenticated.
    bool changeState(SessionState from, SessionState to);

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
    Server* host() const { return host_.load(std::memory_order_acquire); }
    void setHost(Server* host) { host_.store(host, std::memory_order_release); }

    // Last measured round trip in milliseconds; 0 until a Pong was measured.
    uint32_t lastPingMs() const { return lastPingMs_.load(std::memory_order_relaxed); }

    // ---- connection ----

    // Framing entry point; only the connection's reader thread calls it.
    // Never throws: a handler's exception is logged per packet.
    void onDataReceived(const uint8_t* data, std::size_t len);

    // Writes one finished packet whole, or closes the session: a failed,
    // partial or timed-out write disconnects, so no half packet is ever
    // followed by another. Nothing happens once the session is closed.
    void send(const std::vector<uint8_t>& packet);
    // Finalises the builder, then as above.
    void send(const PacketBuilder& builder);

    // Marks the session closed (once; later calls do nothing), logs the
    // reason when it is not empty, and shuts the socket down (under the send
    // mutex), which wakes the reader thread. Sends nothing. The session stays
    // in its virtual server's table until the reader thread removes it.
    void disconnect(const std::string& reason);

    // Sends a Ping unless one is outstanding. Any thread.
    void sendPing();

    // Marks the session closed and removes it from its virtual server.
    void onDisconnected();

private:
    void processPacket(MessageType type, const uint8_t* payload, uint32_t len);
    // Closes with the send mutex already held by the caller.
    void closeLocked(const std::string& reason);
    // Compare-and-swap to Closed; false when it was closed already.
    bool markClosed();
    // markClosed, then the log line of a non-empty reason; false (nothing
    // logged) when it was closed already.
    bool beginClose(const std::string& reason);
    void sendRefusal(const std::string& text);

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
    std::vector<uint8_t> recvBuffer_;
    std::size_t recvOffset_ = 0;  // first unconsumed byte of recvBuffer_
    UploadWindow uploads_;

    const int fd_;
    const uint32_t clientId_;
    const std::string address_;

    std::atomic<SessionState> state_{SessionState::Connected};

    mutable std::mutex infoMutex_;
    UserInfo info_;
    std::string identity_;
    std::weak_ptr<VirtualServer> vserver_;

    std::atomic<Server*> host_{nullptr};

    std::mutex sendMutex_;

    std::atomic<uint32_t> lastPingMs_{0};
    std::mutex pingMutex_;
    std::chrono::steady_clock::time_point pingSentAt_{};
    bool pingOutstanding_ = false;
};

}  // namespace Korrafin
