// Keeps one source of repeated log lines (a connection's malformed packets or
// refused logins, an accept loop's refusals, the connections of a listener)
// from flooding the log: a few lines per second pass, the rest are counted,
// and the first line that passes after some were held back is preceded by
// one summary line. Lines may carry a key (a remote address) with a bound of
// its own inside the one for all. A small mutex of its own (a leaf); any
// thread; never throws but std::bad_alloc.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/Logger.h"

namespace Korrafin {

class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // At most `perSecond` lines in any one-second window.
    explicit LogThrottle(unsigned perSecond = 5) : perSecond_(perSecond), perKey_(perSecond) {}
    // At most `perSecond` lines in any one-second window, of which at most
    // `perKey` carry one key.
    LogThrottle(unsigned perSecond, unsigned perKey) : perSecond_(perSecond), perKey_(perKey) {}

    LogThrottle(const LogThrottle&) = delete;
    LogThrottle& operator=(const LogThrottle&) = delete;

    struct Admission {
        bool write = false;       // this line may be written
        uint64_t suppressed = 0;  // lines held back before it, to be summarised first
    };

    // Counts one line at `now`: whether it may be written, and how many were
    // held back since the last one that was.
    Admission admit(Clock::time_point now = Clock::now());
    // The same for a line that carries `key`.
    Admission admit(std::string_view key, Clock::time_point now = Clock::now());

    // Lines held back and not yet summarised; resets the count.
    uint64_t takeSuppressed();

    // Writes the line through the logger unless the limit holds it back; a
    // summary line "<subject>: <n> similar log lines suppressed" goes first
    // when lines were held back before it.
    template <typename... Args>
    void logf(LogLevel level, std::string_view subject, std::string_view fmt, Args&&... args) {
        Logger& log = Logger::instance();
        if (!log.enabled(level)) return;
        const Admission a = admit();
        if (a.suppressed != 0) summarise(level, subject, a.suppressed);
        if (a.write) log.logf(level, fmt, std::forward<Args>(args)...);
    }

    // logf for a line that carries `key` (its bound counts too).
    template <typename... Args>
    void logfFrom(std::string_view key, LogLevel level, std::string_view subject, std::string_view fmt,
                  Args&&... args) {
        Logger& log = Logger::instance();
        if (!log.enabled(level)) return;
        const Admission a = admit(key);
        if (a.suppressed != 0) summarise(level, subject, a.suppressed);
        if (a.write) log.logf(level, fmt, std::forward<Args>(args)...);
    }

    // The summary of whatever is still held back (nothing when none is); for
    // the end of the source, e.g. a closed connection.
    void flush(LogLevel level, std::string_view subject) {
        if (const uint64_t n = takeSuppressed(); n != 0) summarise(level, subject, n);
    }

private:
    static void summarise(LogLevel level, std::string_view subject, uint64_t n);
    // `key` null for a line without one. Caller holds mutex_.
    Admission admitLocked(const std::string_view* key, Clock::time_point now);

    const unsigned perSecond_;
    const unsigned perKey_;
    std::mutex mutex_;
    Clock::time_point windowStart_{};
    unsigned inWindow_ = 0;
    uint64_t suppressed_ = 0;
    // Lines of each key in this window; at most perSecond_ keys, as each
    // came with a line that was written.
    std::unordered_map<std::string, unsigned> keysInWindow_;
};

}  // namespace Korrafin
