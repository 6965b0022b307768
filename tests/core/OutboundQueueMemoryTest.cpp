// The outgoing queue when an allocation fails: whichever allocation of a
// run of sends, snapshots and flushes fails, the queue never throws, never
// stays wedged and never miscounts. Either it is closed as out of memory
// with nothing left counted (and refuses what comes next), or it goes on
// and its peer gets whole packets to the end. This binary replaces the
// global allocation functions to make the n-th allocation of this thread
// fail.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/OutboundQueue.h"
#include "core/SendPoller.h"
#include "support/SocketPairs.h"
#include "support/Time.h"

namespace {

// Allocations of this thread left before one fails; 0: none fails.
thread_local long tFailIn = 0;
// Allocations of this thread counted while counting is on.
thread_local bool tCounting = false;
thread_local long tCount = 0;

void* allocate(std::size_t n) {
    if (tCounting) ++tCount;
    if (tFailIn > 0 && --tFailIn == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace Korrafin::Test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Place = OutboundQueue::Place;

// A packet named by its first byte, whose size follows from the name.
Bytes named(char name) {
    const std::size_t size = name == '#' ? 256 * 1024 : 100 + 7 * static_cast<std::size_t>(name);
    Bytes b(size, static_cast<uint8_t>(name));
    return b;
}

// The run: a large packet that fills the socket (the direct write leaves a
// remainder to copy), snapshots of six keys (more than the queue keeps in
// place), shared and own, plain packets between, and a flush. Every packet
// is made before the run, so each allocation in it is the queue's.
struct Script {
    struct Step {
        char name;
        OutboundQueue::Tag key;
        Place place;
        bool viaEnqueue;
    };
    std::vector<Step> steps = {
        {'#', 0, Place::Shared, false}, {'a', 1, Place::Shared, true}, {'b', 2, Place::Own, false},
        {'c', 0, Place::Shared, false}, {'d', 3, Place::Shared, true}, {'e', 4, Place::Shared, false},
        {'f', 5, Place::Own, true},     {'g', 6, Place::Shared, false}, {'h', 1, Place::Shared, true},
        {'i', 0, Place::Shared, true},  {'j', 6, Place::Own, false},    {'k', 2, Place::Shared, true},
        {'l', OutboundQueue::Tag::updateOf(1), Place::Shared, true},  {'m', OutboundQueue::Tag::updateOf(7), Place::Own, false},
        {'n', OutboundQueue::Tag::updateOf(2), Place::Own, true},     {'o', 2, Place::Shared, false},
        {'p', OutboundQueue::Tag::updateOf(8), Place::Shared, false},
    };
    std::vector<OutboundQueue::Bytes> packets;
    Script() {
        for (const Step& s : steps) packets.push_back(OutboundQueue::share(named(s.name)));
    }
};

struct Outcome {
    bool threw = false;
    bool refused = false;  // an operation answered false
};

// Runs the steps with the `failAt`-th allocation of this thread failing (0:
// none); counts this thread's allocations into `allocations`.
Outcome play(OutboundQueue& q, const Script& run, long failAt, long& allocations) {
    Outcome o;
    tCount = 0;
    tCounting = true;
    tFailIn = failAt;
    try {
        for (std::size_t i = 0; i < run.steps.size(); ++i) {
            const auto& s = run.steps[i];
            const auto& p = run.packets[i];
            const bool ok = s.viaEnqueue ? q.enqueue(p, s.key, s.place) : q.send(p->data(), p->size(), s.key, s.place);
            if (!ok) o.refused = true;
        }
        q.flush();
    } catch (const std::bad_alloc&) {
        o.threw = true;
    }
    tFailIn = 0;
    tCounting = false;
    allocations = tCount;
    return o;
}

TEST(OutboundQueueMemoryTest, AFailedAllocationEndsTheQueueOrLeavesItWhole) {
    SendPoller poller;
    const Script run;
    const Bytes end(64, 0xEE);

    // How many allocations a run makes when none fails.
    long total = 0;
    {
        const SocketPair p = smallUnixPair(std::chrono::seconds(5));
        auto q = std::make_shared<OutboundQueue>(p.server, OutboundQueue::Limits{64 << 20, 10s}, poller);
        play(*q, run, 0, total);
        ::close(p.client);
    }
    ASSERT_GT(total, 5);

    // One more than counted: a run in which none fails, as a check of the checks.
    for (long failAt = 1; failAt <= total + 1; ++failAt) {
        SCOPED_TRACE("allocation " + std::to_string(failAt) + " of " + std::to_string(total) + " fails");
        const SocketPair p = smallUnixPair(std::chrono::seconds(5));
        auto q = std::make_shared<OutboundQueue>(p.server, OutboundQueue::Limits{64 << 20, 10s}, poller);
        long made = 0;
        const Outcome o = play(*q, run, failAt, made);
        EXPECT_FALSE(o.threw) << "an allocation failure escaped the queue";

        if (q->isClosed()) {
            EXPECT_EQ(q->failure(), OutboundQueue::Failure::NoMemory);
            EXPECT_EQ(q->queued(), 0u) << "what waited is dropped and counted so";
            EXPECT_FALSE(q->send(end.data(), end.size())) << "a closed queue takes nothing";
            EXPECT_FALSE(q->enqueue(OutboundQueue::share(end)));
            ::close(p.client);
            continue;
        }
        EXPECT_FALSE(o.refused);
        // It goes on: the peer gets whole packets, each known, up to the end mark.
        ASSERT_TRUE(q->send(end.data(), end.size()));
        Bytes got;
        uint8_t buf[65536];
        bool ended = false;
        std::string names;
        while (!ended) {
            const ssize_t n = ::recv(p.client, buf, sizeof buf, 0);
            ASSERT_GT(n, 0) << "the queue wrote nothing more after " << got.size() << " bytes (" << names << ")";
            got.insert(got.end(), buf, buf + n);
            std::size_t off = 0;
            names.clear();
            while (off < got.size()) {
                const char name = static_cast<char>(got[off]);
                const std::size_t size = name == static_cast<char>(0xEE) ? end.size() : named(name).size();
                if (off + size > got.size()) break;
                ASSERT_TRUE(name == static_cast<char>(0xEE) || (name >= 'a' && name <= 'p') || name == '#')
                    << "a packet that was never sent, at " << off;
                for (std::size_t i = off; i < off + size; ++i) ASSERT_EQ(got[i], got[off]) << "packet " << name << " whole";
                names += name == static_cast<char>(0xEE) ? '.' : name;
                off += size;
                if (name == static_cast<char>(0xEE)) ended = true;
            }
        }
        EXPECT_TRUE(eventually([&] { return q->queued() == 0; })) << "counted what it wrote: " << q->queued();
        ::close(p.client);
    }
}

}  // namespace
}  // namespace Korrafin::Test
