// The directory client: announces the server (the main listing, for the main
// TCP port) and each virtual server with a port of its own (a secondary
// listing) to the directory service over HTTPS, beats every 30 seconds to
// keep the listings alive, and unregisters them at shutdown.
//
// One object, a member of the host for the life of the process; never copied.
// Threads: start and addVirtualServer on the start-up thread; neither waits
// for the service: the client's own thread resolves the address, sends the
// registers and runs the beats. stop from any thread (serialised: a second
// caller waits until the first has finished), the destructor calls it too;
// it aborts the requests in flight, so it waits for no service either. The
// unregister requests go out on a background thread that owns copies of what
// it sends and touches neither the client nor the host;
// waitForBackgroundRequests lets main wait for them (and join them) at exit.
//
// The client knows nothing of the host: the host hands it callables. They run
// on the client's thread, never under a lock of the client. Exceptions they
// throw count as "nothing to report".
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
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

    // One request: method ("POST", "DELETE", "GET"), host, path, body; the
    // contract of platformHttpRequest, a stop on the token included.
    using Transport =
        std::function<bool(const char* method, const std::string& host, const std::string& path,
                           const std::string& body, int& status, std::string* answer, std::stop_token stop)>;
    static Transport platformTransport();

    static constexpr auto kBeatInterval = std::chrono::seconds(30);
    // How long main waits at exit for unregister requests still in flight.
    static constexpr auto kExitWait = std::chrono::seconds(3);

    GlobalApiClient() : GlobalApiClient(HostFigures{}) {}
    explicit GlobalApiClient(HostFigures figures, Hosts hosts = Hosts::builtIn(),
                             Transport transport = platformTransport(),
                             std::chrono::milliseconds beatInterval = kBeatInterval);
    // Stops (joining the client's thread) when still running.
    ~GlobalApiClient();

    GlobalApiClient(const GlobalApiClient&) = delete;
    GlobalApiClient& operator=(const GlobalApiClient&) = delete;

    // Takes the main listing and returns at once; the client's thread then
    // resolves the public address ("auto" or empty: detect it; anything else
    // is taken verbatim), registers the main listing, then each virtual
    // server added after this call, and beats. Detection failing leaves the
    // client disabled for good. Once per process, on the start-up thread.
    void start(const std::string& name, const std::string& publicIpSetting, uint16_t port, int maxSlots,
               const std::string& description, const std::string& country, bool listed);
    // Adds the entry to the beats. One added after start is also registered,
    // by the client's thread, once the main listing's register went out.
    void addVirtualServer(SecondaryVS entry);
    // Aborts the requests in flight, ends the client's thread and, when the
    // address was known, unregisters every listing in the background. Only
    // the first call acts; a start after it does nothing.
    void stop();

    // The main listing's URLs. Installed after start, so the first register
    // carries empty ones (start reads them); read by each beat. Any thread.
    void setSettingsProvider(std::function<Urls()> provider);

    // Generic requests to the directory host; stop aborts them.
    bool post(const std::string& path, const std::string& body);
    bool del(const std::string& path, const std::string& body);
    bool get(const std::string& path, std::string& answer);

    // The three address lookups in order, logging what they find; stop
    // aborts them (and what is left is not logged).
    bool autoDetectIp(std::string& address);
    // The same without logging, over the built-in hosts.
    static bool detectPublicIp(std::string& address);

    // True from start until stop, or until detection failed.
    bool isRunning() const { return running_.load(); }

    // Waits until no unregister request is in flight, at most `limit`, then
    // joins their threads. True when none is left.
    static bool waitForBackgroundRequests(std::chrono::milliseconds limit);

private:
    struct Listing {
        SecondaryVS vs;
        bool toRegister = false;  // added after start, register not yet sent
    };

    // The client's thread: address, registers, beats.
    void run(const std::string& publicIpSetting);
    bool resolveAddress(const std::string& publicIpSetting);
    void registerMain();
    // Sends the register of each listing waiting for one, in the order added.
    void registerAdded();
    // Re-reads the main listing's URLs from the settings provider (keeps the
    // last ones when it has none or fails). Start and the client's thread only.
    void refreshUrls();
    void beat();
    bool request(const char* method, const std::string& host, const std::string& path, const std::string& body,
                 int& status, std::string* answer);
    static bool detect(const Transport& transport, const Hosts& hosts, std::string& address, bool log,
                       const std::stop_token& stop);

    const HostFigures figures_;
    const Hosts hosts_;
    const Transport transport_;
    const std::chrono::milliseconds beatInterval_;

    // The main listing. Written by start before the client's thread exists,
    // read afterwards; the URLs are rewritten by that thread alone, the
    // address is written by it once and read by stop after the join.
    std::string name_;
    std::string publicIp_;
    bool addressKnown_ = false;
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
    std::mutex lifecycleMutex_;  // serialises start and stop
    bool stopped_ = false;       // lifecycleMutex_; a stop came, no thread may start after it
    std::stop_source stop_;      // requested by stop: ends the waits and the requests of the client's thread
    std::thread thread_;

    std::mutex listingsMutex_;            // never held over a request or a callable
    std::condition_variable_any added_;   // a listing to register came, or the stop
    bool started_ = false;                // listingsMutex_
    std::vector<Listing> secondaries_;    // listingsMutex_; order added, never shrinks
    bool toRegister_ = false;             // listingsMutex_; some entry waits for its register
};

}  // namespace Korrafin
