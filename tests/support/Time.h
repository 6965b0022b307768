// Time for tests: the wall clock in seconds, as stored timestamps use it, and
// waiting for a condition that another thread makes true.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace Korrafin::Test {

inline int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Polls `pred` until it holds; false when it still does not after `timeout`.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace Korrafin::Test
