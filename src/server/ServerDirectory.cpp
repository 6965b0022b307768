// The host's side of the directory client: the listings it announces at
// start-up and the callables through which the client reads them later.
#include "directory/GlobalApiClient.h"
#include "server/Server.h"

namespace Korrafin {

GlobalApiClient::SecondaryVS Server::directoryEntryFor(const std::shared_ptr<VirtualServer>& vs) {
    const VirtualServer::VSConfig cfg = vs->config();
    GlobalApiClient::SecondaryVS entry;
    entry.name = cfg.name;
    entry.port = cfg.tcpPort;
    entry.maxSlots = cfg.maxSlots;
    // The client keeps its entries for the life of the process, while a
    // virtual server may be removed: the callables must not keep it alive or
    // reach it once it is gone.
    const std::weak_ptr<VirtualServer> weak = vs;
    entry.usersProvider = [weak] {
        const auto live = weak.lock();
        return live ? static_cast<int>(live->slotUsage()) : 0;
    };
    entry.settingsProvider = [weak]() -> GlobalApiClient::Urls {
        const auto live = weak.lock();
        if (!live) return {};
        const DB::DbServerSettings s = live->getServerSettings();
        return {s.icon_url, s.banner_url};
    };
    return entry;
}

GlobalApiClient::Urls Server::firstVServerUrls() const {
    std::shared_ptr<VirtualServer> first;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        if (vservers_.empty()) return {};
        first = vservers_.begin()->second;
    }
    // Read after the lock: the settings come from the database.
    const DB::DbServerSettings s = first->getServerSettings();
    return {s.icon_url, s.banner_url};
}

void Server::startDirectory() {
    const std::string publicIp = config_.get<std::string>("globalApi.publicIp", "auto");
    const bool listed = config_.get<bool>("globalApi.listed", true);
    const std::string description = config_.get<std::string>("globalApi.description", "");
    const std::string country = config_.get<std::string>("globalApi.country", "DE");

    std::string name = "Korrafin Server";
    int slots = 32;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        if (!vservers_.empty()) {
            const auto cfg = vservers_.begin()->second->config();
            name = cfg.name;
            slots = cfg.maxSlots;
        }
    }
    // Returns at once; the client's thread resolves the address and registers.
    directory_.start(name, publicIp, tcpPort_, slots, description, country, listed);
    // Installed only now: the main register carries the URLs start found
    // (none), the beats carry the first virtual server's.
    directory_.setSettingsProvider([this] { return firstVServerUrls(); });

    std::vector<GlobalApiClient::SecondaryVS> entries;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        for (const auto& [id, vs] : vservers_) {
            if (vs->config().tcpPort != 0) entries.push_back(directoryEntryFor(vs));
        }
    }
    for (auto& e : entries) directory_.addVirtualServer(std::move(e));
}

}  // namespace Korrafin
