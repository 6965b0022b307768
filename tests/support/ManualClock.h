// A steady clock for tests of the credential limits: it moves only when told,
// so waits of seconds or minutes are checked without sleeping. Any thread may
// read it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/CredentialGuard.h"

namespace Korrafin::Test {

class ManualClock {
public:
    CredentialGuard::Clock::time_point now() const {
        return CredentialGuard::Clock::time_point{} + std::chrono::hours(1) + std::chrono::nanoseconds(ns_.load());
    }
    void advance(std::chrono::nanoseconds d) { ns_.fetch_add(d.count()); }

private:
    std::atomic<int64_t> ns_{0};
};

}  // namespace Korrafin::Test
