// The directory client: announces the server (the main listing, for the main
// TCP port) and each virtual server with a port of its own (a secondary
// listing) to the directory service over HTTPS, beats every 30 seconds to
// keep the listings alive, and unregisters them at shutdown.
//
// One object, a member of the host for the life of the process; never copied.
// Threads: start and addVirtualServer on the start-up thread; the heartbeat
// thread runs the beats; stop from any thread (serialised: a second caller
// waits until the first has finished), the destructor calls it too. The
// unregister requests go out on a background thread that owns copies of what
// it sends and touches neither the client nor the host;
// waitForBackgroundRequests lets main wait for them (and join them) at exit.
//
// The client knows nothing of the host: the host hands it callables. They run
// on the heartbeat thread and the start-up thread, never under a lock of the
// client except secondariesMutex_ (which comes before any lock of a virtual
// server). Exceptions they throw count as "nothing to report".
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Korrafin {

class GlobalApiClient {
public:
    using Urls = std::pair<std::string, std::string>;  // icon URL, banner URL

    // One virtual server with its own TCP port; the host builds it and moves
    // it in. Empty callables report 0 users and empty URLs.
    struct SecondaryVS {
        std::string name;
        uint16_t port = 0;
        int maxSlots = 0;  // "max_slots" and "total_slots_configured"
        std::function<int()> usersProvider;
        std::function<Urls()> settingsProvider;
    };

    // What the client reads of the host: the users connected now and the
    // slots of all virtual servers. The host keeps both counters; an empty
    // callable reads 0.
    struct HostFigures {
        std::function<int()> currentUsers;
        std::function<int()> totalSlotsConfigured;
    };

    // The services' host names; built-in ones are fixed when building.
    struct Hosts {
        std::string directory;
        std::string addressEcho;   // asked when the directory does not tell the address
        std::string addressEcho2;  // the last one asked
        static Hosts builtIn();
    };

    // One request: method ("POST", "DELETE", "GET"), host, path, body;
    // the contract of platformHttpRequest.
    using Transport = std::function<bool(const char* method, const std::string& host, const std::string& path,
                                         const std::string& body, int& status, std::string* answer)>;
    static Transport platformTransport();

    static constexpr auto kBeatInterval = std::chrono::seconds(30);
    // How long main waits at exit for unregister requests still in flight.
    static constexpr auto kExitWait = std::chrono::seconds(3);

    GlobalApiClient() : GlobalApiClient(HostFigures{}) {}
    explicit GlobalApiClient(HostFigures figures, Hosts hosts = Hosts::builtIn(),
                             Transport transport = platformTransport(),
                             std::chrono::milliseconds beatInterval = kBeatInterval);
    // Stops (joining the heartbeat thread) when still running.
    ~GlobalApiClient();

    GlobalApiClient(const GlobalApiClient&) = delete;
    GlobalApiClient& operator=(const GlobalApiClient&) = delete;

    // Resolves the public address ("auto" or empty: detect it; anything else
    // is taken verbatim), registers the main listing and starts the heartbeat
    // thread. Detection failing leaves the client disabled for good. Once
    // per process, on the start-up thread; blocks for the requests.
    void start(const std::string& name, const std::string& publicIpSetting, uint16_t port, int maxSlots,
               const std::string& description, const std::string& country, bool listed);
    // Registers the entry at once when running, and adds it to the beats in
    // any case.
    void addVirtualServer(SecondaryVS entry);
    // Ends the beats (waits for one in progress) and unregisters every
    // listing in the background. Only the first call after a start acts.
    void stop();

    // The main listing's URLs. Installed after start, so the first register
    // carries empty ones; read by each beat. Any thread.
    void setSettingsProvider(std::function<Urls()> provider);

    // Generic requests to the directory host.
    bool post(const std::string& path, const std::string& body);
    bool del(const std::string& path, const std::string& body);
    bool get(const std::string& path, std::string& answer);

    // The three address lookups in order, logging what they find.
    bool autoDetectIp(std::string& address);
    // The same without logging, over the built-in hosts.
    static bool detectPublicIp(std::string& address);

    bool isRunning() const { return running_.load(); }

    // Waits until no unregister request is in flight, at most `limit`, then
    // joins their threads. True when none is left.
    static bool waitForBackgroundRequests(std::chrono::milliseconds limit);

private:
    void heartbeatLoop();
    // Re-reads the main listing's URLs from the settings provider (keeps the
    // last ones when it has none or fails). Start and the heartbeat thread only.
    void refreshUrls();
    void beat();
    bool request(const char* method, const std::string& host, const std::string& path, const std::string& body,
                 int& status, std::string* answer);
    static bool detect(const Transport& transport, const Hosts& hosts, std::string& address, bool log);

    const HostFigures figures_;
    const Hosts hosts_;
    const Transport transport_;
    const std::chrono::milliseconds beatInterval_;

    // The main listing. Written by start before the heartbeat thread exists,
    // read afterwards; the URLs are rewritten by the heartbeat thread alone.
    std::string name_;
    std::string publicIp_;
    uint16_t port_ = 0;
    int maxSlots_ = 32;
    std::string description_;
    std::string country_;
    bool listed_ = true;
    std::string iconUrl_;
    std::string bannerUrl_;

    mutable std::mutex settingsMutex_;
    std::function<Urls()> settingsProvider_;  // settingsMutex_

    std::atomic<bool> running_{false};
    std::mutex lifecycleMutex_;  // serialises stop, and start's hand-over to the thread
    bool stopped_ = false;       // lifecycleMutex_; a stop came, no thread may start after it
    std::thread heartbeatThread_;

    std::mutex wakeMutex_;  // the heartbeat thread's wait
    std::condition_variable wake_;

    std::mutex secondariesMutex_;
    std::vector<SecondaryVS> secondaries_;  // secondariesMutex_; order added, never shrinks
};

}  // namespace Korrafin
