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
              int& status, std::string* answer) {
        return platformHttpRequest(method, host.c_str(), path, body, status, answer);
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
    return transport_ && transport_(method, host, path, body, status, answer);
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

bool GlobalApiClient::detect(const Transport& transport, const Hosts& hosts, std::string& address, bool log) {
    auto& logger = Logger::instance();
    // One lookup, with a fresh answer each time.
    const auto lookup = [&](const std::string& host, const char* path, int& status) {
        std::string answer;
        std::string found;
        status = 0;
        if (!transport || !transport("GET", host, path, "", status, &answer)) return false;
        if (!parseIp(answer, found)) return false;
        address = found;
        return true;
    };

    int status = 0;
    if (lookup(hosts.directory, "/api/myip", status)) {
        if (log) logger.logf(LogLevel::Info, "[GlobalAPI] Public IP detected via {}/api/myip: {}", hosts.directory, address);
        return true;
    }
    if (log) logger.logf(LogLevel::Warn, "[GlobalAPI] /api/myip unreachable or returned no IP — trying fallback");

    if (lookup(hosts.addressEcho, "/?format=json", status)) {
        if (log) logger.logf(LogLevel::Info, "[GlobalAPI] Public IP detected via {}: {}", hosts.addressEcho, address);
        return true;
    }
    if (log) logger.logf(LogLevel::Warn, "[GlobalAPI] Fallback {} failed too (HTTP {})", hosts.addressEcho, status);

    if (lookup(hosts.addressEcho2, "/", status)) {
        if (log) logger.logf(LogLevel::Info, "[GlobalAPI] Public IP detected via {}: {}", hosts.addressEcho2, address);
        return true;
    }
    return false;
}

bool GlobalApiClient::autoDetectIp(std::string& address) { return detect(transport_, hosts_, address, true); }

bool GlobalApiClient::detectPublicIp(std::string& address) {
    return detect(platformTransport(), Hosts::builtIn(), address, false);
}

// ---------------------------------------------------------------- lifecycle

void GlobalApiClient::start(const std::string& name, const std::string& publicIpSetting, uint16_t port,
                            int maxSlots, const std::string& description, const std::string& country,
                            bool listed) {
    auto& logger = Logger::instance();
    name_ = name;
    port_ = port;
    maxSlots_ = maxSlots;
    description_ = description;
    country_ = country;
    listed_ = listed;

    if (publicIpSetting.empty() || publicIpSetting == "auto") {
        logger.logf(LogLevel::Info, "[GlobalAPI] Auto-detecting public IP via /api/myip ...");
        if (!autoDetectIp(publicIp_)) {
            logger.logf(LogLevel::Warn,
                        "[GlobalAPI] Could not detect public IP — GlobalAPI disabled. Set globalApi.publicIp "
                        "manually in server.json");
            return;
        }
        logger.logf(LogLevel::Info, "[GlobalAPI] Detected public IP: {}", publicIp_);
    } else {
        publicIp_ = publicIpSetting;
    }

    {
        std::lock_guard<std::mutex> lock(lifecycleMutex_);
        if (stopped_) return;
        std::lock_guard<std::mutex> wake(wakeMutex_);
        running_.store(true);
    }

    refreshUrls();

    int status = 0;
    const std::string body = buildRegisterBody(name_, publicIp_, port_, description_, country_, 0, maxSlots_,
                                               listed_, iconUrl_, bannerUrl_);
    if (request("POST", hosts_.directory, kRegisterPath, body, status, nullptr)) {
        logger.logf(LogLevel::Info, "[GlobalAPI] Server registered (ip={}, listed={})", publicIp_, listed_ ? 1 : 0);
    } else {
        logger.logf(LogLevel::Warn, "[GlobalAPI] Initial registration failed – will retry on next heartbeat");
    }

    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    if (!running_.load()) return;  // a stop came during the register; it has unregistered
    heartbeatThread_ = std::thread(&GlobalApiClient::heartbeatLoop, this);
}

void GlobalApiClient::addVirtualServer(SecondaryVS entry) {
    if (running_.load()) {
        const Urls urls = readUrls(entry.settingsProvider, {});
        const int users = readFigure(entry.usersProvider);
        int status = 0;
        request("POST", hosts_.directory, kRegisterPath,
                buildRegisterBody(entry.name, publicIp_, entry.port, "", country_, users, entry.maxSlots, listed_,
                                  urls.first, urls.second),
                status, nullptr);
        // The outcome is not examined: the heartbeats re-announce the listing.
        Logger::instance().logf(LogLevel::Info, "[GlobalAPI] Secondary VS '{}' registered (port={})", entry.name,
                                entry.port);
    }
    std::lock_guard<std::mutex> lock(secondariesMutex_);
    secondaries_.push_back(std::move(entry));
}

void GlobalApiClient::setSettingsProvider(std::function<Urls()> provider) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    settingsProvider_ = std::move(provider);
}

void GlobalApiClient::stop() {
    std::lock_guard<std::mutex> serial(lifecycleMutex_);
    stopped_ = true;
    {
        std::lock_guard<std::mutex> wake(wakeMutex_);
        if (!running_.exchange(false)) return;
    }
    wake_.notify_all();
    if (heartbeatThread_.joinable()) heartbeatThread_.join();

    std::vector<std::string> bodies;
    bodies.push_back(buildUnregisterBody(publicIp_, port_));
    {
        std::lock_guard<std::mutex> lock(secondariesMutex_);
        for (const auto& e : secondaries_) bodies.push_back(buildUnregisterBody(publicIp_, e.port));
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
                    if (transport) transport("DELETE", host, kUnregisterPath, body, status, &answer);
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

// ---------------------------------------------------------------- beats

void GlobalApiClient::heartbeatLoop() {
    auto deadline = std::chrono::steady_clock::now() + beatInterval_;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(wakeMutex_);
            wake_.wait_until(lock, deadline, [&] { return !running_.load(); });
            if (!running_.load()) return;
        }
        const auto t = std::chrono::steady_clock::now();
        try {
            beat();
        } catch (const std::exception& e) {
            Logger::instance().logf(LogLevel::Warn, "[GlobalAPI] Heartbeat failed: {}", e.what());
        }
        deadline = t + beatInterval_;
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
    } else {
        logger.logf(LogLevel::Warn, "[GlobalAPI] Heartbeat failed");
    }

    std::lock_guard<std::mutex> lock(secondariesMutex_);
    for (const auto& e : secondaries_) {
        const Urls urls = readUrls(e.settingsProvider, {});
        const int vsUsers = readFigure(e.usersProvider);
        if (!request("POST", hosts_.directory, kHeartbeatPath,
                     buildHeartbeatBody(publicIp_, e.port, e.name, "", vsUsers, listed_, e.maxSlots, e.maxSlots,
                                        urls.first, urls.second),
                     status, nullptr)) {
            logger.logf(LogLevel::Warn, "[GlobalAPI] Secondary VS {} heartbeat failed", e.port);
        }
    }
}

}  // namespace Korrafin
