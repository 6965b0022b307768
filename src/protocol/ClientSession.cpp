#include "protocol/ClientSession.h"

#include <cstdio>
#include <exception>

#include "core/Logger.h"
#include "core/SendPoller.h"
#include "protocol/Packets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

namespace {

// The logger's formatter only knows "{}": hex is formatted here first.
std::string hexUpper(uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, static_cast<unsigned>(value));
    return buf;
}

bool isAdminRole(UserRole role) { return static_cast<uint8_t>(role) > static_cast<uint8_t>(UserRole::Moderator); }

const char* failureText(OutboundQueue::Failure failure) {
    switch (failure) {
        case OutboundQueue::Failure::Overflow: return "Send buffer full";
        case OutboundQueue::Failure::Stalled: return "Send timed out";
        case OutboundQueue::Failure::Broken: return "Send failed";
        case OutboundQueue::Failure::NoMemory: return "Out of memory";
        case OutboundQueue::Failure::None: break;
    }
    return "";
}

// Guesses are limited per address across the whole process.
const std::shared_ptr<CredentialGuard>& processCredentialGuard() {
    static const auto* const guard = new std::shared_ptr<CredentialGuard>(std::make_shared<CredentialGuard>());
    return *guard;
}

}  // namespace

ClientSession::ClientSession(int fd, uint32_t clientId, const std::string& address)
    : fd_(fd),
      clientId_(clientId),
      address_(address),
      loginDeadline_(std::chrono::steady_clock::now() + kLoginTimeout),
      credentialGuard_(processCredentialGuard()) {
    info_.clientId = clientId;
    // Last: once the queue owns the descriptor nothing here may throw, or the
    // caller would close it a second time.
    out_ = std::make_shared<OutboundQueue>(fd, OutboundQueue::Limits{kMaxQueuedBytes, kStallTimeout},
                                           SendPoller::shared());
}

ClientSession::~ClientSession() { warnings_.flush(LogLevel::Warn, "Client " + std::to_string(clientId_)); }

// ---------------------------------------------------------------- state

bool ClientSession::changeState(SessionState from, SessionState to) {
    if (from == SessionState::Closed || to == SessionState::Closed) return false;
    if (!state_.compare_exchange_strong(from, to, std::memory_order_acq_rel)) return false;
    if (to == SessionState::Authenticated && !loggedIn_.exchange(true, std::memory_order_acq_rel)) {
        // Logged in: full-sized frames from now on, and the place among the
        // address's waiting connections is free for another.
        framer_.setMaxPayload(PacketHeader::kMaxPayload);
        loginSlot_.release();
    }
    return true;
}

bool ClientSession::markClosed() {
    SessionState s = state_.load(std::memory_order_acquire);
    do {
        if (s == SessionState::Closed) return false;
    } while (!state_.compare_exchange_weak(s, SessionState::Closed, std::memory_order_acq_rel));
    return true;
}

void ClientSession::setCredentialGuard(std::shared_ptr<CredentialGuard> guard) {
    if (guard) credentialGuard_ = std::move(guard);
}

bool ClientSession::credentialsWaiting() { return credentialGuard_->waiting(address_); }

void ClientSession::noteCredentialFailure(CredentialGuard::Kind kind, bool checked) {
    const auto outcome = checked ? credentialGuard_->failed(address_, credentialTally_, kind)
                                 : credentialGuard_->refused(address_, credentialTally_, kind);
    if (outcome == CredentialGuard::Outcome::Close) disconnect("Too many failed attempts");
}

// ---------------------------------------------------------------- user record

UserInfo ClientSession::info() const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    return info_;
}

std::string ClientSession::nickname() const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    return info_.nickname;
}

UserRole ClientSession::role() const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    return info_.role;
}

uint16_t ClientSession::channelId() const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    return info_.channelId;
}

void ClientSession::setNickname(const std::string& nickname) {
    std::lock_guard<std::mutex> lock(infoMutex_);
    info_.nickname = nickname;
}

void ClientSession::setRole(UserRole role) {
    std::lock_guard<std::mutex> lock(infoMutex_);
    info_.role = role;
}

void ClientSession::setChannelId(uint16_t channelId) {
    std::lock_guard<std::mutex> lock(infoMutex_);
    info_.channelId = channelId;
}

std::string ClientSession::identity() const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    return identity_;
}

void ClientSession::setIdentity(const std::string& identity) {
    std::lock_guard<std::mutex> lock(infoMutex_);
    identity_ = identity;
}

std::shared_ptr<VirtualServer> ClientSession::vserver() const {
    std::lock_guard<std::mutex> lock(infoMutex_);
    return vserver_.lock();
}

void ClientSession::setVServer(std::weak_ptr<VirtualServer> vs) {
    std::lock_guard<std::mutex> lock(infoMutex_);
    vserver_ = std::move(vs);
}

// ---------------------------------------------------------------- framing

void ClientSession::onDataReceived(const uint8_t* data, std::size_t len) {
    if (len == 0 || isClosed()) return;
    framer_.append(data, len);

    Framer::Frame frame;
    while (!isClosed()) {
        switch (framer_.next(frame)) {
            case Framer::Status::NeedMore:
                return;
            case Framer::Status::Bad:
                refuseFrame();
                return;
            case Framer::Status::Frame:
                break;
        }
        try {
            processPacket(frame.type, frame.payload, frame.length);
        } catch (const std::exception& e) {
            warn("Client {}: packet processing error: {}", e.what());
        } catch (...) {
            warn("Client {}: packet processing error: {}", "unknown exception");
        }
    }
}

void ClientSession::refuseFrame() {
    const PacketHeader& h = framer_.refused();
    switch (framer_.refusedBecause()) {
        case HeaderStatus::BadMagic:
            Logger::instance().logf(LogLevel::Warn, "Client {}: bad magic {} – disconnecting", clientId_,
                                    hexUpper(h.magic, 8));
            disconnect("Protocol error");
            return;
        case HeaderStatus::BadVersion:
            Logger::instance().logf(LogLevel::Warn, "Client {}: version mismatch {}", clientId_,
                                    static_cast<unsigned>(h.version));
            disconnect("Version mismatch");
            return;
        case HeaderStatus::Oversized:
        case HeaderStatus::Ok:
            Logger::instance().logf(LogLevel::Warn, "Client {}: oversized packet {} bytes", clientId_, h.length);
            disconnect("Oversized packet");
            return;
    }
}

// ---------------------------------------------------------------- dispatch

void ClientSession::sendRefusal(const std::string& text) { send(errorPacket(text)); }

void ClientSession::processPacket(MessageType type, const uint8_t* payload, uint32_t len) {
    PacketReader reader{payload, len, 0};
    const bool authed = state() == SessionState::Authenticated;

    // Authenticated, attached to a virtual server (else silently dropped) and
    // holding an admin role; a lower role gets the Error `refusal`, or nothing
    // when it is null.
    auto adminGate = [&](const char* refusal) -> bool {
        if (!authed || !vserver()) return false;
        if (isAdminRole(role())) return true;
        if (refusal) sendRefusal(refusal);
        return false;
    };
    // Authenticated, then a host and an admin role; otherwise the refusal.
    auto hostAdminGate = [&]() -> bool {
        if (!authed) return false;
        if (host() && isAdminRole(role())) return true;
        sendRefusal("Admin role required");
        return false;
    };

    switch (type) {
        case MessageType::Hello:
            handleHello(reader);
            return;
        case MessageType::Pong:
            handlePong();
            return;

        case MessageType::AuthRequest:
            if (state() == SessionState::AwaitingAuth) handleAuthRequest(reader);
            return;

        // Authenticated with a virtual server; anything else is dropped silently.
        case MessageType::ChannelCreate:
            if (authed && vserver()) handleChannelCreate(reader);
            return;
        case MessageType::ChannelDelete:
            if (authed && vserver()) handleChannelDelete(reader);
            return;
        case MessageType::ChannelUpdate:
            if (authed && vserver()) handleChannelUpdate(reader);
            return;
        case MessageType::ChannelReorder:
            if (authed && vserver()) handleChannelReorder(reader);
            return;
        case MessageType::KickUser:
            if (authed && vserver()) handleKickUser(reader);
            return;
        case MessageType::BanUser:
            if (authed && vserver()) handleBanUser(reader);
            return;
        case MessageType::MoveUser:
            if (authed && vserver()) handleMoveUser(reader);
            return;
        case MessageType::SetUserRole:
            if (authed && vserver()) handleSetUserRole(reader);
            return;
        case MessageType::DmSend:
            if (authed && vserver()) handleDmSend(reader);
            return;
        case MessageType::ChannelContentGet:
            if (authed && vserver()) handleChannelContentGet(reader);
            return;
        case MessageType::ChannelContentUpdate:
            if (authed && vserver()) handleChannelContentUpdate(reader);
            return;
        case MessageType::ChannelReactionToggle:
            if (authed && vserver()) handleChannelReactionToggle(reader);
            return;
        case MessageType::UserRegister:
            if (authed && vserver()) handleUserRegister(reader);
            return;
        case MessageType::UserLogin:
            if (authed && vserver()) handleUserLogin(reader);
            return;

        // These handlers read the request before looking at the virtual
        // server, so a short payload is an error even without one.
        case MessageType::ChannelJoin:
            if (authed) handleChannelJoin(reader);
            return;
        case MessageType::ChannelLeave:
            // Like every request but Hello and AuthRequest, only once logged in.
            if (authed && vserver() && channelId() != ChannelManager::kLobbyId) handleChannelLeave(reader);
            return;

        // Authenticated only; the handler stores the value even without a virtual server.
        case MessageType::VoiceState:
            if (authed) handleVoiceState(reader);
            return;
        case MessageType::UserStatusUpdate:
            if (authed) handleUserStatusUpdate(reader);
            return;
        case MessageType::UserActivityUpdate:
            if (authed) handleUserActivityUpdate(reader);
            return;
        case MessageType::FileUpload:
            if (authed) handleFileUpload(reader);
            return;
        case MessageType::FileRequest:
            if (authed) handleFileRequest(reader);
            return;

        case MessageType::ChatMessage: {
            if (!authed) return;
            auto vs = vserver();
            if (vs && vs->checkPerm(clientId_, Permission::TEXT_CHAT, 0)) handleChatMessage(reader);
            return;
        }
        case MessageType::MessageDelete:
            if (authed && vserver() && static_cast<uint8_t>(role()) >= static_cast<uint8_t>(UserRole::Moderator))
                handleMessageDelete(reader);
            return;

        case MessageType::UsePrivilegeKey:
            if (authed) handleUsePrivilegeKey(reader);
            return;
        case MessageType::PrivKeyCreate:
            if (adminGate("Admin role required to create privilege keys")) handlePrivKeyCreate(reader);
            return;
        case MessageType::PrivKeyRevoke:
            if (adminGate("Admin role required to revoke privilege keys")) handlePrivKeyRevoke(reader);
            return;
        case MessageType::PrivKeyListRequest:
            if (adminGate("Admin role required to manage privilege keys")) handlePrivKeyListRequest(reader);
            return;
        case MessageType::ServerSettingsUpdate:
            if (adminGate("Server settings require Admin role")) handleServerSettingsUpdate(reader);
            return;
        case MessageType::BotTokenListRequest:
            if (adminGate("Admin role required to manage bot tokens")) handleBotTokenListRequest(reader);
            return;
        case MessageType::BotTokenCreate:
            if (adminGate("Admin role required to create bot tokens")) handleBotTokenCreate(reader);
            return;
        case MessageType::BotTokenRevoke:
            if (adminGate("Admin role required to revoke bot tokens")) handleBotTokenRevoke(reader);
            return;
        case MessageType::PluginListRequest:
            if (adminGate(nullptr)) handlePluginListRequest(reader);
            return;

        case MessageType::VServerListRequest:
            if (hostAdminGate()) handleVServerListRequest(reader);
            return;
        case MessageType::VServerStop:
            if (hostAdminGate()) handleVServerStop(reader);
            return;
        case MessageType::VServerStart:
            if (hostAdminGate()) handleVServerStart(reader);
            return;

        default:
            if (Logger::instance().enabled(LogLevel::Trace)) {
                warnings_.logf(LogLevel::Trace, "Client " + std::to_string(clientId_),
                               "Client {}: unhandled message type {}", clientId_,
                               hexUpper(static_cast<uint16_t>(type), 4));
            }
            return;
    }
}

// ---------------------------------------------------------------- hello and ping

void ClientSession::handleHello(PacketReader& /*reader*/) {
    SessionState s = state_.load(std::memory_order_acquire);
    do {
        if (s == SessionState::Closed) return;
    } while (!state_.compare_exchange_weak(s, SessionState::HelloReceived, std::memory_order_acq_rel));

    PacketBuilder b(MessageType::HelloAck);
    b.writeLE<uint8_t>(1);
    if (auto vs = vserver()) {
        const VirtualServer::VSConfig cfg = vs->config();
        b.writeLE(cfg.id);
        b.writeStr(cfg.name);
        b.writeLE(static_cast<uint32_t>(cfg.maxSlots));
        b.writeLE(vs->slotUsage());
    } else {
        b.writeLE<uint16_t>(0);
        b.writeStr("Korrafin");
        b.writeLE<uint32_t>(32);
        b.writeLE<uint32_t>(0);
    }
    send(b);
    changeState(SessionState::HelloReceived, SessionState::AwaitingAuth);
}

void ClientSession::sendPing() {
    {
        std::lock_guard<std::mutex> lock(pingMutex_);
        if (pingOutstanding_) return;
        pingSentAt_ = std::chrono::steady_clock::now();
        pingOutstanding_ = true;
    }
    PacketBuilder b(MessageType::Ping);
    b.writeLE(lastPingMs());
    send(b);
}

void ClientSession::handlePong() {
    uint32_t rtt = 0;
    {
        std::lock_guard<std::mutex> lock(pingMutex_);
        if (!pingOutstanding_) return;
        const auto elapsed = std::chrono::steady_clock::now() - pingSentAt_;
        rtt = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
        pingOutstanding_ = false;
    }
    lastPingMs_.exchange(rtt, std::memory_order_relaxed);
    updateInfo([rtt](UserInfo& u) { u.pingMs = rtt; });
}

// ---------------------------------------------------------------- sending and closing

void ClientSession::send(const PacketBuilder& builder) { send(builder.finalise()); }

void ClientSession::send(const std::vector<uint8_t>& packet) {
    if (isClosed()) return;
    if (packet.size() > kMaxPacketBytes) {
        Logger::instance().logf(LogLevel::Warn, "Client {}: outgoing packet of {} bytes is too large – dropped",
                                clientId_, packet.size());
        return;
    }
    // Whatever part went out stays out: after a failure the connection is unusable.
    if (!out_->send(packet.data(), packet.size(), stateTagOf(packet.data(), packet.size()))) disconnect("");
}

void ClientSession::enqueue(const OutboundQueue::Bytes& packet, OutboundQueue::Place place) {
    if (isClosed() || !packet) return;
    if (packet->size() > kMaxPacketBytes) {
        Logger::instance().logf(LogLevel::Warn, "Client {}: outgoing packet of {} bytes is too large – dropped",
                                clientId_, packet->size());
        return;
    }
    if (!out_->enqueue(packet, stateTagOf(packet->data(), packet->size()), place)) disconnect("");
}

void ClientSession::flush() { out_->flush(); }

bool ClientSession::beginClose(const std::string& reason) {
    if (!markClosed()) return false;
    if (!reason.empty()) Logger::instance().logf(LogLevel::Info, "Disconnecting client {}: {}", clientId_, reason);
    return true;
}

void ClientSession::disconnect(const std::string& reason) {
    // The queue may have ended the connection itself (found on the poller
    // thread); its reason is the one to log then.
    if (!beginClose(reason.empty() ? failureText(out_->failure()) : reason)) return;
    out_->close();
}

void ClientSession::onDisconnected() {
    disconnect("");
    if (auto vs = vserver()) vs->removeSession(clientId_);
}

}  // namespace Korrafin
