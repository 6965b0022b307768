// The plugins of one virtual server: loads every ".so" of a directory, hands
// each plugin its context and the host function table, forwards the virtual
// server's chat messages to them, runs their timers on a thread of its own
// and, when destroyed, shuts them down and closes their libraries.
//
// Threads: construction and loading on the start-up thread; onChatMessage on
// client reader threads; getLoadedPlugins on any thread; the timer functions
// from calls into plugins (the start-up thread, reader threads, the timer
// thread); destruction on the thread that tears the host down, after the
// virtual server stopped forwarding to it.
//
// Locks, in this order: pluginsMutex_ (held while the chat and other events
// call plugins, and while the list changes) -> tickMutex_ (held by the timer
// thread for a whole tick, callbacks included) -> timersMutex_ (the timer
// list only, never across a callback; a plugin call on one loader may take
// another loader's, to clear a timer there, and holds nothing else under
// it). The timer thread never takes pluginsMutex_. Nothing here takes a lock
// of the host.
//
// No exception crosses into a plugin or out of one: what a plugin throws is
// logged as a warning and the call counts as done (as a refusal for init).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pluginhost/PluginContext.h"
#include "sdk/korrafin_plugin.h"
#include "server/Server.h"
#include "vserver/EventSinks.h"

namespace Korrafin {

class UdpVoiceServer;
class VirtualServer;

class PluginLoader final : public PluginHost {
public:
    using PluginInfo = Korrafin::PluginInfo;

    // One pending timer. Held by shared pointer, so a tick keeps the timers
    // it collected while other threads append to the list.
    struct Timer {
        int id = 0;
        bool repeat = false;
        int intervalMs = 0;
        KRP_TimerCallback callback = nullptr;  // may be null
        void* userData = nullptr;
        KRP_Context* ctx = nullptr;            // handed back to the callback as given
        KRP_Context* owner = nullptr;          // the plugin whose call set it
        std::chrono::steady_clock::time_point due;  // read and written by the timer thread only
        std::atomic<bool> cancelled{false};    // set from any thread
    };

    // Starts the timer thread. `udp` must outlive the loader.
    PluginLoader(std::weak_ptr<VirtualServer> vs, UdpVoiceServer* udp, uint16_t vsId);
    // Stops the timer thread (a tick in progress completes), then unloadAll;
    // timers still pending are dropped uncalled.
    ~PluginLoader() override;

    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // What main installs in the host: for each virtual server a loader with
    // the relay, its plugins loaded from `dir`.
    static Server::PluginHostFactory factory(UdpVoiceServer& relay, std::string dir);

    // Loads every file of `dir` whose name is longer than 3 bytes and ends in
    // ".so", in directory order. Failures are logged, never reported.
    void loadAll(const std::string& dir);
    // True when the library loaded and its init accepted. A refused init has
    // its timers cancelled and any tick running one of them finished before
    // the library is closed.
    bool loadOne(const std::string& path);
    // Stops the timer thread, then calls every plugin's shutdown export and
    // closes its library, in load order; the list is empty afterwards.
    void unloadAll();

    // Events, to every plugin that exports the hook, in load order.
    void onChatMessage(uint32_t clientId, uint16_t channelId, const std::string& nick, const std::string& text,
                       uint64_t messageId) override;
    // Kept for plugins that export them; nothing in the server raises them.
    void onUserConnected(uint32_t clientId);
    void onUserDisconnected(uint32_t clientId);
    void onUserJoinChannel(uint32_t clientId, uint16_t channelId);
    void onUserLeaveChannel(uint32_t clientId, uint16_t channelId);
    void onChannelCreated(uint16_t channelId);
    void onChannelDeleted(uint16_t channelId);

    std::vector<PluginInfo> getLoadedPlugins() const override;

    // Timers. The id counts up from 1 per loader, back to 1 after INT_MAX.
    // A timer fires in the first tick at or after ms from now (the timer
    // thread wakes when the earliest is due); an interval is re-armed from the tick it fired in. The
    // owner is the plugin whose call runs on this thread (else `ctx`).
    int scheduleTimeout(int ms, KRP_TimerCallback callback, void* userData, KRP_Context* ctx);
    int scheduleInterval(int ms, KRP_TimerCallback callback, void* userData, KRP_Context* ctx);
    // Cancels the first pending timer with that id; unknown ids do nothing.
    // Any thread, also a call into a plugin of another loader.
    void cancelTimer(int id);
    // The next id of `counter` (kept in 1..INT_MAX).
    static int takeTimerId(std::atomic<int>& counter);

private:
    struct LoadedPlugin {
        std::string name;
        std::string version;
        std::string author;
        std::string description;
        std::string path;
        void* handle = nullptr;
        KRP_Context ctx;
        KRP_HostApi api{};
        KRP_PluginShutdownFn shutdown = nullptr;
        KRP_OnChatMessageFn onChatMessage = nullptr;
        KRP_OnUserConnectedFn onUserConnected = nullptr;
        KRP_OnUserDisconnectedFn onUserDisconnected = nullptr;
        KRP_OnUserJoinChannelFn onUserJoinChannel = nullptr;
        KRP_OnUserLeaveChannelFn onUserLeaveChannel = nullptr;
        void* onVoiceFrame = nullptr;  // its signature is not fixed; never called
        KRP_OnChannelCreatedFn onChannelCreated = nullptr;
        KRP_OnChannelDeletedFn onChannelDeleted = nullptr;
    };

    void fillHostApi(LoadedPlugin& plugin) const;
    // Calls `hook` of every plugin that has it, under pluginsMutex_; with
    // `scoped`, the timer functions work inside the call.
    template <class Hook, class... Args>
    void raise(Hook LoadedPlugin::*hook, const char* entry, bool scoped, Args... args);

    int schedule(bool repeat, int ms, KRP_TimerCallback callback, void* userData, KRP_Context* ctx);
    // Cancels and removes the timers of one plugin once no tick runs.
    void dropTimersOf(const KRP_Context* plugin);
    void stopTimerThread();
    void timerLoop();
    void runTick(std::chrono::steady_clock::time_point now);

    const std::weak_ptr<VirtualServer> vserver_;
    UdpVoiceServer* const udp_;
    const uint16_t vsId_;

    mutable std::mutex pluginsMutex_;
    std::deque<LoadedPlugin> plugins_;  // appending never moves a record

    std::mutex tickMutex_;
    std::mutex timersMutex_;
    std::vector<std::shared_ptr<Timer>> timers_;  // in order of creation
    std::condition_variable timersCv_;            // with timersMutex_: a timer added, or stop
    bool timersChanged_ = false;                  // timersMutex_; a timer was added since the last look
    const KRP_Context* droppedOwner_ = nullptr;     // a refused plugin whose timers are going
    std::atomic<int> nextTimerId_{1};
    std::atomic<bool> running_{true};
    std::mutex stopMutex_;  // serialises stopTimerThread
    std::thread timerThread_;
};

}  // namespace Korrafin
