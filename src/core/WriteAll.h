// Writing a whole buffer to a descriptor, across short writes and signal
// interruptions, or only what it takes without waiting. Any thread; calls
// poll() and write() only, so a signal handler may use both. Never throws.
// Sockets have Net::sendAll (core/Socket.h), which never raises SIGPIPE.
#pragma once

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace Korrafin {

namespace detail {

// The loop of a whole-buffer write through `writeSome(p, n)` (a write() or
// send() call): 0 when every byte went out, else the errno of the failed
// call (EIO for a call that took nothing).
template <class WriteSome>
int writeWhole(WriteSome writeSome, const void* data, std::size_t n) noexcept {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = writeSome(p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return errno;
        if (w == 0) return EIO;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

}  // namespace detail

// 0 when every byte was written, else the errno of the failed write (EIO for
// a write that took nothing).
inline int writeAll(int fd, const void* data, std::size_t n) noexcept {
    return detail::writeWhole([fd](const uint8_t* p, std::size_t k) { return ::write(fd, p, k); }, data, n);
}

// One write of at most PIPE_BUF bytes (all or nothing on a pipe) when `fd`
// takes bytes now; nothing when it would wait (a pipe nobody reads). True
// when every byte went out.
inline bool writeIfReady(int fd, const void* data, std::size_t n) noexcept {
    if (n > PIPE_BUF) return false;
    pollfd pfd{fd, POLLOUT, 0};
    int r;
    do {
        r = ::poll(&pfd, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r != 1 || !(pfd.revents & POLLOUT)) return false;
    ssize_t w;
    do {
        w = ::write(fd, data, n);
    } while (w < 0 && errno == EINTR);
    return w == static_cast<ssize_t>(n);
}

}  // namespace Korrafin
