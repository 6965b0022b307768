#include "console/ConsoleIo.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Korrafin {

namespace {

constexpr int kWriteWaitMs = 100;

}  // namespace

LineReader::LineReader(int fd) : fd_(fd), buf_(kMaxLine + kReadChunk) {}

LineReader::Result LineReader::takeLine(std::string& line) {
    for (;;) {
        const char* from = buf_.data() + searched_;
        const std::size_t n = end_ - searched_;
        const auto* lf = static_cast<const char*>(std::memchr(from, '\n', n));
        if (!lf) {
            scanned_ += n;
            searched_ = end_;
            if (skipping_) {
                begin_ = searched_ = end_ = 0;
            } else if (end_ - begin_ > kMaxLine) {
                // Refused now, not at its line feed: that may never come.
                skipping_ = true;
                begin_ = searched_ = end_ = 0;
                return Result::TooLong;
            }
            return Result::Idle;
        }
        const std::size_t at = static_cast<std::size_t>(lf - buf_.data());
        scanned_ += at + 1 - searched_;
        const std::size_t start = begin_;
        begin_ = searched_ = at + 1;
        if (skipping_) {
            skipping_ = false;
            continue;
        }
        if (at - start > kMaxLine) return Result::TooLong;
        line.assign(buf_.data() + start, at - start);
        return Result::Line;
    }
}

// Moves the bytes held to the front. Only an unfinished line is held when
// more is read, and it moves once: after that it starts at the front.
void LineReader::compact() {
    if (begin_ == 0) return;
    const std::size_t held = end_ - begin_;
    if (held > 0) std::memmove(buf_.data(), buf_.data() + begin_, held);
    searched_ -= begin_;
    end_ = held;
    begin_ = 0;
}

LineReader::Result LineReader::next(std::string& line, int timeoutMs) {
    if (const Result r = takeLine(line); r != Result::Idle) return r;
    if (ended_) {
        if (begin_ == end_) return Result::End;
        // The last line of the input had no line feed: it still counts.
        line.assign(buf_.data() + begin_, end_ - begin_);
        begin_ = searched_ = end_ = 0;
        return Result::Line;
    }

    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r == 0 || (r < 0 && errno == EINTR)) return Result::Idle;
    if (r < 0 || (p.revents & POLLNVAL)) {
        ended_ = true;
        return next(line, timeoutMs);
    }

    // At most kMaxLine bytes are held here, so at least kReadChunk fit.
    compact();
    const ssize_t n = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
    if (n > 0) {
        end_ += static_cast<std::size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
        ended_ = true;
    }
    // Nothing read yet (an interrupted or spurious wake-up) reads as idle.
    if (const Result taken = takeLine(line); taken != Result::Idle) return taken;
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
