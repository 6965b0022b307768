// The host in this process against clients that try to stall, lock out or
// exhaust it: silent connections, many connections from one address, and
// readers that stop or crawl while others chat, are kicked or the host shuts
// down.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "protocol/ClientSession.h"
#include "protocol/FileStore.h"
#include "support/LogCapture.h"
#include "support/Ports.h"
#include "support/Requests.h"
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
