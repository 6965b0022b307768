#include "server/UdpVoiceServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "core/Logger.h"
#include "protocol/ClientSession.h"
#include "server/Sockets.h"
#include "vserver/VirtualServer.h"

namespace Korrafin {

std::atomic<uint32_t> UdpVoiceServer::s_seq{0};

namespace {

constexpr int kSocketBufferBytes = 2 * 1024 * 1024;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Dotted IPv4 text to a host-order number; 0 when it is not one.
uint32_t ipv4Number(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return 0;
    return ntohl(a.s_addr);
}

constexpr uint64_t kKnown = uint64_t{1} << 48;

// A learned address in one word: ip, port and a bit that says it is known.
uint64_t packEndpoint(uint32_t ip, uint16_t port) { return kKnown | (uint64_t{ip} << 16) | port; }

sockaddr_in toSockaddr(uint64_t packed) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(static_cast<uint32_t>(packed >> 16));
    to.sin_port = htons(static_cast<uint16_t>(packed));
    return to;
}

// Datagrams received per call, and what one relay thread keeps for them.
constexpr unsigned kBatch = 64;
// A relay thread that has had nothing to do for this long lets go of its
// virtual servers before it sleeps; under load it keeps them.
constexpr int kLullMs = 1;
// Messages one sendmmsg takes at most (the kernel's UIO_MAXIOV).
constexpr std::size_t kMaxSendBatch = 1024;
// Start attempts on a port the system picks: another socket may take it
// between the test that it is free and the binds.
constexpr int kPickAttempts = 8;

// One datagram to one receiver, waiting for the batch's send call; the
// bytes stay where they were received.
struct Outgoing {
    sockaddr_in to;
    iovec iov;
};

// Every pending datagram with as few system calls as the kernel allows, then
// empties `out`. Failures are ignored: a receiver that cannot take it loses it.
void sendAll(int fd, std::vector<Outgoing>& out, std::vector<mmsghdr>& messages) {
    if (out.empty()) return;
    messages.resize(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        msghdr& h = messages[i].msg_hdr;
        h = msghdr{};
        h.msg_name = &out[i].to;
        h.msg_namelen = sizeof(sockaddr_in);
        h.msg_iov = &out[i].iov;
        h.msg_iovlen = 1;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t chunk = std::min(out.size() - done, kMaxSendBatch);
        const int n = ::sendmmsg(fd, messages.data() + done, static_cast<unsigned>(chunk), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            ++done;  // skip the one that failed; the rest may still go
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    out.clear();
}

}  // namespace

VoicePacketHeader VoicePacketHeader::parse(const uint8_t* p) {
    VoicePacketHeader h;
    h.senderId = le32(p);
    h.vsId = le16(p + 4);
    h.channelId = le16(p + 6);
    h.seq = le32(p + 8);
    h.reserved = le32(p + 12);
    h.payloadType = le16(p + 16);
    h.payloadLen = le16(p + 18);
    return h;
}

void VoicePacketHeader::write(uint8_t* p) const {
    put32(p, senderId);
    put16(p + 4, vsId);
    put16(p + 6, channelId);
    put32(p + 8, seq);
    put32(p + 12, reserved);
    put16(p + 16, payloadType);
    put16(p + 18, payloadLen);
}

// One client as every relay thread sees it. Made under endpointMutex_ for a
// member with a live session; `forgotten` is set there by forgetClient, after
// which the entry is out of the table and learns nothing more.
struct UdpVoiceServer::Peer {
    Peer(uint32_t ip, std::weak_ptr<ClientSession> s) : tcpIp(ip), session(std::move(s)) {}
    const uint32_t tcpIp;  // the session's TCP address, parsed once; 0 when it is none
    const std::weak_ptr<ClientSession> session;
    std::atomic<uint64_t> udp{0};  // packEndpoint of the last accepted source; 0 unknown
    bool forgotten = false;        // endpointMutex_
};


// What one relay thread keeps; never shared, so read without a lock.
struct UdpVoiceServer::RelayCache {
    // The members of one channel as the tree listed them; peers[i] belongs to
    // ids[i] and is empty for a member without a live session.
    struct View {
        uint64_t table = 0;       // tableVersion_ of the copy
        uint64_t membership = 0;  // the channel tree's version of the copy
        std::vector<uint32_t> ids;
        std::vector<std::shared_ptr<Peer>> peers;
    };

    uint64_t table = 0;  // tableVersion_ of `vservers`; 0: none held
    std::vector<std::pair<uint16_t, std::shared_ptr<VirtualServer>>> vservers;  // sorted by id
    std::unordered_map<uint32_t, View> views;                                  // by vsId << 16 | channelId
    std::vector<std::shared_ptr<ClientSession>> sessions;                      // refreshView's scratch
    std::vector<Outgoing> out;                                                 // relayed, not yet sent
    std::vector<mmsghdr> messages;                                             // sendAll's scratch

    // Holds no virtual server while the thread sleeps; the next datagram
    // copies them again.
    void letGo() {
        vservers.clear();
        table = 0;
    }
};


UdpVoiceServer::~UdpVoiceServer() {
    stop();
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    closeSockets();
}

// ---------------------------------------------------------------- lifecycle

unsigned UdpVoiceServer::machineThreads() {
    unsigned n = std::thread::hardware_concurrency();
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int allowed = CPU_COUNT(&set);
        if (allowed > 0 && (n == 0 || static_cast<unsigned>(allowed) < n)) n = static_cast<unsigned>(allowed);
    }
    return std::max(1u, n);
}

void UdpVoiceServer::closeSockets() {
    for (const int fd : fds_) ::close(fd);
    fds_.clear();
    fd_.store(-1);
}

bool UdpVoiceServer::start(uint16_t port, unsigned threads) {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    if (fd_.load() >= 0 || !threads_.empty()) return false;  // started once already
    const unsigned n = threads != 0 ? threads : machineThreads();

    // Several sockets share the port through SO_REUSEPORT, which would also
    // let a second relay of this user in beside them. A plain socket is bound
    // first to prove the port free (or to have one picked), then let go.
    const int attempts = n > 1 && port == 0 ? kPickAttempts : 1;
    for (int attempt = 0; attempt < attempts && fds_.empty(); ++attempt) {
        uint16_t bindPort = port;
        if (n > 1) {
            const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (probe < 0) {
                Logger::instance().logf(LogLevel::Error, "UDP: failed to create socket");
                return false;
            }
            const bool free = detail::bindAny(probe, port);
            sockaddr_in addr{};
            socklen_t len = sizeof addr;
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
            ::close(probe);
            if (!free) continue;
            bindPort = ntohs(addr.sin_port);
        }
        bool failed = false;
        for (unsigned i = 0; i < n && !failed; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                Logger::instance().logf(LogLevel::Error, "UDP: failed to create socket");
                closeSockets();
                return false;
            }
            if (n > 1) {
                const int one = 1;
                ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
            }
            fds_.push_back(fd);
            if (!detail::bindAny(fd, bindPort)) failed = true;
        }
        if (failed) closeSockets();
    }
    if (fds_.empty()) {
        Logger::instance().logf(LogLevel::Error, "UDP: bind failed on port {}", port);
        return false;
    }
    const int bufBytes = kSocketBufferBytes;
    for (const int fd : fds_) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufBytes, sizeof bufBytes);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufBytes, sizeof bufBytes);
    }

    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fds_.front(), reinterpret_cast<sockaddr*>(&addr), &len);
    localPort_.store(ntohs(addr.sin_port), std::memory_order_release);

    fd_.store(fds_.front());
    running_.store(true, std::memory_order_release);
    try {
        for (const int fd : fds_) threads_.emplace_back(&UdpVoiceServer::relayLoop, this, fd);
    } catch (const std::exception& e) {
        running_.store(false);
        for (const int fd : fds_) ::shutdown(fd, SHUT_RDWR);
        for (auto& t : threads_) t.join();
        Logger::instance().logf(LogLevel::Error, "UDP: cannot start the receive thread: {}", e.what());
        return false;
    }
    threadCount_.store(static_cast<unsigned>(threads_.size()), std::memory_order_release);
    Logger::instance().logf(LogLevel::Info, "UDP voice server listening on port {}", localPort());
    Logger::instance().logf(LogLevel::Debug, "UDP: {} relay threads", threads_.size());
    return true;
}

void UdpVoiceServer::stop() {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    if (running_.exchange(false)) {
        // Wakes the blocked receive calls; close alone would not.
        for (const int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : threads_) {
        if (t.joinable()) t.join();
    }
}

void UdpVoiceServer::registerVServer(uint16_t id, std::shared_ptr<VirtualServer> vs) {
    std::lock_guard<std::mutex> lock(vsMutex_);
    vservers_[id] = std::move(vs);
    tableVersion_.fetch_add(1, std::memory_order_release);
}

void UdpVoiceServer::unregisterVServer(uint16_t id) {
    std::shared_ptr<VirtualServer> gone;  // released after the lock
    std::lock_guard<std::mutex> lock(vsMutex_);
    const auto it = vservers_.find(id);
    if (it == vservers_.end()) return;
    gone = std::move(it->second);
    vservers_.erase(it);
    tableVersion_.fetch_add(1, std::memory_order_release);
}

void UdpVoiceServer::forgetClient(uint32_t clientId) {
    std::lock_guard<std::mutex> lock(endpointMutex_);
    const auto it = endpoints_.find(clientId);
    if (it == endpoints_.end()) return;
    // Copies in the relay threads may still hold the entry until they see
    // the new version: it neither receives nor learns from here on.
    it->second->forgotten = true;
    it->second->udp.store(0, std::memory_order_release);
    endpoints_.erase(it);
    tableVersion_.fetch_add(1, std::memory_order_release);
}

std::optional<UdpVoiceServer::Endpoint> UdpVoiceServer::endpointOf(uint32_t clientId) const {
    std::lock_guard<std::mutex> lock(endpointMutex_);
    const auto it = endpoints_.find(clientId);
    if (it == endpoints_.end()) return std::nullopt;
    const uint64_t packed = it->second->udp.load(std::memory_order_acquire);
    if (packed == 0) return std::nullopt;
    return Endpoint{static_cast<uint32_t>(packed >> 16), static_cast<uint16_t>(packed)};
}

// ---------------------------------------------------------------- relaying

void UdpVoiceServer::relayLoop(int fd) {
    RelayCache cache;
    std::vector<uint8_t> buffers(std::size_t{kBatch} * kMaxDatagram);
    std::vector<sockaddr_in> from(kBatch);
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    while (running_.load(std::memory_order_acquire)) {
        for (unsigned i = 0; i < kBatch; ++i) {
            iov[i] = iovec{buffers.data() + std::size_t{i} * kMaxDatagram, kMaxDatagram};
            msghdr& h = messages[i].msg_hdr;
            h = msghdr{};
            h.msg_name = &from[i];
            h.msg_namelen = sizeof(sockaddr_in);
            h.msg_iov = &iov[i];
            h.msg_iovlen = 1;
        }
        int n = ::recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Nothing waiting. A short lull keeps the copies; a longer one
            // sleeps in the kernel holding no virtual server.
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kLullMs) == 1) continue;
            cache.letGo();
            n = ::recvmmsg(fd, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
        }
        if (!running_.load(std::memory_order_acquire)) break;
        if (n < 0) {
            const int err = errno;
            Logger::instance().logf(LogLevel::Trace, "UDP: recvfrom error {}", err);
            // Only a socket that is gone ends the relay; anything else passes.
            if (err == EBADF || err == ENOTSOCK || err == EFAULT || err == EINVAL) break;
            if (err == ENOMEM || err == ENOBUFS) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        for (int i = 0; i < n; ++i) {
            const sockaddr_in& src = from[static_cast<std::size_t>(i)];
            if (src.sin_family != AF_INET) continue;
            try {
                relayInto(cache, static_cast<const uint8_t*>(iov[static_cast<std::size_t>(i)].iov_base),
                          messages[static_cast<std::size_t>(i)].msg_len, ntohl(src.sin_addr.s_addr),
                          ntohs(src.sin_port));
            } catch (const std::exception& e) {
                // Only growing a buffer can throw: this datagram is lost, the relay goes on.
                Logger::instance().logf(LogLevel::Warn, "UDP: datagram dropped: {}", e.what());
            }
        }
        // The whole batch at once, in the order it came: one sender's
        // datagrams keep their order to every receiver.
        sendAll(fd, cache.out, cache.messages);
    }
}

bool UdpVoiceServer::dispatch(const uint8_t* data, std::size_t len, uint32_t ip, uint16_t port) {
    RelayCache cache;
    const bool relayed = relayInto(cache, data, len, ip, port);
    sendAll(fd_.load(), cache.out, cache.messages);
    return relayed;
}

void UdpVoiceServer::syncVServers(RelayCache& cache) {
    const uint64_t version = tableVersion_.load(std::memory_order_acquire);
    if (version == cache.table) return;
    cache.vservers.clear();
    {
        std::lock_guard<std::mutex> lock(vsMutex_);
        for (const auto& [id, vs] : vservers_) cache.vservers.emplace_back(id, vs);
    }
    std::sort(cache.vservers.begin(), cache.vservers.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    // Read before the copy: a change in between makes the next datagram copy again.
    cache.table = version;
}

void UdpVoiceServer::refreshView(RelayCache& cache, VirtualServer& vs, uint16_t channelId, uint32_t key) {
    RelayCache::View& view = cache.views[key];
    view.table = cache.table;
    view.membership = vs.channelManager.usersIn(channelId, view.ids);
    cache.sessions.clear();
    for (const uint32_t id : view.ids) cache.sessions.push_back(vs.findSession(id));
    view.peers.assign(view.ids.size(), nullptr);
    {
        std::lock_guard<std::mutex> lock(endpointMutex_);
        for (std::size_t i = 0; i < view.ids.size(); ++i) {
            const auto& session = cache.sessions[i];
            // Checked under this lock: the host closes the session before it
            // forgets the client, so a closing session never gets an entry again.
            if (!session || session->isClosed()) continue;
            auto& peer = endpoints_[view.ids[i]];
            if (!peer) peer = std::make_shared<Peer>(ipv4Number(session->address()), session);
            view.peers[i] = peer;
        }
    }
    cache.sessions.clear();
}

bool UdpVoiceServer::relayInto(RelayCache& cache, const uint8_t* data, std::size_t len, uint32_t ip,
                               uint16_t port) {
    if (len < VoicePacketHeader::kSize) return false;
    const VoicePacketHeader h = VoicePacketHeader::parse(data);
    if (len - VoicePacketHeader::kSize < h.payloadLen) return false;
    if (h.senderId == 0 || h.senderId == kInjectSenderId) return false;

    syncVServers(cache);
    const auto vsIt = std::lower_bound(cache.vservers.begin(), cache.vservers.end(), h.vsId,
                                       [](const auto& entry, uint16_t id) { return entry.first < id; });
    if (vsIt == cache.vservers.end() || vsIt->first != h.vsId) return false;
    VirtualServer& vs = *vsIt->second;

    const uint32_t key = (uint32_t{h.vsId} << 16) | h.channelId;
    const uint64_t membership = vs.channelManager.membershipVersion();
    auto viewIt = cache.views.find(key);
    if (viewIt == cache.views.end() || viewIt->second.table != cache.table ||
        viewIt->second.membership != membership) {
        refreshView(cache, vs, h.channelId, key);
        viewIt = cache.views.find(key);
    }
    const RelayCache::View& view = viewIt->second;

    const auto self = std::find(view.ids.begin(), view.ids.end(), h.senderId);
    if (self == view.ids.end()) return false;
    Peer* const sender = view.peers[static_cast<std::size_t>(self - view.ids.begin())].get();
    if (!sender) return false;
    const auto session = sender->session.lock();
    if (!session || session->isClosed()) return false;
    if (sender->tcpIp == 0 || sender->tcpIp != ip) return false;
    const uint64_t source = packEndpoint(ip, port);
    if (sender->udp.load(std::memory_order_acquire) != source) {
        std::lock_guard<std::mutex> lock(endpointMutex_);
        // As above: once forgotten, or closing, nothing is learned again.
        if (sender->forgotten || session->isClosed()) return false;
        sender->udp.store(source, std::memory_order_release);
    }

    const iovec iov{const_cast<uint8_t*>(data), len};
    for (std::size_t i = 0; i < view.ids.size(); ++i) {
        if (view.ids[i] == h.senderId || !view.peers[i]) continue;
        const uint64_t to = view.peers[i]->udp.load(std::memory_order_acquire);
        if (to != 0) cache.out.push_back(Outgoing{toSockaddr(to), iov});
    }
    return true;
}

// ---------------------------------------------------------------- injection

void UdpVoiceServer::injectPcm(uint16_t vsId, uint16_t channelId, const int16_t* samples, int count) {
    if (!samples || count <= 0) return;
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(int16_t);  // no overflow: count > 0
    if (bytes > kMaxInjectBytes) {
        Logger::instance().logf(LogLevel::Warn, "UDP: injected frame of {} bytes refused", bytes);
        return;
    }
    if (!isRunning()) return;

    std::shared_ptr<VirtualServer> vs;
    {
        std::lock_guard<std::mutex> lock(vsMutex_);
        const auto it = vservers_.find(vsId);
        if (it == vservers_.end()) return;
        vs = it->second;
    }
    // Per thread, as in dispatch: an injecting thread sends frame after frame.
    thread_local std::vector<uint32_t> members;
    thread_local std::vector<uint8_t> datagram;
    thread_local std::vector<Outgoing> out;
    thread_local std::vector<mmsghdr> messages;
    vs->channelManager.usersIn(channelId, members);
    if (members.empty()) return;

    datagram.resize(VoicePacketHeader::kSize + bytes);
    VoicePacketHeader h;
    h.senderId = kInjectSenderId;
    h.vsId = vsId;
    h.channelId = channelId;
    h.seq = s_seq.fetch_add(1);
    h.reserved = 0;
    h.payloadType = kPcmPayloadType;
    h.payloadLen = static_cast<uint16_t>(bytes);
    h.write(datagram.data());
    std::memcpy(datagram.data() + VoicePacketHeader::kSize, samples, bytes);

    out.clear();
    const iovec iov{datagram.data(), datagram.size()};
    {
        std::lock_guard<std::mutex> lock(endpointMutex_);
        for (const uint32_t member : members) {
            const auto peer = endpoints_.find(member);
            if (peer == endpoints_.end()) continue;
            const uint64_t to = peer->second->udp.load(std::memory_order_acquire);
            if (to != 0) out.push_back(Outgoing{toSockaddr(to), iov});
        }
    }
    sendAll(fd_.load(), out, messages);
}

}  // namespace Korrafin
