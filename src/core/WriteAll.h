// Writing a whole buffer to a descriptor, across short writes and signal
// interruptions. Any thread; calls write() only, so a signal handler may use
// it too. Never throws.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace Korrafin {

// 0 when every byte was written, else the errno of the failed write (EIO for
// a write that took nothing).
inline int writeAll(int fd, const void* data, std::size_t n) noexcept {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return errno;
        if (w == 0) return EIO;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

}  // namespace Korrafin
