#include "core/LogThrottle.h"

namespace Korrafin {

LogThrottle::Admission LogThrottle::admit(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (inWindow_ == 0 || now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        inWindow_ = 0;
    }
    if (inWindow_ >= perSecond_) {
        ++suppressed_;
        return {};
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
