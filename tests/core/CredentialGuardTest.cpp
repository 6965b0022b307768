// Failed credential checks per address and per connection: bursts make the
// address wait longer each time, connections close at their bound, the
// address table stays bounded, and the log gets one line per burst. The
// clock is the test's own: nothing here sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/CredentialGuard.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"

namespace Korrafin::Test {
namespace {

using namespace std::chrono_literals;
using Kind = CredentialGuard::Kind;
using Outcome = CredentialGuard::Outcome;

class CredentialGuardTest : public ::testing::Test {
protected:
    std::unique_ptr<CredentialGuard> make(CredentialGuard::Limits limits = {}) {
        return std::make_unique<CredentialGuard>(limits, [this] { return clock.now(); });
    }

    // `n` failures from `address`, each on a connection of its own.
    static void failFresh(CredentialGuard& g, const std::string& address, int n, Kind kind = Kind::Password) {
        for (int i = 0; i < n; ++i) {
            CredentialGuard::Tally t;
            g.failed(address, t, kind);
        }
    }

    ManualClock clock;
};

TEST_F(CredentialGuardTest, EachBurstMakesTheAddressWaitTwiceAsLongUpToTheLongestWait) {
    auto g = make();
    const std::string a = "10.0.0.1";
    const std::vector<std::chrono::seconds> waits = {2s, 4s, 8s, 16s, 32s, 64s, 128s, 256s, 300s, 300s};
    for (std::size_t burst = 0; burst < waits.size(); ++burst) {
        SCOPED_TRACE("burst " + std::to_string(burst + 1));
        failFresh(*g, a, 4);
        EXPECT_FALSE(g->waiting(a)) << "four quick failures are no burst yet";
        failFresh(*g, a, 1);
        EXPECT_TRUE(g->waiting(a));
        EXPECT_FALSE(g->waiting("10.0.0.2")) << "other addresses are not affected";
        clock.advance(waits[burst] - 1ms);
        EXPECT_TRUE(g->waiting(a));
        clock.advance(1ms);
        EXPECT_FALSE(g->waiting(a));
    }
}

TEST_F(CredentialGuardTest, OnlyFailuresFasterThanTheyAreForgivenFillABurst) {
    struct Case {
        const char* name;
        std::chrono::milliseconds gap;
        int failures;
        bool waits;
    };
    const std::vector<Case> cases = {
        {"five at once", 0ms, 5, true},
        {"four at once", 0ms, 4, false},
        {"one a second, for long", 1000ms, 50, false},
        {"five within a second", 199ms, 5, true},
        {"two a second fill a burst at the eighth", 500ms, 8, true},
        {"two a second, seven of them", 500ms, 7, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto g = make();
        const std::string a = "10.0.1." + std::to_string(++n);
        for (int i = 0; i < c.failures; ++i) {
            if (i > 0) clock.advance(c.gap);
            failFresh(*g, a, 1);
        }
        EXPECT_EQ(g->waiting(a), c.waits);
    }
}

TEST_F(CredentialGuardTest, AConnectionIsToBeClosedAtItsBoundAndRefusalsCount) {
    auto g = make();
    {
        CredentialGuard::Tally t;
        for (int i = 1; i < 5; ++i) EXPECT_EQ(g->failed("10.0.2.1", t, Kind::PrivilegeKey), Outcome::Answer) << i;
        EXPECT_EQ(g->failed("10.0.2.1", t, Kind::PrivilegeKey), Outcome::Close);
    }
    {
        // Its address waits now: attempts are refused unchecked and count.
        ASSERT_TRUE(g->waiting("10.0.2.1"));
        CredentialGuard::Tally t;
        for (int i = 1; i < 5; ++i) EXPECT_EQ(g->refused("10.0.2.1", t, Kind::Password), Outcome::Answer) << i;
        EXPECT_EQ(g->refused("10.0.2.1", t, Kind::Password), Outcome::Close);
    }
    {
        // Quick failures a few milliseconds apart still reach the bound.
        CredentialGuard::Tally t;
        for (int i = 1; i < 5; ++i) {
            clock.advance(10ms);
            EXPECT_EQ(g->failed("10.0.2.3", t, Kind::Password), Outcome::Answer) << i;
        }
        clock.advance(10ms);
        EXPECT_EQ(g->failed("10.0.2.3", t, Kind::Password), Outcome::Close);
    }
    {
        // One failure a second is forgiven as fast as it comes.
        CredentialGuard::Tally t;
        for (int i = 0; i < 30; ++i) {
            clock.advance(1s);
            EXPECT_EQ(g->failed("10.0.2.2", t, Kind::ServerKey), Outcome::Answer) << i;
        }
    }
}

TEST_F(CredentialGuardTest, RefusalsDoNotLengthenTheWaitAndAQuietAddressStartsOver) {
    auto g = make();
    const std::string a = "10.0.3.1";
    failFresh(*g, a, 5);
    for (int i = 0; i < 50; ++i) {
        CredentialGuard::Tally t;
        g->refused(a, t, Kind::Password);
    }
    clock.advance(2s);
    EXPECT_FALSE(g->waiting(a)) << "refusals while waiting add nothing";

    failFresh(*g, a, 5);
    clock.advance(4s - 1ms);
    EXPECT_TRUE(g->waiting(a)) << "the second burst waits twice as long";
    clock.advance(1ms);

    clock.advance(g->limits().forget);
    failFresh(*g, a, 5);
    clock.advance(2s);
    EXPECT_FALSE(g->waiting(a)) << "after a quiet spell the first wait is the short one again";
}

TEST_F(CredentialGuardTest, TheAddressTableStaysWithinItsBound) {
    CredentialGuard::Limits limits;
    limits.maxAddresses = 64;
    auto g = make(limits);
    // A flood of addresses, each failing once.
    for (int i = 0; i < 20000; ++i) {
        failFresh(*g, "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                          std::to_string(i % 256),
                  1);
        ASSERT_LE(g->addresses(), 64u);
    }
    EXPECT_EQ(g->addresses(), 64u);

    // The most recent addresses are the ones kept: one that has just burst waits.
    failFresh(*g, "192.0.2.1", 5);
    EXPECT_TRUE(g->waiting("192.0.2.1"));
    EXPECT_EQ(g->addresses(), 64u);

    // Forgotten ones leave the table when anything next happens.
    clock.advance(g->limits().forget + 1s);
    failFresh(*g, "192.0.2.2", 1);
    EXPECT_EQ(g->addresses(), 1u);
}

TEST_F(CredentialGuardTest, EachBurstIsOneSummaryLineWithItsCounts) {
    auto& log = LogCapture::instance();
    log.clear();
    auto g = make();
    const std::string a = "10.0.4.1";
    failFresh(*g, a, 2, Kind::Password);
    failFresh(*g, a, 2, Kind::ServerKey);
    failFresh(*g, a, 1, Kind::PrivilegeKey);
    for (int i = 0; i < 3; ++i) {
        CredentialGuard::Tally t;
        g->refused(a, t, Kind::PrivilegeKey);
    }
    clock.advance(2s);
    failFresh(*g, a, 5, Kind::Password);

    EXPECT_EQ(log.count(LogLevel::Warn,
                        "Failed credential attempts from 10.0.4.1: 2 passwords, 2 server keys, 1 privilege keys "
                        "wrong, 0 refused while waiting; next check in 2 s"),
              1u);
    EXPECT_EQ(log.count(LogLevel::Warn,
                        "Failed credential attempts from 10.0.4.1: 5 passwords, 0 server keys, 0 privilege keys "
                        "wrong, 3 refused while waiting; next check in 4 s"),
              1u);
    EXPECT_EQ(log.lines().size(), 2u) << "thirteen attempts, two lines";
}

TEST_F(CredentialGuardTest, ZeroLimitsAreRefused) {
    for (int which = 0; which < 4; ++which) {
        CredentialGuard::Limits limits;
        if (which == 0) limits.burst = 0;
        if (which == 1) limits.perConnection = 0;
        if (which == 2) limits.forgive = 0ms;
        if (which == 3) limits.maxAddresses = 0;
        EXPECT_THROW(make(limits), std::invalid_argument) << which;
    }
}

TEST_F(CredentialGuardTest, ConnectionsOnManyThreadsShareTheTable) {
    CredentialGuard::Limits limits;
    limits.maxAddresses = 8;  // fewer than the addresses used: entries are dropped while others use them
    auto g = make(limits);
    std::atomic<int> closes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            auto tally = std::make_unique<CredentialGuard::Tally>();
            for (int i = 0; i < 2000; ++i) {
                const std::string a = "10.1.0." + std::to_string((t * 7 + i) % 16);
                const Kind kind = static_cast<Kind>(i % 3);
                const Outcome o = g->waiting(a) ? g->refused(a, *tally, kind) : g->failed(a, *tally, kind);
                if (o == Outcome::Close) {  // a new connection
                    closes.fetch_add(1);
                    tally = std::make_unique<CredentialGuard::Tally>();
                }
                if (i % 100 == 0) clock.advance(300ms);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_LE(g->addresses(), 8u);
    EXPECT_GT(closes.load(), 0);
}

}  // namespace
}  // namespace Korrafin::Test
