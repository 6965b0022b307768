// Time for tests: the wall clock in seconds, as stored timestamps use it, and
// waiting for a condition that another thread makes true.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace Korrafin::Test {

// The most an awaited event may take: a loaded 2-core machine running the
// whole suite under a sanitizer is many times slower than an idle one. A
// wait ends as soon as its event comes, so passing tests never pay for it;
// only checks that something does not happen wait for a short quiet time.
inline constexpr std::chrono::milliseconds kPatience{60000};
// An operation that must not wait on anything (a peer, a time-out) ends
// within this even there; one that does wait shows as never ending.
inline constexpr std::chrono::milliseconds kPromptly{10000};

inline int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Polls `pred` until it holds; false when it still does not after `timeout`.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace Korrafin::Test
