// The host in this process against clients that try to stall, lock out or
// exhaust it: silent connections, many connections from one address, clients
// that log in and out as fast as they can against a large channel tree, and
// readers that stop or crawl while others chat, are kicked or the host shuts
// down.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "protocol/ChannelInfo.h"
#include "protocol/ClientSession.h"
#include "protocol/FileStore.h"
#include "support/SessionHarness.h"
#include "support/LogCapture.h"
#include "support/Ports.h"
#include "support/Requests.h"
#include "support/Sequences.h"
#include "support/ServerHost.h"
#include "support/TestClient.h"
#include "support/Time.h"
#include "support/Wire.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kt::eventually;
using kt::LogCapture;
using nlohmann::json;

class HostileClientsTest : public ::testing::Test {
protected:
    void SetUp() override { LogCapture::instance().clear(); }
    void TearDown() override {
        if (runner.joinable()) {
            host->server->stop();
            runner.join();
        }
    }

    void serve(const json& virtualServers) {
        kt::ServerConfig cfg;
        cfg.virtualServers = virtualServers;
        host = std::make_unique<kt::Host>(cfg);
        ASSERT_TRUE(host->ok);
        runner = std::thread([this] { host->server->run(); });
        ASSERT_TRUE(eventually([this] { return host->server->isRunning(); }));
    }
    Server& server() { return *host->server; }
    uint16_t port() const { return host->config.tcpPort; }

    std::unique_ptr<kt::TestClient> dial(const kt::DialOptions& o = {}) { return kt::TestClient::dial(port(), o); }
    // Logged in; null (and a failure) otherwise.
    std::unique_ptr<kt::TestClient> member(const std::string& nick, const std::string& key = "") {
        auto c = dial();
        if (!c || !c->hello() || !c->login(nick, key)) {
            ADD_FAILURE() << nick << " could not log in";
            return nullptr;
        }
        c->drain(50ms);
        return c;
    }

    std::unique_ptr<kt::Host> host;
    std::thread runner;
};

// A connection that says nothing (or chatters without logging in) is closed
// when its login time is up, so silence cannot hold a slot for ever.
TEST_F(HostileClientsTest, ConnectionsThatDoNotLogInAreClosedAtTheirDeadlineAndFreeTheirSlots) {
    serve(json::parse(R"([{"id":1,"maxSlots":4}])"));
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<kt::TestClient>> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(dial());
        ASSERT_TRUE(silent.back());
    }
    auto chatty = dial();
    ASSERT_TRUE(chatty && chatty->hello());
    ASSERT_TRUE(eventually([&] { return server().getVServer(1)->slotUsage() == 4; }, 10s));

    auto refused = dial();
    ASSERT_TRUE(refused);
    refused->send(kt::helloRequest());
    EXPECT_TRUE(refused->waitClosed()) << "full";

    // Chatter keeps the connection busy, not logged in.
    std::atomic<bool> chatting{true};
    std::thread chatter([&] {
        while (chatting.load()) {
            try {
                chatty->send(kt::packet(MessageType::Pong));
            } catch (const std::exception&) {
                return;
            }
            std::this_thread::sleep_for(300ms);
        }
    });
    for (auto& c : silent) EXPECT_TRUE(c->waitClosed(ClientSession::kLoginTimeout + 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, ClientSession::kLoginTimeout - 1s);
    EXPECT_TRUE(eventually([&] { return server().getVServer(1)->slotUsage() == 0; }, 10s));
    chatting = false;
    chatter.join();
    EXPECT_TRUE(chatty->waitClosed());
    EXPECT_EQ(LogCapture::instance().countContaining(": Login timed out"), 4u);

    auto late = member("late");
    EXPECT_TRUE(late) << "a normal login gets in after the deadline";
}

// One address may hold 16 connections that wait for their login; more are
// closed at accept (logged at most once a second), others are not affected,
// and a login makes room at once.
TEST_F(HostileClientsTest, OneAddressMayHaveSixteenConnectionsWaitingForTheirLogin) {
    serve(json::parse(R"([{"id":1,"maxSlots":64}])"));
    std::vector<std::unique_ptr<kt::TestClient>> waiting;
    for (std::size_t i = 0; i < Server::kMaxPendingLoginsPerAddress; ++i) {
        waiting.push_back(dial());
        ASSERT_TRUE(waiting.back());
    }
    ASSERT_TRUE(
        eventually([&] { return server().liveReaderCount() == Server::kMaxPendingLoginsPerAddress; }, 10s));

    for (int i = 0; i < 4; ++i) {
        auto extra = dial();
        ASSERT_TRUE(extra);
        extra->send(kt::helloRequest());
        EXPECT_TRUE(extra->waitClosed()) << "closed at accept";
        EXPECT_TRUE(extra->seen.empty());
    }
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "Connection from 127.0.0.1 refused: 16 connections "
                                                           "from it wait for their login"),
              1u);
    EXPECT_EQ(LogCapture::instance().countContaining("New connection from 127.0.0.1"),
              Server::kMaxPendingLoginsPerAddress)
        << "the refused ones leave no line each";

    auto elsewhere = dial({"127.0.0.2"});
    ASSERT_TRUE(elsewhere);
    EXPECT_TRUE(elsewhere->hello()) << "another address is not held up";

    ASSERT_TRUE(waiting[0]->hello() && waiting[0]->login("first"));
    auto next = dial();
    ASSERT_TRUE(next);
    EXPECT_TRUE(next->hello()) << "a login frees its place";
}

// Hundreds of clients (ten an address) say Hello and log in at the same
// moment, and one thread reads them all as fast as it can, so some fall
// behind while the others' lists pour in. Each gets its login in order (the
// lists in their places) and no packet names a channel before a list holds
// it, as a client that reads its sequence strictly needs.
TEST_F(HostileClientsTest, ALoginStormGivesEveryClientItsLoginInOrder) {
    constexpr int kClients = 300, kPerAddress = 10;
    serve(json::parse(R"([{"id":1,"maxSlots":1000}])"));
    std::vector<std::unique_ptr<kt::TestClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        const std::string source = "127.0.1." + std::to_string(1 + i / kPerAddress);
        clients.push_back(dial({source.c_str()}));
        ASSERT_TRUE(clients.back()) << i;
    }
    for (int i = 0; i < kClients; ++i) {
        auto bytes = kt::helloRequest();
        const auto auth = kt::authRequest("storm " + std::to_string(i));
        bytes.insert(bytes.end(), auth.begin(), auth.end());
        clients[i]->send(bytes);
    }

    // Until each has the answer to its entry into the lobby.
    std::vector<std::vector<kt::Packet>> got(kClients);
    std::vector<bool> done(kClients, false);
    int left = kClients;
    const auto deadline = std::chrono::steady_clock::now() + kt::kPatience;
    std::vector<pollfd> fds(kClients);
    while (left > 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << left << " clients did not finish their login";
        for (int i = 0; i < kClients; ++i) fds[i] = {done[i] ? -1 : clients[i]->fd(), POLLIN, 0};
        if (::poll(fds.data(), fds.size(), 1000) <= 0) continue;
        for (int i = 0; i < kClients; ++i) {
            if (done[i] || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ASSERT_TRUE(clients[i]->receiveNow()) << "client " << i << " was closed";
            while (auto p = clients[i]->next(0ms)) {
                const bool end = p->type == MessageType::ChannelJoinResult;
                got[i].push_back(std::move(*p));
                if (end) {
                    done[i] = true;
                    --left;
                    break;
                }
            }
        }
    }

    int outOfOrder = 0;
    for (int i = 0; i < kClients; ++i) {
        SCOPED_TRACE("client " + std::to_string(i));
        const std::size_t from = kt::firstOf(got[i], MessageType::AuthResponse);
        ASSERT_LT(from, got[i].size());
        const uint32_t self = kt::authResultOf(got[i][from]).clientId;
        const std::string order = kt::missingInOrder(got[i], kt::loginSequence(self, 1), from);
        const std::string listed = kt::unlistedChannel(got[i], {}, {}, from);
        if (!order.empty() || !listed.empty()) ++outOfOrder;
        EXPECT_EQ(order, "");
        EXPECT_EQ(listed, "");
        if (outOfOrder > 3) break;  // a few are enough to see what is wrong
    }
}

// ---------------------------------------------------------------- churn against a large channel tree

// 80 channels with 3000-byte descriptions: a channel list of about 240 KB,
// sent to every session at each join and leave.
class ChurnTest : public HostileClientsTest {
protected:
    static constexpr int kChannels = 80;
    static constexpr std::size_t kDescription = 3000;

    void SetUp() override {
        HostileClientsTest::SetUp();
        serve(json::parse(R"([{"id":1,"maxSlots":64}])"));
        vs = server().getVServer(1);
        ASSERT_TRUE(vs);
        for (int i = 0; i < kChannels; ++i) {
            ChannelInfo c;
            c.name = "room " + std::to_string(i);
            c.description.assign(kDescription, static_cast<char>('a' + i % 26));
            ASSERT_NE(vs->channelManager.createChannel(c), 0);
        }
        ASSERT_GT(vs->channelManager.listPacket().size(), 240000u);
    }
    void TearDown() override {
        churning = false;
        for (auto& t : churners) t.join();
        HostileClientsTest::TearDown();
    }

    // A client from `address` that logs in and closes, again and again, as
    // fast as it can until `churning` ends. With `oneAtATime` it comes back
    // only once the server has seen the close (the session is closed and may
    // wait for its removal): it never holds more than one open session.
    void churn(const std::string& address, bool oneAtATime = false) {
        churners.emplace_back([this, address, oneAtATime] {
            for (int i = 0; churning.load(); ++i) {
                auto c = dial({address.c_str()});
                if (!c) continue;
                try {
                    if (c->hello() && c->login("churn " + address + "/" + std::to_string(i))) ++cycles;
                } catch (const std::exception&) {
                    // Ended by the server: the next round.
                }
                c->close();
                if (oneAtATime && c->clientId != 0) awaitClosed(c->clientId);
            }
        });
    }

    // Until the server has closed client `id`'s session (it may still be in
    // the table, waiting for its removal).
    void awaitClosed(uint32_t id) const {
        EXPECT_TRUE(eventually([&] {
            const auto s = vs->findSession(id);
            return !s || s->isClosed();
        }));
    }

    // The payload of the last ChannelList `c` received (`seen` holds them).
    static std::optional<std::vector<uint8_t>> lastList(const std::vector<kt::Packet>& seen) {
        std::optional<std::vector<uint8_t>> last;
        for (const auto& p : seen)
            if (p.type == MessageType::ChannelList) last = p.payload;
        return last;
    }

    // The session of the one client with this nickname.
    std::shared_ptr<ClientSession> sessionOf(const std::string& nickname) const {
        for (const auto& s : vs->allSessions())
            if (s->nickname() == nickname) return s;
        return nullptr;
    }

    std::shared_ptr<VirtualServer> vs;
    std::atomic<bool> churning{true};
    std::atomic<int> cycles{0};
    std::vector<std::thread> churners;
};

// A member on a home link (a small receive window, read at 1 MB/s) while one
// guest logs in and out as fast as it can: every change makes a whole list
// for the member, about 500 KB per round. It stays, and ends with the
// current list.
TEST_F(ChurnTest, AMemberOnASlowLinkOutlastsOneGuestReconnectingAndEndsWithTheCurrentList) {
    constexpr double kBytesPerSecond = 1e6;
    constexpr auto kChurn = 30s;
    auto member = dial({nullptr, 32 * 1024});
    ASSERT_TRUE(member && member->hello() && member->login("langsam"));

    // The member's reader, the only user of `member` from here on: paced to
    // 1 MB/s; it ends at the marker or the end of the connection.
    std::mutex listMutex;
    std::optional<std::vector<uint8_t>> memberList;
    std::atomic<bool> markerSeen{false};
    std::atomic<bool> ended{false};
    std::jthread reader([&](std::stop_token stop) {
        const auto start = std::chrono::steady_clock::now();
        double bytes = 0;
        while (!stop.stop_requested()) {
            auto p = member->next(100ms);
            if (!p) {
                if (member->closed()) break;
                continue;
            }
            if (kt::isMarker(*p)) {
                markerSeen = true;
                break;
            }
            if (p->type == MessageType::ChannelList) {
                std::lock_guard<std::mutex> lock(listMutex);
                memberList = p->payload;
            }
            bytes += static_cast<double>(PacketHeader::kSize + p->payload.size());
            std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(bytes / kBytesPerSecond)));
        }
        ended = true;
    });

    churn("127.0.0.2");
    const auto until = std::chrono::steady_clock::now() + kChurn;
    while (std::chrono::steady_clock::now() < until && !ended.load()) std::this_thread::sleep_for(100ms);
    const auto memberSession = sessionOf("langsam");
    EXPECT_TRUE(memberSession && !memberSession->isClosed()) << "dropped during the churn";
    churning = false;
    for (auto& t : churners) t.join();
    churners.clear();
    EXPECT_GE(cycles.load(), 10) << "the guest hardly logged in";
    EXPECT_EQ(LogCapture::instance().countContaining("Send buffer full"), 0u);
    ASSERT_TRUE(memberSession);

    // The churn is over: a fresh client's last list is the current one.
    ASSERT_TRUE(eventually([&] { return vs->slotUsage() == 1; }));
    auto fresh = dial({"127.0.0.3"});
    ASSERT_TRUE(fresh && fresh->hello() && fresh->login("frisch"));
    const auto freshList = lastList(fresh->seen);
    ASSERT_TRUE(freshList);

    memberSession->send(kt::markerPacket());
    ASSERT_TRUE(eventually([&] { return ended.load(); }));
    reader.join();
    ASSERT_TRUE(markerSeen.load()) << "the member was dropped";
    std::lock_guard<std::mutex> lock(listMutex);
    ASSERT_TRUE(memberList);
    EXPECT_TRUE(*memberList == *freshList) << "the member was left with an older list";
}

// 24 clients from 24 addresses log in and out against the large tree while
// a member reads promptly. Every slot but one is taken by a client that is
// there or on its way in; those on their way out wait for their removal
// and hold none. A fresh client from another address gets in every time,
// within a bound that a sanitizer build on a loaded machine keeps (the load
// tool shows the figure of a release build), and the prompt reader is not
// dropped.
TEST_F(ChurnTest, AFreshClientGetsInWhileTwentyFourClientsComeAndGo) {
    constexpr int kChurners = 24, kFreshLogins = 5;
    constexpr auto kBound = 30s;
    // The churners, the member and the fresh client.
    auto config = vs->config();
    config.maxSlots = kChurners + 2;
    vs->setConfig(config);
    auto member = dial();
    ASSERT_TRUE(member && member->hello() && member->login("zuhoerer"));
    std::jthread reader([&](std::stop_token stop) {
        while (!stop.stop_requested() && !member->closed()) member->next(100ms);
    });

    for (int i = 0; i < kChurners; ++i) churn("127.0.0." + std::to_string(10 + i), /*oneAtATime=*/true);
    ASSERT_TRUE(eventually([&] { return cycles.load() >= kChurners; })) << "the churn never got going";

    for (int i = 0; i < kFreshLogins; ++i) {
        SCOPED_TRACE(i);
        const auto t0 = std::chrono::steady_clock::now();
        auto fresh = dial({"127.0.0.200"});
        ASSERT_TRUE(fresh);
        ASSERT_TRUE(fresh->hello()) << "refused";
        ASSERT_TRUE(fresh->login("frisch " + std::to_string(i)));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, kBound);
        fresh->close();
        awaitClosed(fresh->clientId);
    }
    const auto memberSession = sessionOf("zuhoerer");
    EXPECT_TRUE(memberSession && !memberSession->isClosed()) << "the prompt reader was dropped";
    EXPECT_EQ(LogCapture::instance().countContaining("server full"), 0u);
    EXPECT_EQ(LogCapture::instance().countContaining("Send buffer full"), 0u);
}

// ---------------------------------------------------------------- readers that stall

// A 2 MiB image in the store under a temporary working directory.
class SlowReadersTest : public HostileClientsTest {
protected:
    void SetUp() override {
        HostileClientsTest::SetUp();
        previous_ = fs::current_path();
        fs::current_path(dir_.path());
        fs::create_directory("files");
        kt::writeFile("files/big.png", std::string(FileStore::kMaxFileBytes, 'x'));
        serve(json::parse(R"([{"id":1,"serverKey":"k"}])"));
    }
    void TearDown() override {
        // The reading thread goes before the connection it reads.
        stopReading = true;
        if (crawler_.joinable()) crawler_.join();
        crawlerClient_.reset();
        HostileClientsTest::TearDown();
        fs::current_path(previous_);
    }

    // A member with a small receive window that asks for the image
    // `requests` times, then reads about 16 KiB a second (the fixture keeps
    // the connection until its reading thread has ended).
    kt::TestClient* crawler(int requests) {
        crawlerClient_ = dial({nullptr, 4096});
        kt::TestClient* c = crawlerClient_.get();
        if (!c || !c->hello() || !c->login("crawler")) {
            ADD_FAILURE() << "the crawler could not log in";
            return nullptr;
        }
        for (int i = 0; i < requests; ++i) c->send(kt::fileRequest("big.png"));
        crawler_ = std::thread([fd = c->fd(), this] {
            uint8_t buf[1024];
            while (!stopReading.load()) {
                if (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) == 0) return;
                std::this_thread::sleep_for(60ms);
            }
        });
        return c;
    }

    // Six connections that never read, not even their own HelloAck.
    std::vector<std::unique_ptr<kt::TestClient>> deafOnes() {
        std::vector<std::unique_ptr<kt::TestClient>> out;
        for (int i = 0; i < 6; ++i) {
            out.push_back(dial({nullptr, 2048}));
            if (out.back()) out.back()->send(kt::helloRequest());
        }
        return out;
    }

    std::atomic<bool> stopReading{false};

private:
    kt::TempDir dir_;
    fs::path previous_;
    std::unique_ptr<kt::TestClient> crawlerClient_;
    std::thread crawler_;
};

TEST_F(SlowReadersTest, ChatBetweenOthersIsNotHeldUpBySilentOrSlowReaders) {
    auto a = member("anna");
    auto b = member("ben");
    ASSERT_TRUE(a && b);
    auto deaf = deafOnes();
    auto slow = crawler(4);
    ASSERT_TRUE(slow);
    std::this_thread::sleep_for(300ms);  // the files are on their way

    for (int i = 0; i < 5; ++i) {
        const std::string text = "hallo " + std::to_string(i);
        const auto t0 = std::chrono::steady_clock::now();
        a->chat(text);
        const auto got = b->waitFor(MessageType::ChatMessage, 10s,
                                    [&](const kt::Packet& p) { return kt::chatOf(p).text == text; });
        ASSERT_TRUE(got) << text;
        // Held up, it waited seconds per reader; the bound allows for a loaded machine.
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s) << text;
    }
}

TEST_F(SlowReadersTest, AKickAndTheHostsShutdownTakeEffectWhateverASlowReaderDoes) {
    auto admin = member("admin", "k");
    auto b = member("ben");
    ASSERT_TRUE(admin && b);
    // Three images stay below its bound: it is still there to be kicked.
    auto slow = crawler(3);
    ASSERT_TRUE(slow);
    std::this_thread::sleep_for(300ms);
    uint32_t slowId = 0;
    for (const auto& s : server().getVServer(1)->allSessions())
        if (s->nickname() == "crawler") slowId = s->clientId();
    ASSERT_NE(slowId, 0u);

    const auto t0 = std::chrono::steady_clock::now();
    admin->send(kt::kickRequest(slowId, "zu langsam"));
    const auto left = b->waitFor(MessageType::UserLeft, 10s,
                                 [&](const kt::Packet& p) { return kt::firstU32(p) == slowId; });
    ASSERT_TRUE(left);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);

    // A second crawler is still reading when the host goes.
    stopReading = true;
    auto another = dial({nullptr, 4096});
    ASSERT_TRUE(another && another->hello() && another->login("crawler2"));
    for (int i = 0; i < 3; ++i) another->send(kt::fileRequest("big.png"));
    std::this_thread::sleep_for(300ms);
    const auto t1 = std::chrono::steady_clock::now();
    server().stop();
    runner.join();
    host->server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 5s);
}

}  // namespace
}  // namespace Korrafin
