// A server with nothing to do sleeps: its threads (accept loops, idle
// workers, voice relay threads, plugin timers) wait in blocking calls instead
// of waking on a tick.
#include <fstream>
#include <string>

#include "e2e/E2eFixture.h"

namespace Korrafin::Test {
namespace {

using IdleServerTest = E2eTest;

// Voluntary context switches of all threads of `pid` so far: each is a
// wake-up after the thread went to sleep.
long wakeUps(pid_t pid) {
    long sum = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) sum += std::stol(line.substr(24));
        }
    }
    return sum;
}

TEST_F(IdleServerTest, AnIdleServerBarelyWakes) {
    writeConfig(nlohmann::json::parse(R"([{"id":1},{"id":2}])"));
    auto server = startReady();
    ASSERT_GT(server->pid(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // start-up settles
    const long before = wakeUps(server->pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long woken = wakeUps(server->pid()) - before;
    // A 10 ms tick in each idle worker and a 1 ms plugin timer tick came to
    // well over a thousand a second; blocking waits leave a handful (the
    // send poller's quarter-second round, a sanitizer's own thread).
    EXPECT_LT(woken, 100) << "wake-ups in one idle second";
    stopCleanly(*server);
}

}  // namespace
}  // namespace Korrafin::Test
