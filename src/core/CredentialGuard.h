// Keeps passwords, server keys and privilege keys from being guessed at
// speed. Every failed check counts against the remote address and against
// the connection it came on:
//  - an address may fail `burst` times in quick succession (one failure is
//    forgiven per `forgive`); the failure that fills its burst makes the
//    address wait `firstWait`, twice as long after each further burst, up to
//    `longestWait`. While it waits nothing from it is checked: the caller
//    answers as for a wrong credential. An address without any attempt for
//    `forget` starts over.
//  - a connection whose failures (refusals while its address waits
//    included, forgiven at the same pace) reach `perConnection` is to be
//    closed.
// At most `maxAddresses` addresses are remembered; past that the one whose
// last attempt is oldest is dropped, so a flood of addresses costs bounded
// memory. Each burst is logged as one summary line with its counts (those
// lines throttled in turn), never a line per guess.
//
// Any thread: one mutex (a leaf) guards the address table. A Tally belongs to
// one connection and is used by that connection's reader thread only. The
// clock is injectable so that tests need not sleep. Throws only
// std::bad_alloc.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/LogThrottle.h"

namespace Korrafin {

class CredentialGuard {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    enum class Kind : uint8_t { Password = 0, ServerKey = 1, PrivilegeKey = 2 };

    struct Limits {
        unsigned burst = 5;
        std::chrono::milliseconds forgive{1000};
        std::chrono::milliseconds firstWait{2000};
        std::chrono::milliseconds longestWait{std::chrono::minutes(5)};
        std::chrono::milliseconds forget{std::chrono::minutes(15)};
        std::size_t maxAddresses = 4096;
        unsigned perConnection = 5;
    };

    // One connection's failures. Default-made empty; not shared.
    class Tally {
    public:
        Tally() = default;
        Tally(const Tally&) = delete;
        Tally& operator=(const Tally&) = delete;

    private:
        friend class CredentialGuard;
        double level_ = 0;
        Clock::time_point at_{};
    };

    enum class Outcome : uint8_t {
        Answer,  // answer as usual
        Close,   // the connection has reached its bound: close it
    };

    // The limits above, the steady clock. Throws std::invalid_argument for
    // a zero limit.
    CredentialGuard();
    explicit CredentialGuard(Limits limits, Now now = Clock::now);

    CredentialGuard(const CredentialGuard&) = delete;
    CredentialGuard& operator=(const CredentialGuard&) = delete;

    // True while `address` waits after a burst: check nothing, answer as for
    // a wrong credential and report the attempt with refused().
    bool waiting(const std::string& address);

    // A credential of `kind` was checked and found wrong.
    Outcome failed(const std::string& address, Tally& tally, Kind kind);
    // An attempt was answered unchecked because its address waits.
    Outcome refused(const std::string& address, Tally& tally, Kind kind);

    // Addresses remembered now.
    std::size_t addresses() const;

    const Limits& limits() const { return limits_; }

private:
    struct Entry {
        std::string address;
        double level = 0;
        Clock::time_point levelAt{};
        Clock::time_point lastSeen{};
        Clock::time_point waitUntil{};
        unsigned bursts = 0;
        std::array<uint32_t, 3> failures{};  // by Kind, since the last summary
        uint32_t refusals = 0;               // since the last summary
    };
    using Order = std::list<Entry>;  // most recently seen first

    Outcome count(Tally& tally, Clock::time_point now);
    // The entry of `address`, made (and the table kept in bounds) when new,
    // moved to the front. Caller holds mutex_.
    Entry& touch(const std::string& address, Clock::time_point now);
    void dropForgotten(Clock::time_point now);
    double leak(double level, Clock::time_point since, Clock::time_point now) const;
    Clock::duration waitAfter(unsigned bursts) const;

    const Limits limits_;
    const Now now_;
    mutable std::mutex mutex_;
    Order order_;
    std::unordered_map<std::string_view, Order::iterator> index_;  // views into order_'s addresses
    LogThrottle summaries_{5};
};

}  // namespace Korrafin
