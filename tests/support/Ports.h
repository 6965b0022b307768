// Free loopback ports for tests, and a listener that holds one taken.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>

namespace Korrafin::Test {

// The lowest port the kernel hands out to outgoing connections and to
// bind(0); ports below it are taken only by those who name them.
inline uint16_t ephemeralLow() {
    unsigned low = 32768, high = 60999;
    if (std::FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(f, "%u %u", &low, &high) != 2) low = 32768;
        std::fclose(f);
    }
    return static_cast<uint16_t>(std::clamp(low, 4096u, 65535u));
}

// A port that was free a moment ago (TCP or UDP), never one this process was
// given before, and below the ephemeral range: a port picked by bind(0) could
// be handed to an outgoing connection of the test before its server binds it.
inline uint16_t freePort(int type = SOCK_STREAM) {
    static std::mutex mutex;
    static std::set<uint16_t> given;
    static std::mt19937 pick{std::random_device{}()};
    const uint16_t high = ephemeralLow();
    const uint16_t low = static_cast<uint16_t>(high > 13024 ? high - 12000 : 1024);
    std::lock_guard<std::mutex> lock(mutex);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto port = static_cast<uint16_t>(std::uniform_int_distribution<unsigned>(low, high - 1u)(pick));
        if (given.count(port)) continue;
        const int fd = ::socket(AF_INET, type, 0);
        if (fd < 0) throw std::runtime_error("freePort: socket failed");
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (!free) continue;
        given.insert(port);
        return port;
    }
    throw std::runtime_error("freePort: no free port");
}

// Holds a port taken (a listening TCP socket or a bound UDP socket on
// 0.0.0.0) until it goes.
class PortHolder {
public:
    explicit PortHolder(uint16_t port, int type = SOCK_STREAM) {
        fd_ = ::socket(AF_INET, type, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            (type == SOCK_STREAM && ::listen(fd_, 4) != 0)) {
            if (fd_ >= 0) ::close(fd_);
            throw std::runtime_error("PortHolder: cannot take the port");
        }
    }
    ~PortHolder() { ::close(fd_); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

private:
    int fd_ = -1;
};

// How a test connection is made: from which loopback address (127.0.0.1
// when empty), and with what receive buffer (the system's when 0; set before
// connecting, so the peer sees the small window from the start).
struct DialOptions {
    const char* source = nullptr;
    int receiveBuffer = 0;
};

// A TCP connection to 127.0.0.1:port; -1 when it is refused.
inline int connectLoopback(uint16_t port, const DialOptions& options = {}) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (options.receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
    if (options.source) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, options.source, &from.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace Korrafin::Test
