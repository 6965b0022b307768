// A UDP socket for tests, bound to a loopback address, that sends voice
// datagrams and waits for what arrives. One thread uses one UdpPeer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Time.h"

namespace Korrafin::Test {

// Little-endian fields of a received datagram.
inline uint32_t le32(const std::vector<uint8_t>& d, std::size_t off) {
    return d[off] | (d[off + 1] << 8) | (d[off + 2] << 16) | (static_cast<uint32_t>(d[off + 3]) << 24);
}
inline uint16_t le16(const std::vector<uint8_t>& d, std::size_t off) {
    return static_cast<uint16_t>(d[off] | (d[off + 1] << 8));
}

// Voice datagram bytes: the 20-byte little-endian header, then the payload.
// `declaredLen` overrides the payload length field.
inline std::vector<uint8_t> voiceDatagram(uint32_t sender, uint16_t vsId, uint16_t channelId, uint32_t seq,
                                          const std::vector<uint8_t>& payload, uint16_t payloadType = 1,
                                          std::optional<uint16_t> declaredLen = std::nullopt) {
    std::vector<uint8_t> d(20 + payload.size());
    auto put = [&](std::size_t off, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) d[off + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(0, sender, 4);
    put(4, vsId, 2);
    put(6, channelId, 2);
    put(8, seq, 4);
    put(12, 0xA5A5A5A5u, 4);  // reserved: must come back unchanged
    put(16, payloadType, 2);
    put(18, declaredLen ? *declaredLen : static_cast<uint16_t>(payload.size()), 2);
    std::copy(payload.begin(), payload.end(), d.begin() + 20);
    return d;
}

class UdpPeer {
public:
    explicit UdpPeer(const std::string& bindIp = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error("UdpPeer: socket failed");
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, bindIp.c_str(), &a.sin_addr);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ::close(fd_);
            throw std::runtime_error("UdpPeer: bind failed");
        }
        ip_ = ntohl(a.sin_addr.s_addr);
        port_ = ntohs(a.sin_port);
    }
    ~UdpPeer() {
        if (fd_ >= 0) ::close(fd_);
    }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    uint32_t ip() const { return ip_; }  // host order
    uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    void sendTo(uint16_t port, const std::vector<uint8_t>& bytes, const std::string& ip = "127.0.0.1") const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
        to.sin_port = htons(port);
        if (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
            throw std::runtime_error("UdpPeer: sendto failed");
    }

    // The next datagram, or nothing within `timeout`.
    std::optional<std::vector<uint8_t>> receive(std::chrono::milliseconds timeout = kPatience) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
        std::vector<uint8_t> buf(65536);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        return buf;
    }

    // Every datagram that arrives until none came for `quiet`.
    std::vector<std::vector<uint8_t>> drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(150)) {
        std::vector<std::vector<uint8_t>> out;
        while (auto d = receive(quiet)) out.push_back(std::move(*d));
        return out;
    }

private:
    int fd_ = -1;
    uint32_t ip_ = 0;
    uint16_t port_ = 0;
};

}  // namespace Korrafin::Test
