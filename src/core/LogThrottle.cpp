#include "core/LogThrottle.h"

namespace Korrafin {

LogThrottle::Admission LogThrottle::admit(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    return admitLocked(nullptr, now);
}

LogThrottle::Admission LogThrottle::admit(std::string_view key, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    return admitLocked(&key, now);
}

LogThrottle::Admission LogThrottle::admitLocked(const std::string_view* key, Clock::time_point now) {
    if (inWindow_ == 0 || now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        inWindow_ = 0;
        keysInWindow_.clear();
    }
    if (inWindow_ >= perSecond_) {
        ++suppressed_;
        return {};
    }
    if (key) {
        // Only a line that is written adds a key, so the table stays small.
        std::string k(*key);
        const auto it = keysInWindow_.find(k);
        if ((it == keysInWindow_.end() ? 0 : it->second) >= perKey_) {
            ++suppressed_;
            return {};
        }
        if (it == keysInWindow_.end()) {
            keysInWindow_.emplace(std::move(k), 1);
        } else {
            ++it->second;
        }
    }
    ++inWindow_;
    Admission a{true, suppressed_};
    suppressed_ = 0;
    return a;
}

uint64_t LogThrottle::takeSuppressed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(suppressed_, 0);
}

void LogThrottle::summarise(LogLevel level, std::string_view subject, uint64_t n) {
    Logger::instance().logf(level, "{}: {} similar log lines suppressed", subject, n);
}

}  // namespace Korrafin
