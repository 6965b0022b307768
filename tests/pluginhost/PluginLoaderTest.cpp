// A loader with real plugin libraries on a virtual server with members:
// which files load, refusals and their log lines, events, throws from plugin
// code, a refused init with a running timer, unloading, and the timers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TestPlugins.h"
#include "pluginhost/HostImpl.h"
#include "pluginhost/PluginLoader.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/Time.h"
#include "support/VServerWorld.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
namespace plugin = kt::plugin;
using namespace std::chrono_literals;
using kt::eventually;
using kt::LogCapture;
using kt::receivedSoFar;

class PluginLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        member = &world.join(10, "ana", UserRole::Member, 1);
        loader = std::make_unique<PluginLoader>(world.vs, nullptr, world.vs->id());
    }

    std::string install(const std::string& built, const std::string& name) {
        return kt::installPlugin(built, dir.path(), name);
    }

    std::vector<std::string> loadedNames() const {
        std::vector<std::string> names;
        for (const auto& p : loader->getLoadedPlugins()) names.push_back(p.name);
        return names;
    }

    // What the member received as chat: "<sender name>: <text>".
    std::vector<std::string> chatSeen() {
        std::vector<std::string> lines;
        for (const auto& p : receivedSoFar(*member)) {
            if (p.type != MessageType::ChatMessage) continue;
            const auto c = kt::chatOf(p);
            lines.push_back(c.nickname + ": " + c.text);
        }
        return lines;
    }

    static std::size_t logged(const std::string& message) { return LogCapture::instance().count(message); }

    kt::VServerWorld world;
    kt::SessionHarness* member = nullptr;
    kt::TempDir dir;
    std::unique_ptr<PluginLoader> loader;
};

// ---------------------------------------------------------------- what is loaded

TEST_F(PluginLoaderTest, OnlyNamesEndingInDotSoAreTried) {
    install(plugin::probe, "a.so");
    for (const char* skipped : {"a.so.1", "a.SO", ".so", "so"}) install(plugin::probe, skipped);
    std::filesystem::create_directory(dir.path() / "sub.so");

    loader->loadAll(dir.path().string());
    EXPECT_EQ(loadedNames(), std::vector<std::string>{"Probe"});
    EXPECT_EQ(logged("PluginLoader: loaded 'Probe' v2.5 by Tester"), 1u);
    EXPECT_EQ(logged("PluginLoader: failed to load '" + dir.file("sub.so") + "'"), 1u)
        << "a directory with the ending reaches the loader and fails there";
    EXPECT_EQ(LogCapture::instance().countContaining("PluginLoader: "), 2u) << "nothing else was tried";
}

TEST_F(PluginLoaderTest, AMissingDirectoryLogsOnceAndAnEmptyOneNothing) {
    loader->loadAll(dir.file("nowhere"));
    EXPECT_EQ(logged("PluginLoader: no plugins in '" + dir.file("nowhere") + "'"), 1u);
    LogCapture::instance().clear();
    loader->loadAll(dir.path().string());
    EXPECT_TRUE(LogCapture::instance().lines().empty());
    EXPECT_TRUE(loader->getLoadedPlugins().empty());
}

TEST_F(PluginLoaderTest, RefusedPluginsAreLoggedLeftOutAndNeverCalledAgain) {
    kt::writeFile(dir.file("junk.so"), "not a shared object");
    struct Case {
        std::string path;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {dir.file("junk.so"), "PluginLoader: failed to load '" + dir.file("junk.so") + "'"},
        {install(plugin::noInit, "no_init.so"), "PluginLoader: '" + dir.file("no_init.so") + "' missing entry points"},
        {install(plugin::nullInfo, "null_info.so"),
         "PluginLoader: '" + dir.file("null_info.so") + "' returned null metadata"},
        {install(plugin::init7, "init_7.so"), "PluginLoader: 'Refusing' init returned 7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        LogCapture::instance().clear();
        EXPECT_FALSE(loader->loadOne(c.path));
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, c.warning), 1u);
        EXPECT_TRUE(loader->getLoadedPlugins().empty());
    }
    EXPECT_EQ(logged("[Refusing] init ran"), 1u);

    // Files after a refused one still load.
    kt::TempDir mixed;
    kt::installPlugin(plugin::init7, mixed.path(), "refuses.so");
    kt::installPlugin(plugin::probe, mixed.path(), "probe.so");
    loader->loadAll(mixed.path().string());
    EXPECT_EQ(loadedNames(), std::vector<std::string>{"Probe"});

    loader->onChatMessage(10, 1, "ana", "hello", 1);
    loader.reset();
    EXPECT_EQ(logged("[Refusing] chat ran"), 0u);
    EXPECT_EQ(logged("[Refusing] shutdown ran"), 0u);
}

TEST_F(PluginLoaderTest, AnInfoOfNullsIsListedEmptyAndSpeaksUnderBareBrackets) {
    ASSERT_TRUE(loader->loadOne(install(plugin::emptyInfo, "empty.so")));
    const auto listed = loader->getLoadedPlugins();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name + listed[0].version + listed[0].author + listed[0].description, "");
    EXPECT_TRUE(listed[0].loaded);
    EXPECT_EQ(logged("PluginLoader: loaded '' v by "), 1u);

    loader->onChatMessage(10, 1, "ana", "hello", 5);
    EXPECT_EQ(chatSeen(), std::vector<std::string>{"[]: anon"});
}

// ---------------------------------------------------------------- events and throws

TEST_F(PluginLoaderTest, AThrowFromPluginCodeIsLoggedAndTheOthersGoOn) {
    ASSERT_TRUE(loader->loadOne(install(plugin::throwing, "throwing.so")));
    ASSERT_TRUE(loader->loadOne(install(plugin::probe, "probe.so")));
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn,
                                               "PluginLoader: 'Throwing' threw from a timer callback: timer boom"))
        << "the timer thread survives a throwing callback";

    loader->onChatMessage(10, 1, "ana", "echo still here", 5);
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn,
                                           "PluginLoader: 'Throwing' threw from krp_on_chat_message: chat boom"),
              1u);
    EXPECT_EQ(chatSeen(), std::vector<std::string>{"[Probe]: still here"}) << "the next plugin got the message";

    // "stop" clears the throwing interval from inside the chat hook (with a
    // null context); a timer due later than its next tick then fires alone.
    loader->onChatMessage(10, 1, "ana", "stop", 6);
    const std::size_t throwsBefore = LogCapture::instance().countContaining("threw from a timer callback");
    std::atomic<bool> fired{false};
    loader->scheduleTimeout(
        30, [](KRP_Context*, void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }, &fired, nullptr);
    ASSERT_TRUE(eventually([&] { return fired.load(); }));
    // A callback already running when the clear came may still have thrown.
    EXPECT_LE(LogCapture::instance().countContaining("threw from a timer callback"), throwsBefore + 1);
}

TEST_F(PluginLoaderTest, ARefusedInitWaitsForItsRunningTimerAndDropsItsOthers) {
    // The plugin refuses while its first timer's callback is still inside
    // the library: closing the library then would pull the code from under it.
    EXPECT_FALSE(loader->loadOne(install(plugin::failAfterTimer, "fail.so")));
    EXPECT_EQ(logged("[FailAfterTimer] tick done"), 1u) << "the callback finished before the load returned";
    EXPECT_EQ(logged("PluginLoader: 'FailAfterTimer' init returned 1"), 1u);

    // Its 1 ms interval and 300 ms timeout were dropped: neither runs before
    // a timer due after both.
    std::atomic<bool> fired{false};
    loader->scheduleTimeout(
        400, [](KRP_Context*, void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }, &fired, nullptr);
    ASSERT_TRUE(eventually([&] { return fired.load(); }, 5000ms));
    EXPECT_EQ(logged("[FailAfterTimer] late timer ran"), 0u);
}

TEST_F(PluginLoaderTest, ShutdownRunsOncePerPluginInLoadOrderBeforeTheLibraryCloses) {
    ASSERT_TRUE(loader->loadOne(install(plugin::probe, "probe.so")));
    ASSERT_TRUE(loader->loadOne(install(plugin::emptyInfo, "empty.so")));
    ASSERT_TRUE(loader->loadOne(install(plugin::rearm, "rearm.so")));  // has no shutdown export
    LogCapture::instance().clear();
    loader.reset();
    std::vector<std::string> lines;
    for (const auto& l : LogCapture::instance().lines())
        if (l.message.find("shutdown") != std::string::npos) lines.push_back(l.message);
    EXPECT_EQ(lines, (std::vector<std::string>{"[Probe] shutdown 0", "[] shutdown ran"}));
}

// ---------------------------------------------------------------- timers

// A callback for timers the test sets itself: counts its calls.
struct Counter {
    std::atomic<int> calls{0};
    static void hit(KRP_Context*, void* self) { ++static_cast<Counter*>(self)->calls; }
};

TEST_F(PluginLoaderTest, TimerIdsCountFromOnePerLoaderAcrossPluginsAndKinds) {
    const std::string path = install(plugin::probe, "probe.so");
    ASSERT_TRUE(loader->loadOne(path));
    ASSERT_TRUE(loader->loadOne(path));  // the same object again: a second context
    EXPECT_EQ(logged("[Probe] init 0: timeout 1, own thread -1"), 1u);
    EXPECT_EQ(logged("[Probe] init 1: timeout 2, own thread -1"), 1u);
    Counter c;
    EXPECT_EQ(loader->scheduleInterval(60000, Counter::hit, &c, nullptr), 3);

    PluginLoader other(world.vs, nullptr, world.vs->id());
    EXPECT_EQ(other.scheduleTimeout(60000, Counter::hit, &c, nullptr), 1) << "every loader counts on its own";
}

TEST_F(PluginLoaderTest, TimerIdsStayPositiveWhenTheCounterRunsOut) {
    std::atomic<int> counter{INT_MAX - 1};
    EXPECT_EQ(PluginLoader::takeTimerId(counter), INT_MAX - 1);
    EXPECT_EQ(PluginLoader::takeTimerId(counter), INT_MAX);
    EXPECT_EQ(PluginLoader::takeTimerId(counter), 1);
    EXPECT_EQ(PluginLoader::takeTimerId(counter), 2);
}

TEST_F(PluginLoaderTest, TimeoutsFireOnceIntervalsUntilCancelledAndDueTimesInThePastAtOnce) {
    Counter zero, negative, once, interval, nullFired;
    loader->scheduleTimeout(0, Counter::hit, &zero, nullptr);
    loader->scheduleTimeout(-5, Counter::hit, &negative, nullptr);
    loader->scheduleTimeout(1, Counter::hit, &once, nullptr);
    const int every = loader->scheduleInterval(1, Counter::hit, &interval, nullptr);
    loader->scheduleTimeout(0, nullptr, nullptr, nullptr);   // vanishes at its due time
    loader->scheduleInterval(0, nullptr, nullptr, nullptr);  // stays, re-armed, uncalled
    ASSERT_TRUE(eventually([&] { return interval.calls.load() >= 5; }));
    EXPECT_EQ(zero.calls.load(), 1);
    EXPECT_EQ(negative.calls.load(), 1);
    EXPECT_EQ(once.calls.load(), 1);

    loader->cancelTimer(every);
    loader->cancelTimer(every);  // twice, and ids nobody has: nothing happens
    loader->cancelTimer(4242);
    const int afterCancel = interval.calls.load();
    loader->scheduleTimeout(20, Counter::hit, &nullFired, nullptr);
    ASSERT_TRUE(eventually([&] { return nullFired.calls.load() == 1; }));
    // The tick that ran when the cancel came may have called it once more.
    EXPECT_LE(interval.calls.load(), afterCancel + 1);
}

// What the callbacks of the next test do, on the timer thread.
struct Chain {
    KRP_Context ctx;
    std::atomic<int> selfId{0};
    std::atomic<bool> cancelled{false};
    std::atomic<int> callsAfterCancel{0};
    std::atomic<int> setFromCallback{0};
    // Written on the timer thread before `secondRan` is set.
    std::chrono::steady_clock::time_point firstEnded;
    std::chrono::steady_clock::time_point secondStarted;
    std::atomic<bool> secondRan{false};

    static void cancelsItself(KRP_Context*, void* self) {
        auto* c = static_cast<Chain*>(self);
        if (c->cancelled) {
            ++c->callsAfterCancel;
            return;
        }
        const int id = c->selfId.load();
        if (id == 0) return;  // the test has not learnt the id yet
        HostImpl::hostApi().clear_timer(nullptr, id);  // a null context is fine here
        c->cancelled = true;
    }
    static void setsAnother(KRP_Context* ctx, void* self) {
        auto* c = static_cast<Chain*>(self);
        c->setFromCallback = HostImpl::hostApi().set_timeout(ctx, 0, second, self);
        c->firstEnded = std::chrono::steady_clock::now();
    }
    static void second(KRP_Context*, void* self) {
        auto* c = static_cast<Chain*>(self);
        c->secondStarted = std::chrono::steady_clock::now();
        c->secondRan = true;
    }
};

TEST_F(PluginLoaderTest, CallbacksMayCancelThemselvesAndSetTimersForALaterTick) {
    Chain chain;
    chain.selfId = loader->scheduleInterval(0, Chain::cancelsItself, &chain, &chain.ctx);
    loader->scheduleTimeout(0, Chain::setsAnother, &chain, &chain.ctx);
    ASSERT_TRUE(eventually([&] { return chain.secondRan.load() && chain.cancelled.load(); }));
    EXPECT_GE(chain.setFromCallback.load(), 1) << "set_timeout works inside a timer callback";
    EXPECT_GE(chain.secondStarted - chain.firstEnded, 1ms) << "a timer set in a tick fires in a later one";

    Counter marker;
    loader->scheduleTimeout(20, Counter::hit, &marker, nullptr);
    ASSERT_TRUE(eventually([&] { return marker.calls.load() == 1; }));
    EXPECT_EQ(chain.callsAfterCancel.load(), 0) << "cancelled inside its own call: not called again";
    EXPECT_EQ(HostImpl::hostApi().set_timeout(&chain.ctx, 0, nullptr, nullptr), -1) << "back on the test thread";
}

TEST_F(PluginLoaderTest, TimerFunctionsActOnTheVirtualServerOfTheContextTheyAreGiven) {
    // One object on two virtual servers: each load's interval has id 1 in
    // its own loader.
    kt::VServerWorld second;
    PluginLoader other(second.vs, nullptr, second.vs->id());
    const std::string path = install(plugin::crossTimers, "cross.so");
    ASSERT_TRUE(loader->loadOne(path));
    ASSERT_TRUE(other.loadOne(path));
    ASSERT_EQ(logged("[CrossTimers] init 0: interval 1"), 1u);
    ASSERT_EQ(logged("[CrossTimers] init 1: interval 1"), 1u);

    // Inside a call on the first, with the second's context: the clear
    // reaches the second's interval; setting for it is refused.
    loader->onChatMessage(10, 1, "ana", "cross", 1);
    EXPECT_EQ(logged("[CrossTimers] cross 0: foreign timeout -1, foreign interval -1, own timeout 2"), 1u);
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Info, "[CrossTimers] 0 ticks on"))
        << "the caller's own interval of the same number goes on";
    Counter marker;
    other.scheduleTimeout(20, Counter::hit, &marker, nullptr);
    ASSERT_TRUE(eventually([&] { return marker.calls.load() == 1; }));
    EXPECT_EQ(logged("[CrossTimers] 1 ticks on"), 0u) << "the second's interval was cleared";
}

TEST_F(PluginLoaderTest, APluginReArmingA1msTimerWithBurstsKeepsFiring) {
    // Each callback appends to the timer list while the tick still walks
    // the timers it collected.
    ASSERT_TRUE(loader->loadOne(install(plugin::rearm, "rearm.so")));
    EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Info, "[Rearm] fired 300", 20000ms));
}

}  // namespace
}  // namespace Korrafin
