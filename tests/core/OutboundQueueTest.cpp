// The outgoing queue and the send poller over UNIX socket pairs: packets
// arrive whole and in order whoever sends them, a send never waits for the
// peer, a peer that stops reading ends the queue at its bound or after the
// stall time, and an unsent snapshot gives way to a newer one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/OutboundQueue.h"
#include "core/SendPoller.h"
#include "support/SocketPairs.h"
#include "support/Time.h"

namespace Korrafin::Test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// A record of `size` bytes: sender, sequence number, then a fill that both name.
Bytes record(uint8_t sender, uint32_t seq, std::size_t size) {
    Bytes b(size);
    b[0] = sender;
    std::memcpy(b.data() + 1, &seq, 4);
    for (std::size_t i = 5; i < size; ++i) b[i] = static_cast<uint8_t>(sender * 31 + seq + i);
    return b;
}

// Reads everything until the peer's end of stream (or the read time-out).
Bytes readAll(int fd, std::chrono::microseconds pause = 0us) {
    Bytes got;
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, pause.count() ? 1024 : sizeof buf, 0);
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
        if (pause.count()) std::this_thread::sleep_for(pause);
    }
    return got;
}

// Reads until `n` bytes came or the peer's stream ends (or the read times out).
Bytes readBytes(int fd, std::size_t n) {
    Bytes got;
    uint8_t buf[65536];
    while (got.size() < n) {
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

class OutboundQueueTest : public ::testing::Test {
protected:
    std::shared_ptr<OutboundQueue> make(int fd, std::size_t maxQueued = 64 << 20,
                                        std::chrono::milliseconds stall = 10000ms) {
        return std::make_shared<OutboundQueue>(fd, OutboundQueue::Limits{maxQueued, stall}, poller);
    }
    SendPoller poller;
};

TEST_F(OutboundQueueTest, PacketsOfManySendersArriveWholeAndInEachSendersOrder) {
    const SocketPair p = smallUnixPair();
    auto q = make(p.server);
    constexpr int kSenders = 4, kPerSender = 150;
    // Sizes from a few bytes to well past the socket buffers.
    auto sizeOf = [](int s, int i) -> std::size_t { return 5 + static_cast<std::size_t>((s * 7919 + i * 104729) % 70000); };

    std::atomic<bool> failed{false};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i) {
                const Bytes r = record(static_cast<uint8_t>(s), static_cast<uint32_t>(i), sizeOf(s, i));
                bool ok;
                if (i % 3 == 0) {
                    ok = q->enqueue(OutboundQueue::share(r));
                    q->flush();
                } else {
                    ok = q->send(r.data(), r.size());
                }
                if (!ok) failed = true;
            }
        });
    }
    // The reader is slow at first, so the poller does much of the writing.
    std::size_t expected = 0;
    for (int s = 0; s < kSenders; ++s)
        for (int i = 0; i < kPerSender; ++i) expected += sizeOf(s, i);
    Bytes got;
    uint8_t buf[65536];
    while (got.size() < expected) {
        const ssize_t n = ::recv(p.client, buf, got.size() < expected / 4 ? 512 : sizeof buf, 0);
        ASSERT_GT(n, 0) << "after " << got.size() << " of " << expected << " bytes";
        got.insert(got.end(), buf, buf + n);
    }
    for (auto& t : senders) t.join();
    EXPECT_FALSE(failed.load());

    // Walk the stream: each record whole, each sender's in order.
    uint32_t next[kSenders] = {};
    std::size_t off = 0;
    while (off < got.size()) {
        const uint8_t s = got[off];
        ASSERT_LT(s, kSenders);
        uint32_t seq;
        std::memcpy(&seq, got.data() + off + 1, 4);
        ASSERT_EQ(seq, next[s]) << "sender " << int(s);
        const Bytes want = record(s, seq, sizeOf(s, static_cast<int>(seq)));
        ASSERT_LE(off + want.size(), got.size());
        ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin() + static_cast<std::ptrdiff_t>(off)))
            << "record " << int(s) << "/" << seq << " is whole";
        off += want.size();
        ++next[s];
    }
    for (int s = 0; s < kSenders; ++s) EXPECT_EQ(next[s], static_cast<uint32_t>(kPerSender));
    EXPECT_EQ(q->queued(), 0u);
    ::close(p.client);
}

TEST_F(OutboundQueueTest, ASendNeverWaitsForAPeerThatDoesNotRead) {
    const SocketPair p = smallUnixPair();
    auto q = make(p.server);
    const Bytes big(1 << 20, 0x5A);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(q->send(big.data(), big.size()));
    // A send that waited would never return: the peer reads nothing. The
    // bound only allows for slow copies on a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_GT(q->queued(), 2 * big.size()) << "what the socket did not take waits";
    EXPECT_FALSE(q->isClosed());
    ::close(p.client);
}

TEST_F(OutboundQueueTest, EnqueueWritesNothingUntilAFlush) {
    const SocketPair p = smallUnixPair();
    auto q = make(p.server);
    const Bytes r = record(1, 1, 100);
    ASSERT_TRUE(q->enqueue(OutboundQueue::share(r)));
    uint8_t buf[256];
    EXPECT_EQ(::recv(p.client, buf, sizeof buf, MSG_DONTWAIT), -1) << "nothing on the wire yet";
    EXPECT_EQ(q->queued(), r.size());
    q->flush();
    ASSERT_EQ(::recv(p.client, buf, sizeof buf, 0), static_cast<ssize_t>(r.size()));
    EXPECT_TRUE(std::equal(r.begin(), r.end(), buf));
    ::close(p.client);
}

TEST_F(OutboundQueueTest, APacketPastTheBoundEndsTheQueueAndTheConnection) {
    const SocketPair p = smallUnixPair();
    auto q = make(p.server, /*maxQueued=*/256 * 1024);
    const Bytes first = record(2, 0, 200 * 1024);
    ASSERT_TRUE(q->send(first.data(), first.size()));
    const Bytes second = record(2, 1, 200 * 1024);
    EXPECT_FALSE(q->send(second.data(), second.size()));
    EXPECT_TRUE(q->isClosed());
    EXPECT_EQ(q->failure(), OutboundQueue::Failure::Overflow);
    EXPECT_EQ(q->queued(), 0u) << "what waited is dropped";
    EXPECT_FALSE(q->enqueue(OutboundQueue::share(first)));

    // The peer gets a prefix of the first packet, then the end of the stream.
    const Bytes got = readAll(p.client);
    EXPECT_LT(got.size(), first.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), first.begin()));
    ::close(p.client);
}

TEST_F(OutboundQueueTest, APeerThatTakesNothingForTheStallTimeIsDropped) {
    const SocketPair p = smallUnixPair();
    auto q = make(p.server, 64 << 20, 400ms);
    const Bytes big(1 << 20, 0x33);
    ASSERT_TRUE(q->send(big.data(), big.size()));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return q->isClosed(); }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
    EXPECT_EQ(q->failure(), OutboundQueue::Failure::Stalled);
    ::close(p.client);
}

TEST_F(OutboundQueueTest, ASlowButSteadyPeerIsNotAStall) {
    const SocketPair p = smallUnixPair();
    auto q = make(p.server, 64 << 20, 400ms);
    const Bytes data = record(3, 0, 256 * 1024);
    ASSERT_TRUE(q->send(data.data(), data.size()));
    // About 1 KiB every 20 ms: far longer than the stall time in all.
    Bytes got;
    uint8_t buf[1024];
    while (got.size() < data.size() && !q->isClosed()) {
        const ssize_t n = ::recv(p.client, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.insert(got.end(), buf, buf + n);
        std::this_thread::sleep_for(got.size() < 16 * 1024 ? 20ms : 0ms);
    }
    EXPECT_EQ(got, data);
    EXPECT_EQ(q->failure(), OutboundQueue::Failure::None);
    ::close(p.client);
}

// A peer that reads slowly but steadily behind a send buffer of megabytes:
// the socket is reported writable again only once a third of that buffer is
// free, long after the stall time, yet it drains all the time. That is no
// stall; one that takes nothing is (the test above).
TEST_F(OutboundQueueTest, APeerReadingSlowlyBehindALargeSendBufferIsNotAStall) {
    const SocketPair p = tcpPair(16 * 1024);
    auto q = make(p.server, 64 << 20, 1000ms);
    // Far more than the socket's buffers hold: the rest waits in the queue.
    const Bytes chunk = record(5, 0, 64 * 1024);
    for (int i = 0; i < 160; ++i) ASSERT_TRUE(q->send(chunk.data(), chunk.size()));
    ASSERT_GT(q->queued(), 2u << 20) << "the socket took more than expected";

    // About 64 KiB a second for three times the stall time.
    const auto until = std::chrono::steady_clock::now() + 3s;
    uint8_t buf[4096];
    while (std::chrono::steady_clock::now() < until && !q->isClosed()) {
        ASSERT_GT(::recv(p.client, buf, sizeof buf, 0), 0);
        std::this_thread::sleep_for(60ms);
    }
    EXPECT_FALSE(q->isClosed());
    EXPECT_EQ(q->failure(), OutboundQueue::Failure::None);
    ::close(p.client);
}

TEST_F(OutboundQueueTest, CloseDropsWhatWaitsAndAWriteToAGonePeerFails) {
    {
        const SocketPair p = smallUnixPair();
        auto q = make(p.server);
        const Bytes big(1 << 20, 0x44);
        ASSERT_TRUE(q->send(big.data(), big.size()));
        q->close();
        q->close();
        EXPECT_TRUE(q->isClosed());
        EXPECT_EQ(q->failure(), OutboundQueue::Failure::None) << "a close is not a failure";
        EXPECT_EQ(q->queued(), 0u);
        EXPECT_FALSE(q->send(big.data(), 10));
        EXPECT_LT(readAll(p.client).size(), big.size());
        ::close(p.client);
    }
    {
        const SocketPair p = smallUnixPair();
        auto q = make(p.server);
        ::close(p.client);
        const Bytes r = record(4, 0, 64);
        EXPECT_FALSE(q->send(r.data(), r.size()));
        EXPECT_EQ(q->failure(), OutboundQueue::Failure::Broken);
    }
}

// Snapshots (a key each) and other packets queued one after the other; the
// peer reads only once all are queued, and gets exactly `expect`. While it
// keeps up, everything goes as queued; once it is behind, an unsent snapshot
// stands for the newest of its key in its own place, and one of the
// receiver's own sequence keeps its place too.
TEST_F(OutboundQueueTest, AnUnsentSnapshotIsRefreshedInItsPlaceOnceThePeerIsBehind) {
    constexpr OutboundQueue::SnapshotKey kList = 1, kSettings = 2, kNone = OutboundQueue::kNoSnapshot;
    // Updates of the list's state (a reorder, a count) and of the settings'.
    constexpr auto kListUpdate = OutboundQueue::Tag::updateOf(kList);
    constexpr auto kSettingsUpdate = OutboundQueue::Tag::updateOf(kSettings);
    constexpr auto kOwn = OutboundQueue::Place::Own, kShared = OutboundQueue::Place::Shared;
    enum class Start {
        Idle,        // nothing waits
        PeerBehind,  // a large packet fills the socket first: the queue waits for its peer
    };
    enum class Via { Send, Enqueue };  // enqueue: all of them, then one flush
    struct Step {
        char name;  // 'a'..'z'; a packet's size and contents follow from it
        OutboundQueue::Tag key;
        OutboundQueue::Place place = kShared;
        Via via = Via::Send;
    };
    struct Case {
        const char* what;
        Start start;
        std::vector<Step> steps;
        std::string expect;  // '#' is the large packet that filled the socket
        std::size_t unsentLists;  // lists waiting once all are queued
    };
    // The last two, 'y' and 'z', are the only ones of their names.
    std::vector<Step> alternating;
    for (int i = 0; i < 200; ++i)
        alternating.push_back({static_cast<char>(i < 198 ? 'a' + i % 24 : 'y' + i - 198), i % 2 == 0 ? kList : kSettings});
    const std::vector<Case> cases = {
        {"list, list", Start::PeerBehind, {{'a', kList}, {'b', kList}}, "#b", 1},
        {"list, join, list", Start::PeerBehind, {{'a', kList}, {'j', kNone}, {'b', kList}}, "#bj", 1},
        {"list, chat, list", Start::PeerBehind, {{'a', kList}, {'c', kNone}, {'b', kList}}, "#bc", 1},
        {"list, join, list, queued for one flush", Start::PeerBehind,
         {{'a', kList, kShared, Via::Enqueue}, {'j', kNone, kShared, Via::Enqueue}, {'b', kList, kShared, Via::Enqueue}},
         "#bj", 1},
        {"two kinds refresh only their own", Start::PeerBehind,
         {{'a', kList}, {'s', kSettings}, {'c', kNone}, {'b', kList}, {'t', kSettings}}, "#btc", 1},
        {"six kinds, each twice", Start::PeerBehind,
         {{'a', 11}, {'b', 12}, {'c', 13}, {'d', 14}, {'e', 15}, {'f', 16},
          {'g', 11}, {'h', 12}, {'i', 13}, {'j', 14}, {'k', 15}, {'l', 16}}, "#ghijkl", 0},
        {"two kinds alternating 200 times", Start::PeerBehind, alternating, "#yz", 1},
        // The receiver's own move: its lists keep their places, showing the newest.
        {"list, then an own move", Start::PeerBehind,
         {{'a', kList}, {'l', kNone}, {'b', kList, kOwn}, {'j', kNone}, {'c', kList, kOwn}, {'r', kNone}},
         "#clcjcr", 3},
        {"an own list, then a shared one", Start::PeerBehind, {{'a', kList, kOwn}, {'j', kNone}, {'b', kList}}, "#bj", 1},
        {"own login: settings, list, users", Start::PeerBehind,
         {{'s', kSettings, kOwn}, {'a', kList, kOwn}, {'u', kNone}, {'t', kSettings}, {'b', kList}}, "#tbu", 1},
        // An update that the snapshot written before it already shows goes,
        // unless it is the receiver's own: then the snapshot before it keeps
        // its bytes and the newer one comes after it.
        {"list, update, list", Start::PeerBehind, {{'a', kList}, {'u', kListUpdate}, {'b', kList}}, "#b", 1},
        {"list, update, list, update", Start::PeerBehind,
         {{'a', kList}, {'u', kListUpdate}, {'b', kList}, {'v', kListUpdate}}, "#bv", 1},
        {"list, update, chat, list, queued for one flush", Start::PeerBehind,
         {{'a', kList, kShared, Via::Enqueue}, {'u', kListUpdate, kShared, Via::Enqueue},
          {'c', kNone, kShared, Via::Enqueue}, {'b', kList, kShared, Via::Enqueue}},
         "#bc", 1},
        {"an update with no list before it, then a list", Start::PeerBehind, {{'u', kListUpdate}, {'b', kList}},
         "#ub", 1},
        {"list, update of the settings, list", Start::PeerBehind,
         {{'a', kList}, {'u', kSettingsUpdate}, {'b', kList}}, "#bu", 1},
        {"list, own update, list", Start::PeerBehind, {{'a', kList}, {'o', kListUpdate, kOwn}, {'b', kList}},
         "#aob", 2},
        {"list, update, own update, list, update", Start::PeerBehind,
         {{'a', kList}, {'u', kListUpdate}, {'c', kList}, {'o', kListUpdate, kOwn}, {'b', kList},
          {'v', kListUpdate}},
         "#cobv", 2},
        // Nothing waits for the peer: everything goes as queued.
        {"list, join, list, queued for one flush", Start::Idle,
         {{'a', kList, kShared, Via::Enqueue}, {'j', kNone, kShared, Via::Enqueue}, {'b', kList, kShared, Via::Enqueue}},
         "ajb", 2},
        {"list, list, queued for one flush", Start::Idle,
         {{'a', kList, kShared, Via::Enqueue}, {'b', kList, kShared, Via::Enqueue}}, "ab", 2},
        {"list, update, list, queued for one flush", Start::Idle,
         {{'a', kList, kShared, Via::Enqueue}, {'u', kListUpdate, kShared, Via::Enqueue},
          {'b', kList, kShared, Via::Enqueue}},
         "aub", 2},
        // Queued while the peer kept up, then the flush finds it behind:
        // from then on the first unsent list stands for the newest.
        {"a large packet, list, join, list, queued for one flush", Start::Idle,
         {{'#', kNone, kShared, Via::Enqueue}, {'a', kList, kShared, Via::Enqueue}, {'j', kNone, kShared, Via::Enqueue},
          {'b', kList, kShared, Via::Enqueue}},
         "#bj", 2},
        {"a large packet, list, update, list, queued for one flush", Start::Idle,
         {{'#', kNone, kShared, Via::Enqueue}, {'a', kList, kShared, Via::Enqueue},
          {'u', kListUpdate, kShared, Via::Enqueue}, {'b', kList, kShared, Via::Enqueue}},
         "#b", 2},
        {"a large packet, list, own update, list, update, list, queued for one flush", Start::Idle,
         {{'#', kNone, kShared, Via::Enqueue}, {'a', kList, kShared, Via::Enqueue},
          {'o', kListUpdate, kOwn, Via::Enqueue}, {'b', kList, kShared, Via::Enqueue},
          {'u', kListUpdate, kShared, Via::Enqueue}, {'c', kList, kShared, Via::Enqueue}},
         "#aoc", 3},
        // The first is being written when the second comes: it is completed.
        {"a large list begun, then a list", Start::Idle, {{'L', kList}, {'b', kList}}, "Lb", 1},
    };
    // Large ones ('#', 'L') fill the socket buffers many times over.
    auto packetOf = [](char name) {
        const std::size_t size = name == '#' || name == 'L' ? 256 * 1024 : 100 + 7 * static_cast<std::size_t>(name);
        return record(static_cast<uint8_t>(name), 0, size);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const SocketPair p = smallUnixPair();
        auto q = make(p.server);
        if (c.start == Start::PeerBehind) {
            const Bytes big = packetOf('#');
            ASSERT_TRUE(q->send(big.data(), big.size()));
            ASSERT_GT(q->queued(), 0u);
        }
        std::size_t total = c.start == Start::PeerBehind ? packetOf('#').size() : 0;
        for (const Step& step : c.steps) {
            const Bytes b = packetOf(step.name);
            ASSERT_TRUE(step.via == Via::Send ? q->send(b.data(), b.size(), step.key, step.place)
                                              : q->enqueue(OutboundQueue::share(b), step.key, step.place));
        }
        EXPECT_EQ(q->unsentSnapshots(kList), c.unsentLists);
        q->flush();
        // What waits is counted exactly: what the peer is still to get.
        for (char name : c.expect) total += packetOf(name).size();
        EXPECT_LE(q->queued(), total);
        // An end mark behind everything: what comes before it is the answer.
        const Bytes end = record(0xEE, 0, 64);
        ASSERT_TRUE(q->send(end.data(), end.size()));

        Bytes want;
        for (char name : c.expect) {
            const Bytes b = packetOf(name);
            want.insert(want.end(), b.begin(), b.end());
        }
        want.insert(want.end(), end.begin(), end.end());
        const Bytes got = readBytes(p.client, want.size());
        ASSERT_EQ(got.size(), want.size()) << "the stream ended early";
        // Packets the peer gets, by name, for the failure message.
        std::string names;
        for (std::size_t off = 0; off < got.size();) {
            const char name = static_cast<char>(got[off]);
            names += name == static_cast<char>(0xEE) ? '.' : name;
            off += name == static_cast<char>(0xEE) ? 64 : packetOf(name).size();
        }
        EXPECT_TRUE(got == want) << "got " << names << ", want " << c.expect << ".";
        EXPECT_FALSE(q->isClosed());
        EXPECT_TRUE(eventually([&] { return q->queued() == 0; })) << "nothing is left over";
        ::close(p.client);
    }
}

// Snapshots that pile up for a peer whose socket takes everything, as
// while its writer is held up (here: queued and not flushed), are coalesced
// once half the bound waits, instead of the queue passing its bound.
TEST_F(OutboundQueueTest, SnapshotsPilingUpBehindAHeldWriterAreCoalescedBeforeTheBound) {
    const SocketPair p = smallUnixPair();
    const Bytes list = record(0x81, 0, 500);
    auto q = make(p.server, 4 * list.size() + 100);
    for (uint32_t v = 1; v <= 40; ++v)
        ASSERT_TRUE(q->enqueue(OutboundQueue::share(record(0x81, v, list.size())), 1)) << "list " << v;
    // Exactly as queued up to half the bound, then one that shows the newest.
    EXPECT_EQ(q->unsentSnapshots(1), 3u);
    q->flush();
    const Bytes got = readBytes(p.client, 3 * list.size());
    ASSERT_EQ(got.size(), 3 * list.size());
    std::vector<uint32_t> versions;
    for (std::size_t off = 0; off < got.size(); off += list.size()) {
        uint32_t v;
        std::memcpy(&v, got.data() + off + 1, 4);
        versions.push_back(v);
    }
    EXPECT_EQ(versions, (std::vector<uint32_t>{1, 2, 40}));
    EXPECT_FALSE(q->isClosed());
    ::close(p.client);
}

// A peer that is behind and keeps acting: each of its own updates holds
// the unsent snapshot before it to its bytes, and the next one goes after
// it, so the snapshots that wait grow with its updates, and the byte bound,
// not a count, ends the queue.
TEST_F(OutboundQueueTest, APeerBehindThatKeepsActingHoldsASnapshotPerOwnUpdateUntilTheBoundEndsIt) {
    constexpr OutboundQueue::SnapshotKey kList = 1;
    const SocketPair p = smallUnixPair();
    const Bytes big = record('#', 0, 256 * 1024);
    const Bytes list = record(0x81, 0, 500);
    const Bytes own = record(0x60, 0, 20);
    const std::size_t bound = big.size() + 20 * (list.size() + own.size());
    auto q = make(p.server, bound);
    ASSERT_TRUE(q->send(big.data(), big.size()));
    ASSERT_GT(q->queued(), 0u) << "the peer is not behind";

    std::size_t rounds = 0;
    for (; rounds < 1000; ++rounds) {
        const bool queued = q->send(list.data(), list.size(), kList) &&
                            q->send(own.data(), own.size(), OutboundQueue::Tag::updateOf(kList),
                                    OutboundQueue::Place::Own);
        if (!queued) break;
        EXPECT_EQ(q->unsentSnapshots(kList), rounds + 1);
    }
    EXPECT_GT(rounds, 10u);
    EXPECT_LT(rounds, 1000u) << "nothing ended the queue";
    EXPECT_TRUE(q->isClosed());
    EXPECT_EQ(q->failure(), OutboundQueue::Failure::Overflow);
    ::close(p.client);
}

// A write round may find nothing left to write but updates that a snapshot
// written before them already shows (here: the round before took exactly
// as many packets as one write gathers): they go, and the queue stays open.
TEST_F(OutboundQueueTest, ARoundOfOnlyOutdatedUpdatesEndsTheWritingNotTheConnection) {
    const SocketPair p = unixPair();
    const timeval limit{20, 0};
    ::setsockopt(p.client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    auto q = make(p.server, 64 * 1024);
    constexpr OutboundQueue::SnapshotKey kList = 1;
    // More than half the bound waits at once: from here on the queue is behind.
    std::vector<Bytes> sent = {record(0x10, 0, 40 * 1024), record(0x81, 1, 800)};
    for (uint32_t i = 0; i < 62; ++i) sent.push_back(record(0x20, i, 100));
    const Bytes update = record(0x41, 2, 100);
    const Bytes newer = record(0x81, 3, 800);
    ASSERT_TRUE(q->enqueue(OutboundQueue::share(sent[0])));
    ASSERT_TRUE(q->enqueue(OutboundQueue::share(sent[1]), kList));
    for (std::size_t i = 2; i < sent.size(); ++i) ASSERT_TRUE(q->enqueue(OutboundQueue::share(sent[i])));
    ASSERT_TRUE(q->enqueue(OutboundQueue::share(update), OutboundQueue::Tag::updateOf(kList)));
    ASSERT_TRUE(q->enqueue(OutboundQueue::share(newer), kList));
    q->flush();
    EXPECT_FALSE(q->isClosed()) << "failure " << static_cast<int>(q->failure());
    EXPECT_EQ(q->queued(), 0u);

    sent[1] = newer;  // the list waiting in its place shows the newest
    Bytes want;
    for (const auto& b : sent) want.insert(want.end(), b.begin(), b.end());
    const Bytes end = record(0xEE, 0, 64);
    ASSERT_TRUE(q->send(end.data(), end.size()));
    want.insert(want.end(), end.begin(), end.end());
    EXPECT_TRUE(readBytes(p.client, want.size()) == want);
    ::close(p.client);
}

// Several threads send plain packets, snapshots of three keys and updates
// of them while a peer reads slowly at first (so the queue is behind and
// refreshes what waits, while the writer and the poller take chunks from
// under the senders), then fast. Every packet arrives whole, each sender's
// plain packets in order, each key's snapshots never older than one before,
// no update after a snapshot queued after it, every own update, and the
// last of each key is the newest queued.
TEST_F(OutboundQueueTest, SnapshotsFromManySendersArriveWholeAndEndWithTheNewest) {
    const SocketPair p = smallUnixPair();
    auto q = make(p.server);
    constexpr int kSenders = 4, kPerSender = 400, kKeys = 3;
    auto sizeOf = [](uint32_t seq) -> std::size_t { return 16 + (seq * 7919) % 9000; };
    std::mutex versions;  // the order in which snapshots are queued
    uint32_t version = 0;
    uint32_t newest[kKeys + 1] = {};  // the last version queued under each key
    std::size_t ownUpdates = 0;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (uint32_t i = 0; i < kPerSender; ++i) {
                if (i % 3 == 0) {
                    const Bytes r = record(static_cast<uint8_t>(s), i, sizeOf(i));
                    EXPECT_TRUE(q->send(r.data(), r.size()));
                    continue;
                }
                const auto key = static_cast<OutboundQueue::SnapshotKey>(1 + (i + s) % kKeys);
                const auto place = i % 7 == 0 ? OutboundQueue::Place::Own : OutboundQueue::Place::Shared;
                const bool update = i % 5 == 1;
                const OutboundQueue::Tag tag = update ? OutboundQueue::Tag::updateOf(key) : OutboundQueue::Tag(key);
                std::lock_guard<std::mutex> lock(versions);
                ++version;
                // 0x80: a snapshot; 0x40: an update, 0x20 marking an own one.
                const uint8_t kind = update ? (place == OutboundQueue::Place::Own ? 0x60 : 0x40) : 0x80;
                const Bytes r = record(static_cast<uint8_t>(kind | key), version, sizeOf(version));
                if (update) {
                    if (place == OutboundQueue::Place::Own) ++ownUpdates;
                } else {
                    newest[key] = version;
                }
                if (i % 2 == 0) {
                    EXPECT_TRUE(q->send(r.data(), r.size(), tag, place));
                } else {
                    EXPECT_TRUE(q->enqueue(OutboundQueue::share(r), tag, place));
                    q->flush();
                }
            }
        });
    }
    // An end mark behind everything, once all is sent.
    const Bytes end = record(0x7F, 0, 64);
    std::thread joiner([&] {
        for (auto& t : senders) t.join();
        EXPECT_TRUE(q->send(end.data(), end.size()));
    });

    Bytes got;
    uint8_t buf[65536];
    auto complete = [&] { return got.size() >= end.size() && std::equal(end.begin(), end.end(), got.end() - 64); };
    while (!complete()) {
        const ssize_t n = ::recv(p.client, buf, got.size() < 200 * 1024 ? 700 : sizeof buf, 0);
        ASSERT_GT(n, 0) << "after " << got.size() << " bytes";
        got.insert(got.end(), buf, buf + n);
    }
    joiner.join();

    uint32_t nextSeq[kSenders] = {};
    uint32_t lastVersion[kKeys + 1] = {};
    std::size_t ownSeen = 0;
    std::size_t off = 0;
    while (off + end.size() < got.size()) {
        const uint8_t who = got[off];
        uint32_t seq;
        std::memcpy(&seq, got.data() + off + 1, 4);
        const Bytes want = record(who, seq, sizeOf(seq));
        ASSERT_LE(off + want.size(), got.size());
        ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin() + static_cast<std::ptrdiff_t>(off)))
            << "the packet at " << off << " is whole";
        if (who & 0x80) {
            const int key = who & 0x7F;
            ASSERT_GE(seq, lastVersion[key]) << "key " << key << " went back to an older snapshot";
            lastVersion[key] = seq;
        } else if (who & 0x40) {
            const int key = who & 0x1F;
            ASSERT_LT(lastVersion[key], seq) << "an update of key " << key << " came after a snapshot that shows it";
            if (who & 0x20) ++ownSeen;
        } else {
            ASSERT_LT(who, kSenders);
            while (nextSeq[who] % 3 != 0) ++nextSeq[who];
            ASSERT_EQ(seq, nextSeq[who]) << "sender " << int(who);
            ++nextSeq[who];
        }
        off += want.size();
    }
    for (int k = 1; k <= kKeys; ++k) EXPECT_EQ(lastVersion[k], newest[k]) << "key " << k << " ends with the newest";
    EXPECT_EQ(ownSeen, ownUpdates) << "every own update arrives";
    EXPECT_EQ(q->queued(), 0u);
    ::close(p.client);
}

TEST_F(OutboundQueueTest, TheDescriptorIsClosedWithTheLastHolder) {
    const SocketPair p = smallUnixPair();
    auto q = make(p.server);
    const Bytes big(1 << 20, 0x55);
    ASSERT_TRUE(q->send(big.data(), big.size()));  // the poller watches it now
    q->close();
    EXPECT_NE(::fcntl(p.server, F_GETFD), -1) << "closed is not released";
    q.reset();
    EXPECT_TRUE(eventually([&] { return ::fcntl(p.server, F_GETFD) == -1; }, 3s));
    ::close(p.client);
}

}  // namespace
}  // namespace Korrafin::Test
