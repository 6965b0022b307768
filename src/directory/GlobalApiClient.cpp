#include "directory/GlobalApiClient.h"

#include <exception>

#include "core/Logger.h"
#include "directory/DirectoryRequests.h"

#ifndef KORRAFIN_DIRECTORY_HOST
#error "KORRAFIN_DIRECTORY_HOST is set by the build"
#endif
#ifndef KORRAFIN_DIRECTORY_ADDR_HOST
#error "KORRAFIN_DIRECTORY_ADDR_HOST is set by the build"
#endif
#ifndef KORRAFIN_DIRECTORY_ADDR2_HOST
#error "KORRAFIN_DIRECTORY_ADDR2_HOST is set by the build"
#endif

namespace Korrafin {

namespace {

constexpr const char* kRegisterPath = "/api/servers/register";
constexpr const char* kHeartbeatPath = "/api/servers/heartbeat";
constexpr const char* kUnregisterPath = "/api/servers/unregister";

// Unregister threads still sending. Never destroyed: a thread that outlives
// main's wait may still count itself off while the process ends. The threads
// are kept to be joined: one that has counted itself off still runs the TLS
// library's thread-local clean-up, which must end before the process does.
struct Flights {
    std::mutex mutex;
    std::condition_variable done;
    int inFlight = 0;
    std::vector<std::thread> threads;  // mutex
};
Flights& flights() {
    static Flights* f = new Flights;
    return *f;
}

int readFigure(const std::function<int()>& f) {
    if (!f) return 0;
    try {
        return f();
    } catch (const std::exception&) {
        return 0;
    }
}

// The URLs a provider yields; `fallback` when there is none or it throws.
GlobalApiClient::Urls readUrls(const std::function<GlobalApiClient::Urls()>& f, GlobalApiClient::Urls fallback) {
    if (!f) return fallback;
    try {
        return f();
    } catch (const std::exception&) {
        return fallback;
    }
}

}  // namespace

GlobalApiClient::Hosts GlobalApiClient::Hosts::builtIn() {
    return Hosts{KORRAFIN_DIRECTORY_HOST, KORRAFIN_DIRECTORY_ADDR_HOST, KORRAFIN_DIRECTORY_ADDR2_HOST};
}

GlobalApiClient::Transport GlobalApiClient::platformTransport() {
    return [](const char* method, const std::string& host, const std::string& path, const std::string& body,
              int& status, std::string* answer, std::stop_token stop) {
        return platformHttpRequest(method, host.c_str(), path, body, status, answer, std::move(stop));
    };
}

GlobalApiClient::GlobalApiClient(HostFigures figures, Hosts hosts, Transport transport,
                                 std::chrono::milliseconds beatInterval)
    : figures_(std::move(figures)),
      hosts_(std::move(hosts)),
      transport_(std::move(transport)),
      beatInterval_(beatInterval) {}

GlobalApiClient::~GlobalApiClient() { stop(); }

// ---------------------------------------------------------------- requests

bool GlobalApiClient::request(const char* method, const std::string& host, const std::string& path,
                              const std::string& body, int& status, std::string* answer) {
    status = 0;
    return transport_ && transport_(method, host, path, body, status, answer, stop_.get_token());
}

bool GlobalApiClient::post(const std::string& path, const std::string& body) {
    int status = 0;
    return request("POST", hosts_.directory, path, body, status, nullptr);
}

bool GlobalApiClient::del(const std::string& path, const std::string& body) {
    int status = 0;
    return request("DELETE", hosts_.directory, path, body, status, nullptr);
}

bool GlobalApiClient::get(const std::string& path, std::string& answer) {
    int status = 0;
    return request("GET", hosts_.directory, path, "", status, &answer);
}

// ---------------------------------------------------------------- address

bool GlobalApiClient::detect(const Transport& transport, const Hosts& hosts, std::string& address, bool log,
                             const std::stop_token& stop) {
    auto& logger = Logger::instance();
    // One lookup, with a fresh answer each time.
    const auto lookup = [&](const std::string& host, const char* path, int& status) {
        std::string answer;
        std::string found;
        status = 0;
        if (!transport || !transport("GET", host, path, "", status, &answer, stop)) return false;
        if (!parseIp(answer, found)) return false;
        address = found;
        return true;
    };

    int status = 0;
    if (lookup(hosts.directory, "/api/myip", status)) {
        if (log) logger.logf(LogLevel::Info, "[GlobalAPI] Public IP detected via {}/api/myip: {}", hosts.directory, address);
        return true;
    }
    // A lookup that a stop cut short is no finding to report.
    if (stop.stop_requested()) return false;
    if (log) logger.logf(LogLevel::Warn, "[GlobalAPI] /api/myip unreachable or returned no IP — trying fallback");

    if (lookup(hosts.addressEcho, "/?format=json", status)) {
        if (log) logger.logf(LogLevel::Info, "[GlobalAPI] Public IP detected via {}: {}", hosts.addressEcho, address);
        return true;
    }
    if (stop.stop_requested()) return false;
    if (log) logger.logf(LogLevel::Warn, "[GlobalAPI] Fallback {} failed too (HTTP {})", hosts.addressEcho, status);

    if (lookup(hosts.addressEcho2, "/", status)) {
        if (log) logger.logf(LogLevel::Info, "[GlobalAPI] Public IP detected via {}: {}", hosts.addressEcho2, address);
        return true;
    }
    return false;
}

bool GlobalApiClient::autoDetectIp(std::string& address) {
    return detect(transport_, hosts_, address, true, stop_.get_token());
}

bool GlobalApiClient::detectPublicIp(std::string& address) {
    return detect(platformTransport(), Hosts::builtIn(), address, false, {});
}

// ---------------------------------------------------------------- lifecycle

void GlobalApiClient::start(const std::string& name, const std::string& publicIpSetting, uint16_t port,
                            int maxSlots, const std::string& description, const std::string& country,
                            bool listed) {
    std::lock_guard<std::mutex> serial(lifecycleMutex_);
    if (stopped_ || thread_.joinable()) return;
    name_ = name;
    port_ = port;
    maxSlots_ = maxSlots;
    description_ = description;
    country_ = country;
    listed_ = listed;
    // The main register carries the URLs of this moment: start-up installs
    // the provider only after start.
    refreshUrls();
    {
        std::lock_guard<std::mutex> lock(listingsMutex_);
        started_ = true;
    }
    // Set before the thread exists: a failed detection there clears it.
    running_.store(true);
    try {
        thread_ = std::thread(&GlobalApiClient::run, this, publicIpSetting);
    } catch (...) {
        running_.store(false);
        throw;
    }
}

void GlobalApiClient::addVirtualServer(SecondaryVS entry) {
    {
        std::lock_guard<std::mutex> lock(listingsMutex_);
        secondaries_.push_back({std::move(entry), started_});
        toRegister_ = toRegister_ || started_;
    }
    added_.notify_all();
}

void GlobalApiClient::setSettingsProvider(std::function<Urls()> provider) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    settingsProvider_ = std::move(provider);
}

void GlobalApiClient::stop() {
    std::lock_guard<std::mutex> serial(lifecycleMutex_);
    if (stopped_) return;
    stopped_ = true;
    running_.store(false);
    // Wakes the client's thread out of its wait or its request.
    stop_.request_stop();
    if (thread_.joinable()) thread_.join();
    // Nothing was announced without an address: nothing to withdraw.
    if (!addressKnown_) return;

    std::vector<std::string> bodies;
    bodies.push_back(buildUnregisterBody(publicIp_, port_));
    {
        std::lock_guard<std::mutex> lock(listingsMutex_);
        for (const auto& l : secondaries_) bodies.push_back(buildUnregisterBody(publicIp_, l.vs.port));
    }

    Flights& f = flights();
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        ++f.inFlight;
    }
    try {
        std::thread sender([transport = transport_, host = hosts_.directory, bodies = std::move(bodies)] {
            for (const auto& body : bodies) {
                int status = 0;
                std::string answer;
                try {
                    // Not aborted: main bounds its wait for these at exit.
                    if (transport) transport("DELETE", host, kUnregisterPath, body, status, &answer, {});
                } catch (const std::exception&) {
                    // Unregistering is best effort: the listing times out at the service.
                }
            }
            Flights& fl = flights();
            std::lock_guard<std::mutex> lock(fl.mutex);
            --fl.inFlight;
            fl.done.notify_all();
        });
        std::lock_guard<std::mutex> lock(f.mutex);
        f.threads.push_back(std::move(sender));
    } catch (const std::exception&) {
        std::lock_guard<std::mutex> lock(f.mutex);
        --f.inFlight;
        f.done.notify_all();
    }
    Logger::instance().logf(LogLevel::Info, "[GlobalAPI] Server unregistering (background)");
}

bool GlobalApiClient::waitForBackgroundRequests(std::chrono::milliseconds limit) {
    Flights& f = flights();
    std::vector<std::thread> finished;
    {
        std::unique_lock<std::mutex> lock(f.mutex);
        if (!f.done.wait_for(lock, limit, [&] { return f.inFlight == 0; })) return false;
        finished.swap(f.threads);
    }
    // Their requests are done; joining waits only for their thread-local clean-up.
    for (auto& t : finished) t.join();
    return true;
}

// ---------------------------------------------------------------- the client's thread

void GlobalApiClient::run(const std::string& publicIpSetting) {
    const std::stop_token stop = stop_.get_token();
    try {
        if (!resolveAddress(publicIpSetting)) return;
        registerMain();
        auto deadline = std::chrono::steady_clock::now() + beatInterval_;
        for (;;) {
            registerAdded();
            {
                std::unique_lock<std::mutex> lock(listingsMutex_);
                added_.wait_until(lock, stop, deadline, [&] { return toRegister_; });
                if (stop.stop_requested()) return;
                if (toRegister_) continue;
            }
            const auto t = std::chrono::steady_clock::now();
            try {
                beat();
            } catch (const std::exception& e) {
                Logger::instance().logf(LogLevel::Warn, "[GlobalAPI] Heartbeat failed: {}", e.what());
            }
            deadline = t + beatInterval_;
        }
    } catch (const std::exception& e) {
        // Only an allocation failure gets here: the server goes on without
        // its listings.
        Logger::instance().logf(LogLevel::Warn, "[GlobalAPI] Directory client stopped: {}", e.what());
    }
}

bool GlobalApiClient::resolveAddress(const std::string& publicIpSetting) {
    auto& logger = Logger::instance();
    std::string address;
    if (publicIpSetting.empty() || publicIpSetting == "auto") {
        logger.logf(LogLevel::Info, "[GlobalAPI] Auto-detecting public IP via /api/myip ...");
        if (!autoDetectIp(address)) {
            if (stop_.stop_requested()) return false;
            running_.store(false);
            logger.logf(LogLevel::Warn,
                        "[GlobalAPI] Could not detect public IP — GlobalAPI disabled. Set globalApi.publicIp "
                        "manually in server.json");
            return false;
        }
        logger.logf(LogLevel::Info, "[GlobalAPI] Detected public IP: {}", address);
    } else {
        address = publicIpSetting;
    }
    publicIp_ = address;
    addressKnown_ = true;
    return true;
}

void GlobalApiClient::registerMain() {
    auto& logger = Logger::instance();
    int status = 0;
    const std::string body = buildRegisterBody(name_, publicIp_, port_, description_, country_, 0, maxSlots_,
                                               listed_, iconUrl_, bannerUrl_);
    if (request("POST", hosts_.directory, kRegisterPath, body, status, nullptr)) {
        logger.logf(LogLevel::Info, "[GlobalAPI] Server registered (ip={}, listed={})", publicIp_, listed_ ? 1 : 0);
    } else if (!stop_.stop_requested()) {
        logger.logf(LogLevel::Warn, "[GlobalAPI] Initial registration failed – will retry on next heartbeat");
    }
}

void GlobalApiClient::registerAdded() {
    std::vector<SecondaryVS> fresh;
    {
        std::lock_guard<std::mutex> lock(listingsMutex_);
        for (auto& l : secondaries_) {
            if (!l.toRegister) continue;
            fresh.push_back(l.vs);
            l.toRegister = false;
        }
        toRegister_ = false;
    }
    for (const auto& e : fresh) {
        const Urls urls = readUrls(e.settingsProvider, {});
        const int users = readFigure(e.usersProvider);
        int status = 0;
        request("POST", hosts_.directory, kRegisterPath,
                buildRegisterBody(e.name, publicIp_, e.port, "", country_, users, e.maxSlots, listed_, urls.first,
                                  urls.second),
                status, nullptr);
        if (stop_.stop_requested()) return;
        // The outcome is not examined: the heartbeats re-announce the listing.
        Logger::instance().logf(LogLevel::Info, "[GlobalAPI] Secondary VS '{}' registered (port={})", e.name, e.port);
    }
}

void GlobalApiClient::refreshUrls() {
    std::function<Urls()> provider;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        provider = settingsProvider_;
    }
    // The provider may read the database: it runs outside the lock.
    const Urls urls = readUrls(provider, {iconUrl_, bannerUrl_});
    iconUrl_ = urls.first;
    bannerUrl_ = urls.second;
}

void GlobalApiClient::beat() {
    auto& logger = Logger::instance();
    refreshUrls();

    const int users = readFigure(figures_.currentUsers);
    int status = 0;
    const std::string body = buildHeartbeatBody(publicIp_, port_, name_, description_, users, listed_, maxSlots_,
                                                readFigure(figures_.totalSlotsConfigured), iconUrl_, bannerUrl_);
    if (request("POST", hosts_.directory, kHeartbeatPath, body, status, nullptr)) {
        logger.logf(LogLevel::Trace, "[GlobalAPI] Heartbeat OK (users={})", users);
    } else if (!stop_.stop_requested()) {
        logger.logf(LogLevel::Warn, "[GlobalAPI] Heartbeat failed");
    }

    // A snapshot: the requests go out without the lock, so adding a listing
    // never waits for a beat.
    std::vector<SecondaryVS> listings;
    {
        std::lock_guard<std::mutex> lock(listingsMutex_);
        for (const auto& l : secondaries_) listings.push_back(l.vs);
    }
    for (const auto& e : listings) {
        if (stop_.stop_requested()) return;
        const Urls urls = readUrls(e.settingsProvider, {});
        const int vsUsers = readFigure(e.usersProvider);
        if (!request("POST", hosts_.directory, kHeartbeatPath,
                     buildHeartbeatBody(publicIp_, e.port, e.name, "", vsUsers, listed_, e.maxSlots, e.maxSlots,
                                        urls.first, urls.second),
                     status, nullptr) &&
            !stop_.stop_requested()) {
            logger.logf(LogLevel::Warn, "[GlobalAPI] Secondary VS {} heartbeat failed", e.port);
        }
    }
}

}  // namespace Korrafin
