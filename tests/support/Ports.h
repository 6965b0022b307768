// Free loopback ports for tests, and a listener that holds one taken.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <set>
#include <stdexcept>

namespace Korrafin::Test {

// A port that was free a moment ago (TCP or UDP), picked by the kernel, and
// never one this process was given before: the kernel may hand a closed port
// out again, and two listeners of one test on one port fail each other.
inline uint16_t freePort(int type = SOCK_STREAM) {
    static std::mutex mutex;
    static std::set<uint16_t> given;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int fd = ::socket(AF_INET, type, 0);
        if (fd < 0) throw std::runtime_error("freePort: socket failed");
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ::close(fd);
            throw std::runtime_error("freePort: bind failed");
        }
        ::close(fd);
        const uint16_t port = ntohs(a.sin_port);
        std::lock_guard<std::mutex> lock(mutex);
        if (given.insert(port).second) return port;
    }
    throw std::runtime_error("freePort: no new port");
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
