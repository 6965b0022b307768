// The real binary with peers that do not keep up: a standard output nobody
// reads, and a client that reads its files at a crawl while the server is
// told to stop.
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "e2e/E2eFixture.h"
#include "support/TestClient.h"
#include "support/Wire.h"

namespace Korrafin::Test {
namespace {

using SlowPeersTest = E2eTest;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(SlowPeersTest, AStandardOutputNobodyReadsHoldsUpNoClientAndTheLogFileStaysComplete) {
    writeConfig(nlohmann::json::parse(R"([{"id":1,"maxSlots":500}])"));
    auto server = start({"server.json"}, ServerProcess::Stdout::Pipe);
    ASSERT_TRUE(server->waitForOutput(kReadyLine)) << server->errors();
    // From here on nobody reads standard output: a few lines fill the pipe.

    constexpr int kConnections = 80;
    for (int i = 0; i < kConnections; ++i) {
        // Each from an address of its own: the per-address limit is not the
        // subject here.
        const std::string from = "127.0.1." + std::to_string(i + 1);
        auto c = TestClient::dial(tcpPort, {from.c_str()});
        ASSERT_TRUE(c);
        ASSERT_TRUE(c->hello()) << "connection " << i << " got no HelloAck";
    }
    auto a = TestClient::dial(tcpPort);
    auto b = TestClient::dial(tcpPort);
    ASSERT_TRUE(a && b && a->hello() && b->hello() && a->login("anna") && b->login("ben"));
    a->chat("trotz allem");
    EXPECT_TRUE(b->waitFor(MessageType::ChatMessage, 5000ms,
                           [](const Packet& p) { return chatOf(p).text == "trotz allem"; }));

    // Stopping does not wait for the pipe either.
    server->signal(SIGTERM);
    const auto status = server->waitExit(10s);
    ASSERT_TRUE(status) << "still running after the signal";
    EXPECT_EQ(*status, 0);

    const std::string log = readFile(path("korrafin.log"));
    EXPECT_EQ(occurrences(log, "New connection from 127.0."), static_cast<std::size_t>(kConnections + 2));
    EXPECT_NE(log.find("Server shutdown complete"), std::string::npos);
}

TEST_F(SlowPeersTest, SigtermEndsTheServerAtOnceWhileAClientReadsAtACrawl) {
    std::filesystem::create_directories(path("files"));
    writeFile(path("files/big.png"), std::string(2 * 1024 * 1024, 'x'));
    writeConfig(nlohmann::json::parse(R"([{"id":1}])"));
    auto server = startReady();

    auto slow = TestClient::dial(tcpPort, {nullptr, 4096});
    ASSERT_TRUE(slow && slow->hello() && slow->login("schnecke"));
    for (int i = 0; i < 3; ++i) slow->send(fileRequest("big.png"));
    std::atomic<bool> reading{true};
    std::thread crawl([&, fd = slow->fd()] {
        uint8_t buf[1024];
        while (reading.load()) {
            if (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) == 0) return;
            std::this_thread::sleep_for(60ms);
        }
    });
    std::this_thread::sleep_for(500ms);

    const auto exit = server->stopWith(SIGTERM, 20s);
    reading = false;
    crawl.join();
    ASSERT_TRUE(exit.status) << "still running after the signal";
    EXPECT_EQ(*exit.status, 0) << server->output() << server->errors();
    // Held up, it took a minute; the bound allows for a sanitizer's exit.
    EXPECT_LT(exit.took, 5s);
}

}  // namespace
}  // namespace Korrafin::Test
