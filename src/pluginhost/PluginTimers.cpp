// Plugin timers: one list and one thread per loader. The thread sleeps until
// the earliest timer is due, or until a timer is added or the loader stops;
// without timers it does not wake at all.
#include <algorithm>
#include <climits>
#include <exception>
#include <optional>

#include "core/Logger.h"
#include "pluginhost/GuardedCall.h"
#include "pluginhost/HostImpl.h"
#include "pluginhost/PluginLoader.h"

namespace Korrafin {

int PluginLoader::takeTimerId(std::atomic<int>& counter) {
    int id = counter.load(std::memory_order_relaxed);
    for (;;) {
        // Ids stay positive: -1 is the refusal plugins test for.
        if (id < 1) id = 1;
        const int next = id == INT_MAX ? 1 : id + 1;
        if (counter.compare_exchange_weak(id, next, std::memory_order_relaxed)) return id;
    }
}

int PluginLoader::scheduleTimeout(int ms, KRP_TimerCallback callback, void* userData, KRP_Context* ctx) {
    return schedule(false, ms, callback, userData, ctx);
}

int PluginLoader::scheduleInterval(int ms, KRP_TimerCallback callback, void* userData, KRP_Context* ctx) {
    return schedule(true, ms, callback, userData, ctx);
}

int PluginLoader::schedule(bool repeat, int ms, KRP_TimerCallback callback, void* userData, KRP_Context* ctx) {
    auto timer = std::make_shared<Timer>();
    timer->id = takeTimerId(nextTimerId_);
    timer->repeat = repeat;
    timer->intervalMs = ms;
    timer->callback = callback;
    timer->userData = userData;
    timer->ctx = ctx;
    timer->owner = HostImpl::tl_plugin ? HostImpl::tl_plugin : ctx;
    timer->due = std::chrono::steady_clock::now() + std::chrono::nanoseconds(static_cast<int64_t>(ms) * 1000000);
    const int id = timer->id;
    {
        std::lock_guard<std::mutex> lock(timersMutex_);
        if (timer->owner && timer->owner == droppedOwner_) return -1;
        timers_.push_back(std::move(timer));
        timersChanged_ = true;
    }
    timersCv_.notify_one();
    return id;
}

void PluginLoader::cancelTimer(int id) {
    std::lock_guard<std::mutex> lock(timersMutex_);
    const auto it = std::find_if(timers_.begin(), timers_.end(), [id](const auto& t) { return t->id == id; });
    if (it != timers_.end()) (*it)->cancelled.store(true);
}

void PluginLoader::dropTimersOf(const KRP_Context* plugin) {
    const auto owned = [plugin](const auto& t) { return t->owner == plugin || t->ctx == plugin; };
    {
        // From here on no tick calls them, and a callback of the plugin that
        // is still running cannot set new ones.
        std::lock_guard<std::mutex> lock(timersMutex_);
        droppedOwner_ = plugin;
        for (const auto& t : timers_) {
            if (owned(t)) t->cancelled.store(true);
        }
    }
    // The tick that may be running one of them has ended once this is held.
    std::lock_guard<std::mutex> tick(tickMutex_);
    std::lock_guard<std::mutex> lock(timersMutex_);
    std::erase_if(timers_, owned);
    droppedOwner_ = nullptr;
}

void PluginLoader::stopTimerThread() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    {
        // Under the list's mutex, so the timer thread cannot miss it between
        // its look at the flag and its wait.
        std::lock_guard<std::mutex> timers(timersMutex_);
        running_.store(false);
    }
    timersCv_.notify_all();
    if (timerThread_.joinable()) timerThread_.join();
}

void PluginLoader::timerLoop() {
    // A millisecond passes between the end of one tick and the start of the
    // next, so a timer set in a tick fires in a later one.
    constexpr auto kTickSpacing = std::chrono::milliseconds(1);
    auto lastTick = std::chrono::steady_clock::now() - kTickSpacing;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(timersMutex_);
            if (!running_.load()) break;
            std::optional<std::chrono::steady_clock::time_point> next;
            for (const auto& t : timers_) {
                if (!t->cancelled.load() && (!next || t->due < *next)) next = t->due;
            }
            timersChanged_ = false;
            const auto woken = [this] { return !running_.load() || timersChanged_; };
            bool changed = true;
            if (next) {
                changed = timersCv_.wait_until(lock, std::max(*next, lastTick + kTickSpacing), woken);
            } else {
                timersCv_.wait(lock, woken);
            }
            if (!running_.load()) break;
            if (changed) continue;  // look at the list again before ticking
        }
        {
            std::lock_guard<std::mutex> tick(tickMutex_);
            try {
                runTick(std::chrono::steady_clock::now());
            } catch (const std::exception& e) {
                // Only the host's own bookkeeping can throw here (callbacks are
                // guarded); the thread keeps going.
                Logger::instance().logf(LogLevel::Error, "PluginLoader: timer tick failed: {}", e.what());
            }
        }
        lastTick = std::chrono::steady_clock::now();
    }
}

void PluginLoader::runTick(std::chrono::steady_clock::time_point now) {
    std::vector<std::shared_ptr<Timer>> due;
    {
        std::lock_guard<std::mutex> lock(timersMutex_);
        for (const auto& t : timers_) {
            if (!t->cancelled.load() && t->due <= now) due.push_back(t);
        }
    }

    for (const auto& t : due) {
        if (t->cancelled.load()) continue;
        if (t->callback) {
            HostImpl::PluginCallScope scope(this, t->owner);
            guardedPluginCall(t->owner ? t->owner->pluginName : std::string(), "a timer callback",
                              [&] { t->callback(t->ctx, t->userData); });
        }
        if (!t->repeat || t->cancelled.load()) {
            t->cancelled.store(true);
        } else {
            t->due = now + std::chrono::nanoseconds(static_cast<int64_t>(t->intervalMs) * 1000000);
        }
    }

    std::lock_guard<std::mutex> lock(timersMutex_);
    std::erase_if(timers_, [](const auto& t) { return t->cancelled.load(); });
}

}  // namespace Korrafin
