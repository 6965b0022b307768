// Connected socket pairs for tests: loopback TCP, UNIX-domain, and a
// UNIX-domain pair with small buffers, so that a writer soon finds it full.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace Korrafin::Test {

struct SocketPair {
    int server = -1;
    int client = -1;
};

// A connected pair over 127.0.0.1 (TCP_NODELAY on both ends). A
// `clientReceiveBuffer` above 0 is set on the client end before it connects
// (the server end's send buffer is the kernel's to tune).
inline SocketPair tcpPair(int clientReceiveBuffer = 0) {
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
    if (p.client >= 0 && clientReceiveBuffer > 0)
        ::setsockopt(p.client, SOL_SOCKET, SO_RCVBUF, &clientReceiveBuffer, sizeof clientReceiveBuffer);
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

// A UNIX-domain pair whose buffers hold about 4 KiB: a writer on the server
// end soon finds it full. A read on the client end gives up after
// `readLimit`, so a test whose writer is stuck fails instead of hanging.
inline SocketPair smallUnixPair(std::chrono::seconds readLimit = std::chrono::seconds(20)) {
    SocketPair p = unixPair();
    const int small = 4096;
    ::setsockopt(p.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(p.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const timeval limit{static_cast<time_t>(readLimit.count()), 0};
    ::setsockopt(p.client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return p;
}

}  // namespace Korrafin::Test
