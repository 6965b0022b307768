#include "console/ConsoleIo.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace Korrafin {

namespace {

constexpr int kWriteWaitMs = 100;
constexpr std::size_t kReadChunk = 4096;

}  // namespace

bool LineReader::takeLine(std::string& line) {
    const std::size_t end = pending_.find('\n');
    if (end == std::string::npos) return false;
    line.assign(pending_, 0, end);
    pending_.erase(0, end + 1);
    return true;
}

LineReader::Result LineReader::next(std::string& line, int timeoutMs) {
    if (takeLine(line)) return Result::Line;
    if (ended_) {
        if (pending_.empty()) return Result::End;
        // The last line of the input had no line feed: it still counts.
        line = std::move(pending_);
        pending_.clear();
        return Result::Line;
    }

    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r == 0 || (r < 0 && errno == EINTR)) return Result::Idle;
    if (r < 0 || (p.revents & POLLNVAL)) {
        ended_ = true;
        return next(line, timeoutMs);
    }

    char buf[kReadChunk];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
        pending_.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
        ended_ = true;
    }
    // Nothing read yet (an interrupted or spurious wake-up) reads as idle.
    if (takeLine(line)) return Result::Line;
    if (ended_) return next(line, timeoutMs);
    return Result::Idle;
}

void writeText(int fd, std::string_view text, const std::atomic<bool>& keepTrying) {
    while (!text.empty()) {
        const ssize_t w = ::write(fd, text.data(), text.size());
        if (w > 0) {
            text.remove_prefix(static_cast<std::size_t>(w));
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!keepTrying.load()) return;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, kWriteWaitMs);
            continue;
        }
        return;
    }
}

}  // namespace Korrafin
