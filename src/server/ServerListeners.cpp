// Serving: the accept loops, the reader thread of every connection, the idle
// workers, and stop.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <system_error>

#include "core/Logger.h"
#include "core/Socket.h"
#include "protocol/ClientSession.h"
#include "server/Server.h"

namespace Korrafin {

namespace {

constexpr std::size_t kReadChunk = 8192;
constexpr auto kReaderWaitRound = std::chrono::milliseconds(50);

// The client id of the connection whose reader thread this is (0 elsewhere),
// so that a reader never waits for itself.
thread_local uint32_t t_readerClientId = 0;

}  // namespace

// ---------------------------------------------------------------- run and stop

void Server::run() {
    running_.store(true);
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        for (auto& [id, r] : resources_) startVsAcceptLocked(id, r);
    }

    const int n = std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
    startWorkers(n);
    Logger::instance().logf(LogLevel::Info, "Started {} worker threads", n);

    // A stop that came while starting up (a signal during init) is honoured now.
    if (stopRequested_.load()) stop();

    acceptLoop();

    // The workers end once stop has cleared the flag; the listener is closed
    // only after stop is through with it, so it never shuts a reused number.
    for (auto& w : workers_) {
        if (w.joinable()) w.join();
    }
    {
        std::lock_guard<std::mutex> serial(stopMutex_);
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
    }
    Logger::instance().logf(LogLevel::Info, "Server shutdown complete");
}

void Server::stop() {
    // Seen by run when this call finds nothing running yet.
    stopRequested_.store(true);
    std::lock_guard<std::mutex> serial(stopMutex_);
    if (!running_.exchange(false)) return;
    Logger::instance().logf(LogLevel::Info, "Server stopping...");

    // The main loop runs on the thread that called run: woken here, it ends
    // and run closes the socket.
    Net::wakeListener(listenFd_);

    closeVsListeners();

    // The idle workers wait for this; taking their mutex orders the cleared
    // flag before their next look at it, so none misses the wake.
    {
        std::lock_guard<std::mutex> idle(workersMutex_);
    }
    workersCv_.notify_all();

    udp_.stop();
    if (webPanel_) webPanel_->stop();
    // Aborts its requests in flight; the unregister requests go out in the background.
    directory_.stop();
}

void Server::startWorkers(int n) {
    for (int i = 0; i < n; ++i) workers_.emplace_back(&Server::workerLoop, this);
}

void Server::workerLoop() {
    // Nothing to do until stop: sleep without waking.
    std::unique_lock<std::mutex> lock(workersMutex_);
    workersCv_.wait(lock, [this] { return !running_.load(); });
}

// ---------------------------------------------------------------- accept loops

void Server::acceptLoop() {
    while (running_.load()) {
        sockaddr_in peer{};
        bool failed = false;
        const int fd = Net::acceptOne(listenFd_, running_, peer, failed);
        if (fd < 0) {
            if (failed && running_.load()) Logger::instance().logf(LogLevel::Warn, "accept() failed");
            break;
        }
        try {
            const std::string address = Net::ipv4Text(peer.sin_addr.s_addr);
            PerKeyLimit::Slot slot = takeLoginSlot(fd, address);
            if (!slot) continue;
            Logger::instance().logf(LogLevel::Info, "New connection from {}:{}", address, ntohs(peer.sin_port));
            onClientConnected(fd, address, std::move(slot));
        } catch (const std::exception& e) {
            // Only this connection is lost (handOver let go of it); the listener goes on.
            Logger::instance().logf(LogLevel::Warn, "Connection not taken: {}", e.what());
        }
    }
}

void Server::vsAcceptLoop(uint16_t id, int listenFd) {
    while (running_.load()) {
        sockaddr_in peer{};
        bool failed = false;
        const int fd = Net::acceptOne(listenFd, running_, peer, failed);
        if (fd < 0) return;
        auto vs = getVServer(id);
        if (!vs || !running_.load()) {
            ::close(fd);
            return;
        }
        try {
            const std::string address = Net::ipv4Text(peer.sin_addr.s_addr);
            PerKeyLimit::Slot slot = takeLoginSlot(fd, address);
            if (!slot) continue;
            Logger::instance().logf(LogLevel::Info, "VS {} new connection from {}", id, address);
            onClientConnectedToVS(fd, address, std::move(vs), std::move(slot));
        } catch (const std::exception& e) {
            Logger::instance().logf(LogLevel::Warn, "Connection not taken: {}", e.what());
        }
    }
}

// ---------------------------------------------------------------- connections

uint32_t Server::nextClientId() { return takeNonZeroId(clientIdCounter_); }

uint32_t Server::takeNonZeroId(std::atomic<uint32_t>& counter) {
    for (;;) {
        const uint32_t id = counter.fetch_add(1);
        if (id != 0) return id;
    }
}

PerKeyLimit::Slot Server::takeLoginSlot(int fd, const std::string& address) {
    PerKeyLimit::Slot slot = pendingLogins_.tryAcquire(address);
    if (!slot) {
        ::close(fd);
        refusedAtAccept_.logf(LogLevel::Warn, "Connection refusals",
                              "Connection from {} refused: {} connections from it wait for their login", address,
                              kMaxPendingLoginsPerAddress);
    }
    return slot;
}

void Server::onClientConnected(int fd, const std::string& address, PerKeyLimit::Slot loginSlot) {
    std::shared_ptr<VirtualServer> first;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        if (!vservers_.empty()) first = vservers_.begin()->second;
    }
    handOver(fd, address, std::move(first), std::move(loginSlot));
}

void Server::onClientConnectedToVS(int fd, const std::string& address, std::shared_ptr<VirtualServer> vs,
                                   PerKeyLimit::Slot loginSlot) {
    handOver(fd, address, std::move(vs), std::move(loginSlot));
}

void Server::handOver(int fd, const std::string& address, std::shared_ptr<VirtualServer> vs,
                      PerKeyLimit::Slot loginSlot) {
    const uint32_t id = nextClientId();
    std::shared_ptr<ClientSession> session;
    try {
        session = std::make_shared<ClientSession>(fd, id, address);
    } catch (...) {
        ::close(fd);  // no session took it over
        throw;
    }
    session->setHost(this);
    session->holdLoginSlot(std::move(loginSlot));
    session->setCredentialGuard(credentialGuard_);

    // Counted before it is admitted, so that removing its virtual server
    // waits for this connection as well.
    {
        std::lock_guard<std::mutex> lock(readersMutex_);
        readers_[id] = Reader{session, vs.get()};
    }
    // From here on the connection is counted: whatever fails ends it through
    // endConnection, so the count never keeps a connection that has no thread.
    try {
        if (vs) {
            if (!vs->isRunning()) {
                // Paused: nobody gets in, as when it is full.
                Logger::instance().logf(LogLevel::Warn, "[VServer {}] Rejected client {} – server paused", vs->id(),
                                        id);
                session->disconnect("Server is paused");
            } else if (vs->acceptSession(session) && !vs->isRunning()) {
                // Paused while it was admitted: the pause may have missed it.
                session->disconnect("Server is paused");
            }
            currentUsers_.exchange(static_cast<int>(vs->slotUsage()));
        }
        vs.reset();
        std::thread(&Server::readerMain, this, session).detach();
    } catch (const std::system_error& e) {
        // Only this connection is lost; the listener goes on.
        Logger::instance().logf(LogLevel::Warn, "Client {}: cannot start a reader thread: {}", id, e.what());
        endConnection(std::move(session));
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Warn, "Client {}: connection not taken: {}", id, e.what());
        endConnection(std::move(session));
    }
}

void Server::readerMain(std::shared_ptr<ClientSession> session) {
    t_readerClientId = session->clientId();
    const int fd = session->fd();
    uint8_t buf[kReadChunk];
    try {
        for (;;) {
            // Until its first login a connection has a deadline, so that
            // silence (or chatter without a login) cannot hold a slot.
            if (!session->hasLoggedIn() && (!Net::waitReadable(fd, session->loginDeadline()) ||
                                            std::chrono::steady_clock::now() >= session->loginDeadline())) {
                session->disconnect("Login timed out");
                break;
            }
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            session->onDataReceived(buf, static_cast<std::size_t>(n));
        }
    } catch (const std::exception& e) {
        // Framing catches per packet; what still comes here (memory) ends
        // this connection only.
        Logger::instance().logf(LogLevel::Warn, "Client {}: connection ended: {}", session->clientId(), e.what());
    }
    endConnection(std::move(session));
}

void Server::endConnection(std::shared_ptr<ClientSession> session) {
    const uint32_t id = session->clientId();
    // Closed first: from here on the relay learns nothing more of it.
    session->disconnect("");
    session.reset();

    try {
        onClientDisconnected(id);
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Warn, "Client {}: removal incomplete: {}", id, e.what());
    }
    udp_.forgetClient(id);

    // The last touch of this Server by this thread; it happens whatever
    // failed above, or the host would wait for this thread for ever.
    std::lock_guard<std::mutex> lock(readersMutex_);
    readers_.erase(id);
    readersCv_.notify_all();
}

void Server::onClientDisconnected(uint32_t clientId) {
    // Snapshot under the lock, then work without it: the removal sends.
    const auto vservers = allVServers();
    uint64_t users = 0;
    for (const auto& vs : vservers) {
        vs->removeSession(clientId);
        users += vs->slotUsage();
    }
    currentUsers_.exchange(static_cast<int>(users));
}

// ---------------------------------------------------------------- waiting for readers

std::size_t Server::liveReaderCount() const {
    std::lock_guard<std::mutex> lock(readersMutex_);
    return readers_.size();
}

void Server::waitForReaders(const VirtualServer* vs) {
    const uint32_t self = t_readerClientId;
    std::unique_lock<std::mutex> lock(readersMutex_);
    for (;;) {
        std::vector<std::shared_ptr<ClientSession>> live;
        bool any = false;
        for (const auto& [id, r] : readers_) {
            if (id == self || (vs && r.vs != vs)) continue;
            any = true;
            if (auto s = r.session.lock()) live.push_back(std::move(s));
        }
        if (!any) return;
        // Again each round: a connection admitted after the server stopped
        // must not keep the wait going.
        lock.unlock();
        for (const auto& s : live) s->disconnect("Server shutting down");
        live.clear();
        lock.lock();
        readersCv_.wait_for(lock, kReaderWaitRound);
    }
}

void Server::disconnectAllAndWait() {
    for (const auto& vs : allVServers()) vs->stop();
    waitForReaders(nullptr);
}

}  // namespace Korrafin
