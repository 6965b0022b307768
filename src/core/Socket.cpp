#include "core/Socket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "core/LogThrottle.h"
#include "core/WriteAll.h"

namespace Korrafin::Net {

namespace {

constexpr auto kResourcePause = std::chrono::milliseconds(50);
// Probes after a minute of silence, every 10 s, six unanswered end it.
constexpr int kKeepIdleSeconds = 60;
constexpr int kKeepIntervalSeconds = 10;
constexpr int kKeepCount = 6;

// One for every listener of the process: a full descriptor table is one event.
LogThrottle& resourceWarnings() {
    static LogThrottle* const throttle = new LogThrottle(1);
    return *throttle;
}

}  // namespace

int openTcpListener(uint16_t port, int backlog, ListenStep& failed) {
    failed = ListenStep::None;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failed = ListenStep::Socket;
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!bindAny(fd, port)) {
        failed = ListenStep::Bind;
        ::close(fd);
        return -1;
    }
    if (::listen(fd, backlog) != 0) {
        failed = ListenStep::Listen;
        ::close(fd);
        return -1;
    }
    return fd;
}

bool bindAny(int fd, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

void wakeListener(int fd) {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

bool transientAcceptError(int err, bool& resource) {
    resource = false;
    switch (err) {
        case EINTR:
        case EAGAIN:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:  // a firewall refused this one connection
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            resource = true;
            return true;
        default:
            return false;
    }
}

int acceptOne(int listenFd, const std::atomic<bool>& running, sockaddr_in& peer, bool& failed) {
    failed = false;
    for (;;) {
        socklen_t len = sizeof peer;
        const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd >= 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            enableKeepAlive(fd);
            return fd;
        }
        const int err = errno;
        if (!running.load()) return -1;
        bool resource = false;
        if (!transientAcceptError(err, resource)) {
            failed = true;
            return -1;
        }
        if (resource) {
            // The connection waits in the backlog and is taken once a
            // descriptor is free again.
            resourceWarnings().logf(LogLevel::Warn, "accept()", "accept() failed: {} – retrying", std::strerror(err));
            std::this_thread::sleep_for(kResourcePause);
        }
    }
}

void enableKeepAlive(int fd) {
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
}

std::size_t raiseOpenFileLimit() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    if (lim.rlim_cur < lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    return static_cast<std::size_t>(lim.rlim_cur);
}

bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        // Rounded up: a wait of 0 ms would spin until the deadline.
        const int ms = left.count() <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count() + 1, 60000));
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, ms);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return true;  // the read reports it
        if (r == 0 && std::chrono::steady_clock::now() >= deadline) return false;
    }
}

std::string ipv4Text(uint32_t networkOrderAddress) {
    in_addr a{};
    a.s_addr = networkOrderAddress;
    char buf[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &a, buf, sizeof buf)) return {};
    return buf;
}

int sendAll(int fd, const void* data, std::size_t n) noexcept {
    return detail::writeWhole([fd](const uint8_t* p, std::size_t k) { return ::send(fd, p, k, MSG_NOSIGNAL); },
                              data, n);
}

}  // namespace Korrafin::Net
