#include "server/UdpVoiceServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

sockaddr_in toSockaddr(const UdpVoiceServer::Endpoint& e) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(e.ip);
    to.sin_port = htons(e.port);
    return to;
}

// One datagram to every target with as few system calls as the kernel
// allows. Failures are ignored: a receiver that cannot take it loses it.
void sendToAll(int fd, const uint8_t* data, std::size_t len, std::vector<sockaddr_in>& targets,
               std::vector<mmsghdr>& messages) {
    if (targets.empty()) return;
    iovec iov{const_cast<uint8_t*>(data), len};
    messages.resize(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
        msghdr& h = messages[i].msg_hdr;
        h = msghdr{};
        h.msg_name = &targets[i];
        h.msg_namelen = sizeof(sockaddr_in);
        h.msg_iov = &iov;
        h.msg_iovlen = 1;
    }
    std::size_t done = 0;
    while (done < messages.size()) {
        const int n = ::sendmmsg(fd, messages.data() + done, static_cast<unsigned>(messages.size() - done),
                                 MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            ++done;  // skip the one that failed; the rest may still go
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
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

UdpVoiceServer::~UdpVoiceServer() {
    stop();
    const int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

// ---------------------------------------------------------------- lifecycle

bool UdpVoiceServer::start(uint16_t port) {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    if (fd_.load() >= 0) return false;  // started once already

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Logger::instance().logf(LogLevel::Error, "UDP: failed to create socket");
        return false;
    }
    if (!detail::bindAny(fd, port)) {
        Logger::instance().logf(LogLevel::Error, "UDP: bind failed on port {}", port);
        ::close(fd);
        return false;
    }
    const int bufBytes = kSocketBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufBytes, sizeof bufBytes);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufBytes, sizeof bufBytes);

    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    localPort_.store(ntohs(addr.sin_port), std::memory_order_release);

    fd_.store(fd);
    running_.store(true, std::memory_order_release);
    try {
        receiveThread_ = std::thread(&UdpVoiceServer::receiveLoop, this);
    } catch (const std::exception& e) {
        running_.store(false);
        Logger::instance().logf(LogLevel::Error, "UDP: cannot start the receive thread: {}", e.what());
        return false;
    }
    Logger::instance().logf(LogLevel::Info, "UDP voice server listening on port {}", localPort());
    return true;
}

void UdpVoiceServer::stop() {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    if (!running_.exchange(false)) {
        if (receiveThread_.joinable()) receiveThread_.join();
        return;
    }
    // Wakes the blocked recvfrom; close alone would not.
    const int fd = fd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (receiveThread_.joinable()) receiveThread_.join();
}

void UdpVoiceServer::registerVServer(uint16_t id, std::shared_ptr<VirtualServer> vs) {
    std::lock_guard<std::mutex> lock(vsMutex_);
    vservers_[id] = std::move(vs);
}

void UdpVoiceServer::unregisterVServer(uint16_t id) {
    std::shared_ptr<VirtualServer> gone;  // released after the lock
    std::lock_guard<std::mutex> lock(vsMutex_);
    const auto it = vservers_.find(id);
    if (it == vservers_.end()) return;
    gone = std::move(it->second);
    vservers_.erase(it);
}

void UdpVoiceServer::forgetClient(uint32_t clientId) {
    std::lock_guard<std::mutex> lock(endpointMutex_);
    endpoints_.erase(clientId);
}

std::optional<UdpVoiceServer::Endpoint> UdpVoiceServer::endpointOf(uint32_t clientId) const {
    std::lock_guard<std::mutex> lock(endpointMutex_);
    const auto it = endpoints_.find(clientId);
    if (it == endpoints_.end()) return std::nullopt;
    return it->second.udp;
}

// ---------------------------------------------------------------- receiving

void UdpVoiceServer::receiveLoop() {
    const int fd = fd_.load();
    uint8_t buf[kMaxDatagram];
    while (running_.load(std::memory_order_acquire)) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (!running_.load(std::memory_order_acquire)) break;
        if (n < 0) {
            const int err = errno;
            Logger::instance().logf(LogLevel::Trace, "UDP: recvfrom error {}", err);
            // Only a socket that is gone ends the relay; anything else passes.
            if (err == EBADF || err == ENOTSOCK || err == EFAULT || err == EINVAL) break;
            if (err == ENOMEM || err == ENOBUFS) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (from.sin_family != AF_INET) continue;
        try {
            dispatch(buf, static_cast<std::size_t>(n), ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
        } catch (const std::exception& e) {
            // Only growing a buffer can throw: this datagram is lost, the relay goes on.
            Logger::instance().logf(LogLevel::Warn, "UDP: datagram dropped: {}", e.what());
        }
    }
}

bool UdpVoiceServer::dispatch(const uint8_t* data, std::size_t len, uint32_t ip, uint16_t port) {
    if (len < VoicePacketHeader::kSize) return false;
    const VoicePacketHeader h = VoicePacketHeader::parse(data);
    if (len - VoicePacketHeader::kSize < h.payloadLen) return false;
    if (h.senderId == 0 || h.senderId == kInjectSenderId) return false;

    std::shared_ptr<VirtualServer> vs;
    {
        std::lock_guard<std::mutex> lock(vsMutex_);
        const auto it = vservers_.find(h.vsId);
        if (it == vservers_.end()) return false;
        vs = it->second;
    }
    const auto session = vs->findSession(h.senderId);
    if (!session) return false;

    // Per thread, so dispatch stays reentrant and allocates only while they grow.
    thread_local std::vector<uint32_t> members;
    thread_local std::vector<sockaddr_in> targets;
    thread_local std::vector<mmsghdr> messages;
    vs->channelManager.usersIn(h.channelId, members);
    if (std::find(members.begin(), members.end(), h.senderId) == members.end()) return false;

    targets.clear();
    {
        std::lock_guard<std::mutex> lock(endpointMutex_);
        // Checked under this lock: the host closes the session before it
        // forgets the client, so a closing session is never learned again.
        if (session->isClosed()) return false;
        auto it = endpoints_.find(h.senderId);
        const uint32_t tcpIp = it != endpoints_.end() ? it->second.tcpIp : ipv4Number(session->address());
        if (tcpIp == 0 || tcpIp != ip) return false;
        if (it == endpoints_.end()) it = endpoints_.emplace(h.senderId, Peer{tcpIp, {}, {}}).first;
        Peer& sender = it->second;
        if (sender.to.sin_family == 0 || sender.udp.ip != ip || sender.udp.port != port) {
            sender.udp = Endpoint{ip, port};
            sender.to = toSockaddr(sender.udp);
        }

        for (const uint32_t member : members) {
            if (member == h.senderId) continue;
            const auto peer = endpoints_.find(member);
            if (peer != endpoints_.end()) targets.push_back(peer->second.to);
        }
    }

    sendToAll(fd_.load(), data, len, targets, messages);
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
    thread_local std::vector<sockaddr_in> targets;
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

    targets.clear();
    {
        std::lock_guard<std::mutex> lock(endpointMutex_);
        for (const uint32_t member : members) {
            const auto peer = endpoints_.find(member);
            if (peer != endpoints_.end()) targets.push_back(peer->second.to);
        }
    }
    sendToAll(fd_.load(), datagram.data(), datagram.size(), targets, messages);
}

}  // namespace Korrafin
