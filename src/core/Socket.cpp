#include "core/Socket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace Korrafin::Net {

namespace {
constexpr auto kResourcePause = std::chrono::milliseconds(50);
}

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
            return fd;
        }
        const int err = errno;
        if (!running.load()) return -1;
        bool resource = false;
        if (!transientAcceptError(err, resource)) {
            failed = true;
            return -1;
        }
        if (resource) std::this_thread::sleep_for(kResourcePause);
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
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return errno;
        if (w == 0) return EIO;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

}  // namespace Korrafin::Net
