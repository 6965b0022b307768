#include "botapi/BotApiServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "core/JsonText.h"
#include "core/Logger.h"
#include "core/Socket.h"
#include "protocol/PacketBuilder.h"

namespace Korrafin {

namespace {

constexpr int kListenBacklog = 4096;
// A failing poll (out of memory) is retried after this long, not at once.
constexpr auto kPollPause = std::chrono::milliseconds(50);
// The one key of a bound in all.
const std::string kAll{};

}  // namespace

BotApiServer::BotApiServer(uint16_t port) : port_(port) {}

BotApiServer::~BotApiServer() {
    stop();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

// ---------------------------------------------------------------- start and stop

bool BotApiServer::start() {
    Net::ListenStep failed;
    listenFd_ = Net::openTcpListener(port_, kListenBacklog, failed);
    if (listenFd_ < 0) {
        switch (failed) {
            case Net::ListenStep::Socket:
                Logger::instance().logf(LogLevel::Error, "[BotAPI] Failed to create socket");
                break;
            case Net::ListenStep::Bind:
                Logger::instance().logf(LogLevel::Error, "[BotAPI] Bind failed on port {}", port_);
                break;
            default:
                Logger::instance().logf(LogLevel::Error, "[BotAPI] Listen failed");
                break;
        }
        return false;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        Logger::instance().logf(LogLevel::Error, "[BotAPI] Failed to create socket");
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    running_.store(true);
    try {
        acceptThread_ = std::thread(&BotApiServer::acceptLoop, this);
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Error, "[BotAPI] Cannot start the accept thread: {}", e.what());
        running_.store(false);
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    Logger::instance().logf(LogLevel::Info, "[BotAPI] Bot API server listening on port {}", port_);
    return true;
}

void BotApiServer::stop() {
    std::lock_guard<std::mutex> serial(stopMutex_);
    running_.store(false);
    Net::wakeListener(listenFd_);
    wakeAcceptor();
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;

    std::unordered_map<uint64_t, std::shared_ptr<BotSession>> all;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        all.swap(sessions_);
    }
    // All woken first, so their threads end side by side; joined without the
    // table's mutex, which a command's event may still take.
    for (const auto& [id, s] : all) s->close();
    for (const auto& [id, s] : all) s->join();
    all.clear();
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        ended_.clear();
    }
    connectionLines_.flush(LogLevel::Info, kConnectionLines);
    refusals_.flush(LogLevel::Warn, kRefusals);
}

void BotApiServer::wakeAcceptor() const {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    // A full counter already wakes the poll.
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

std::size_t BotApiServer::sessionCount() const {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    return sessions_.size();
}

// ---------------------------------------------------------------- accepting

void BotApiServer::acceptLoop() {
    while (running_.load()) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno != EINTR) std::this_thread::sleep_for(kPollPause);
            continue;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        reapEnded();
        if (!running_.load()) break;
        if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;

        sockaddr_in peer{};
        bool failed = false;
        const int fd = Net::acceptOne(listenFd_, running_, peer, failed);
        if (fd < 0) {
            if (failed && running_.load()) Logger::instance().logf(LogLevel::Warn, "[BotAPI] accept() failed");
            break;
        }
        try {
            admit(fd, Net::ipv4Text(peer.sin_addr.s_addr));
        } catch (const std::exception& e) {
            // admit either owns the socket or has closed it; only this one is lost.
            Logger::instance().logf(LogLevel::Warn, "[BotAPI] Connection not taken: {}", e.what());
        }
    }
}

void BotApiServer::admit(int fd, const std::string& peer) {
    // Strangers wait in places of their own: by address and in all, apart
    // from the logged-in bots, so they never keep a bot with a token out.
    enum class Refusal { None, LoggedIn, Address, Waiting };
    Refusal refusal = Refusal::None;
    PerKeyLimit::Slot byAddress;
    PerKeyLimit::Slot inAll;
    try {
        if (loggedIn_.held(kAll) >= BotLimits::kMaxSessions) {
            refusal = Refusal::LoggedIn;
        } else if (!(byAddress = waitingPerAddress_.tryAcquire(peer))) {
            refusal = Refusal::Address;
        } else if (!(inAll = waitingInAll_.tryAcquire(kAll))) {
            refusal = Refusal::Waiting;
        }
    } catch (...) {
        ::close(fd);  // out of memory before any session took it over
        throw;
    }
    switch (refusal) {
        case Refusal::None:
            break;
        case Refusal::LoggedIn:
            ::close(fd);
            refusedForLoggedIn();
            return;
        case Refusal::Address:
            ::close(fd);
            refusals_.logf(LogLevel::Warn, kRefusals,
                           "[BotAPI] Connection from {} refused: {} connections from it wait for their log-in", peer,
                           BotLimits::kMaxWaitingPerAddress);
            return;
        case Refusal::Waiting:
            ::close(fd);
            refusals_.logf(LogLevel::Warn, kRefusals, "[BotAPI] Connection refused: {} connections wait for their log-in",
                           BotLimits::kMaxWaiting);
            return;
    }

    const uint64_t id = nextSessionId_.fetch_add(1);
    std::shared_ptr<BotSession> session;
    try {
        session = std::make_shared<BotSession>(fd, id, peer, virtualServer, db, *this, sendLimits);
    } catch (const std::exception& e) {
        ::close(fd);  // no session took it over
        Logger::instance().logf(LogLevel::Warn, "[BotAPI] Bot session {} not taken: {}", id, e.what());
        return;
    }
    session->holdWaitingPlaces(std::move(byAddress), std::move(inAll));
    // In the table before its thread runs, so its end always finds it there.
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        sessions_.emplace(id, session);
    }
    try {
        session->start(startThread, authDeadline);
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Warn, "[BotAPI] Bot session {} closed: cannot start its thread: {}", id,
                                e.what());
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        sessions_.erase(id);
        return;  // the session goes with `session`, closing its socket
    }
    connectionLines_.logfFrom(peer, LogLevel::Info, kConnectionLines, "[BotAPI] New bot connection (session {})", id);
}

PerKeyLimit::Slot BotApiServer::takeLoggedInPlace() { return loggedIn_.tryAcquire(kAll); }

void BotApiServer::refusedForLoggedIn() {
    refusals_.logf(LogLevel::Warn, kRefusals, "[BotAPI] Connection refused: {} bot sessions already",
                   BotLimits::kMaxSessions);
}

void BotApiServer::sessionEnded(uint64_t sessionId) {
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        ended_.push_back(sessionId);
    }
    wakeAcceptor();
}

void BotApiServer::reapEnded() {
    std::vector<std::shared_ptr<BotSession>> done;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        for (const uint64_t id : ended_) {
            if (const auto it = sessions_.find(id); it != sessions_.end()) {
                done.push_back(std::move(it->second));
                sessions_.erase(it);
            }
        }
        ended_.clear();
    }
    // Each thread is past its last act; the sockets close as `done` goes.
    for (const auto& s : done) s->join();
}

// ---------------------------------------------------------------- tokens

void BotApiServer::endSessionsForToken(int64_t tokenId) {
    std::vector<std::shared_ptr<BotSession>> hit;
    {
        std::lock_guard<std::mutex> token(tokenMutex_);
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        for (const auto& [id, s] : sessions_) {
            if (s->isAuthenticated() && s->botId() == tokenId) hit.push_back(s);
        }
    }
    for (const auto& s : hit) s->close();
    if (!hit.empty()) {
        Logger::instance().logf(LogLevel::Info, "[BotAPI] Bot token {} revoked: {} session(s) ended", tokenId,
                                hit.size());
    }
}

// ---------------------------------------------------------------- events

void BotApiServer::broadcastEvent(BotEventType type, const std::string& json) {
    std::vector<uint8_t> frame;
    try {
        PacketBuilder b(MessageType::BotEvent);
        b.writeLE(type);
        b.writeStr(json);
        frame = b.finalise();
    } catch (const std::exception&) {
        Logger::instance().logf(LogLevel::Warn, "[BotAPI] Event {} too long to send ({} bytes)",
                                static_cast<unsigned>(type), json.size());
        return;
    }
    std::vector<std::shared_ptr<BotSession>> to;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        to.reserve(sessions_.size());
        for (const auto& [id, s] : sessions_) {
            if (s->isAuthenticated() && s->isRunning()) to.push_back(s);
        }
    }
    for (const auto& s : to) s->send(frame);
}

void BotApiServer::onUserJoin(uint32_t clientId, const std::string& nickname, uint16_t channelId) {
    broadcastEvent(BotEventType::UserJoin, Json::object({Json::num("clientId", clientId),
                                                         Json::str("nickname", nickname),
                                                         Json::num("channelId", channelId)}));
}

void BotApiServer::onUserLeave(uint32_t clientId, const std::string& nickname) {
    broadcastEvent(BotEventType::UserLeave,
                   Json::object({Json::num("clientId", clientId), Json::str("nickname", nickname)}));
}

void BotApiServer::onChatMessage(uint32_t clientId, const std::string& nickname, const std::string& text) {
    broadcastEvent(BotEventType::ChatMessage, Json::object({Json::num("clientId", clientId),
                                                            Json::str("nickname", nickname),
                                                            Json::str("text", text)}));
}

void BotApiServer::onChannelCreated(uint16_t channelId, const std::string& name, uint16_t parentId) {
    broadcastEvent(BotEventType::ChannelCreated, Json::object({Json::num("channelId", channelId),
                                                               Json::str("name", name),
                                                               Json::num("parentId", parentId)}));
}

void BotApiServer::onChannelDeleted(uint16_t channelId) {
    broadcastEvent(BotEventType::ChannelDeleted, Json::object({Json::num("channelId", channelId)}));
}

void BotApiServer::onUserMoved(uint32_t clientId, uint16_t fromChannel, uint16_t toChannel) {
    broadcastEvent(BotEventType::UserMoved, Json::object({Json::num("clientId", clientId),
                                                          Json::num("fromChannelId", fromChannel),
                                                          Json::num("toChannelId", toChannel)}));
}

}  // namespace Korrafin
