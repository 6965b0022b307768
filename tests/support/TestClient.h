// The client end of a protocol connection for tests: writes raw bytes or
// packets, and reads and parses the packets the server sends. One thread
// uses one TestClient. Also: connected socket pairs (loopback TCP or a
// UNIX-domain pair) and raw packet bytes with any header fields.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/MessageType.h"
#include "protocol/PacketBuilder.h"
#include "protocol/PacketHeader.h"
#include "protocol/PacketReader.h"

namespace Korrafin::Test {

using namespace std::chrono_literals;

struct SocketPair {
    int server = -1;
    int client = -1;
};

// A connected pair over 127.0.0.1 (TCP_NODELAY on both ends).
inline SocketPair tcpPair() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listener);
        throw std::runtime_error("listen failed");
    }
    SocketPair p;
    p.client = ::socket(AF_INET, SOCK_STREAM, 0);
    if (p.client < 0 || ::connect(p.client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(listener);
        throw std::runtime_error("connect failed");
    }
    p.server = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    if (p.server < 0) throw std::runtime_error("accept failed");
    const int one = 1;
    ::setsockopt(p.server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(p.client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return p;
}

// A connected UNIX-domain stream pair: cheap, for tests that make many.
inline SocketPair unixPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair failed");
    return {fds[0], fds[1]};
}

// Packet bytes with any header values (for framing tests).
inline std::vector<uint8_t> rawPacket(uint16_t type, const std::vector<uint8_t>& payload,
                                      uint32_t magic = PacketHeader::kMagic, uint8_t version = PacketHeader::kVersion,
                                      std::optional<uint32_t> announcedLength = std::nullopt) {
    PacketHeader h;
    h.magic = magic;
    h.version = version;
    h.type = static_cast<MessageType>(type);
    h.length = announcedLength ? *announcedLength : static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> out(PacketHeader::kSize);
    h.write(out.data());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline std::vector<uint8_t> packet(MessageType type, const std::vector<uint8_t>& payload = {}) {
    return rawPacket(static_cast<uint16_t>(type), payload);
}

struct Packet {
    MessageType type{};
    std::vector<uint8_t> payload;

    PacketReader reader() const { return PacketReader{payload.data(), payload.size(), 0}; }
};

inline std::vector<MessageType> typesOf(const std::vector<Packet>& packets) {
    std::vector<MessageType> out;
    out.reserve(packets.size());
    for (const auto& p : packets) out.push_back(p.type);
    return out;
}

class TestClient {
public:
    explicit TestClient(int fd) : fd_(fd) {}
    ~TestClient() { close(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    int fd() const { return fd_; }

    void sendBytes(const uint8_t* data, std::size_t len) {
        while (len > 0) {
            const ssize_t n = ::send(fd_, data, len, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("TestClient: send failed");
            data += n;
            len -= static_cast<std::size_t>(n);
        }
    }
    void send(const std::vector<uint8_t>& bytes) { sendBytes(bytes.data(), bytes.size()); }
    void send(const PacketBuilder& b) { send(b.finalise()); }

    // The next packet, or nothing when none is complete within `timeout`
    // (or the connection ended).
    std::optional<Packet> next(std::chrono::milliseconds timeout = 3000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (queue_.empty()) {
            if (eof_) return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fill(left)) return std::nullopt;
        }
        Packet p = std::move(queue_.front());
        queue_.pop_front();
        return p;
    }

    // Every packet that arrives until the connection has been quiet for `quiet`.
    std::vector<Packet> drain(std::chrono::milliseconds quiet = 150ms) {
        std::vector<Packet> out;
        while (auto p = next(quiet)) out.push_back(std::move(*p));
        return out;
    }

    // Reads until the server ends the connection (packets that arrive first
    // stay queued). False when it is still open after `timeout`.
    bool waitClosed(std::chrono::milliseconds timeout = 3000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!eof_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0 || !fill(left)) return eof_;
        }
        return true;
    }

    bool closed() const { return eof_; }

    // Stops reading: the server's writes pile up in the socket buffers.
    void shrinkReceiveBuffer(int bytes) { ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    // One poll + recv; false on time-out.
    bool fill(std::chrono::milliseconds timeout) {
        pollfd pfd{fd_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
        if (r < 0 && errno == EINTR) return true;
        if (r <= 0) return false;
        uint8_t tmp[65536];
        const ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) {
            eof_ = true;
            return true;
        }
        buf_.insert(buf_.end(), tmp, tmp + n);
        parse();
        return true;
    }

    void parse() {
        std::size_t off = 0;
        while (buf_.size() - off >= PacketHeader::kSize) {
            const PacketHeader h = PacketHeader::parse(buf_.data() + off);
            if (h.check() != HeaderStatus::Ok) throw std::runtime_error("TestClient: server sent a bad header");
            if (buf_.size() - off - PacketHeader::kSize < h.length) break;
            const auto* p = buf_.data() + off + PacketHeader::kSize;
            queue_.push_back(Packet{h.type, std::vector<uint8_t>(p, p + h.length)});
            off += PacketHeader::kSize + h.length;
        }
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(off));
    }

    int fd_;
    bool eof_ = false;
    std::vector<uint8_t> buf_;
    std::deque<Packet> queue_;
};

}  // namespace Korrafin::Test
