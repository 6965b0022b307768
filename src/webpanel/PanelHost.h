// What the web panel needs of the process host: the registry of virtual
// servers and the hook that ends the bot sessions of a revoked token. The
// host implements it; the panel keeps a plain pointer and the host outlives
// every call (WebPanelServer::stop waits for the connection threads, and the
// host stops the panel before it disconnects its clients).
// Every operation may be called from any thread; none throws on a refusal.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "vserver/VirtualServer.h"

namespace Korrafin {

class PanelHost {
public:
    virtual ~PanelHost() = default;

    // Every virtual server, paused ones included, in ascending id order.
    virtual std::vector<std::shared_ptr<VirtualServer>> allVServers() const = 0;
    virtual std::shared_ptr<VirtualServer> getVServer(uint16_t id) const = 0;
    virtual bool isVServerRunning(uint16_t id) const = 0;
    enum class CreateResult {
        Created,
        InvalidDbPath,  // the database path is refused; nothing was made
        Failed,         // any other refusal: the id exists, the database or the port fails
    };
    // Where `cfg.dbPath` came from.
    enum class DbPathSource {
        Typed,    // the panel's user wrote it
        Default,  // left blank: the server's own ./data/vs_<id>.db
    };
    // `cfg.dbPath` is read as written (relative to the working directory)
    // and kept so. It must be neither the master's nor a live virtual
    // server's database, nor one of their -journal, -wal or -shm files. A
    // typed path must moreover land, once ".." and the symbolic links of
    // existing folders are resolved, on a file inside the master database's
    // folder or below it; the default is taken wherever the master lives. A
    // create that fails keeps nothing: the database file and the folders it
    // made go, what was there before stays.
    virtual CreateResult createVServer(const VirtualServer::VSConfig& cfg, DbPathSource source) = 0;
    virtual bool removeVServer(uint16_t id) = 0;
    virtual bool pauseVServer(uint16_t id) = 0;
    virtual bool resumeVServer(uint16_t id) = 0;
    // Writes the live virtual servers back into the configuration file;
    // false when the file was not written.
    virtual bool saveVServersToConfig() = 0;
    // A bot token was deleted from the master database: its bots go.
    virtual void onBotTokenRevoked(int64_t tokenId) = 0;
};

}  // namespace Korrafin
