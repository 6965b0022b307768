// The registry of virtual servers: create, pause, resume, remove, look-ups,
// and the "virtualServers" rewrite of the configuration file.
//
// Each lifecycle operation holds the lifecycle lock of its id for its whole
// run, so two operations on one id never interleave; the registry mutex is
// taken only for the map steps inside it.
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "auth/PrivilegeKeyManager.h"
#include "core/Logger.h"
#include "core/Socket.h"
#include "core/Utf8.h"
#include "db/SqliteDatabase.h"
#include "server/ConfigFile.h"
#include "server/Server.h"

namespace Korrafin {

namespace {

// True when both paths name one database file: the same file on disk, or,
// while it does not exist yet, the same path once made absolute.
bool sameDatabaseFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec)) return true;
    const auto ca = std::filesystem::weakly_canonical(a, ec);
    if (ec) return a == b;
    const auto cb = std::filesystem::weakly_canonical(b, ec);
    if (ec) return a == b;
    return ca == cb;
}

// The files SQLite keeps beside a database while it is open or was cut short.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// True when `path`, read as written (relative to the working directory),
// names a file inside the folder of `masterPath` or below it, once ".." and
// the symbolic links of existing folders are resolved. It must be valid UTF-8
// without NUL (the path is stored in the configuration file, and SQLite would
// stop reading at a NUL), name a file rather than a folder, and not be a link
// that leads nowhere (opening it would create its target, wherever that is).
bool landsInFolderOf(const std::string& masterPath, const std::string& path) {
    namespace fs = std::filesystem;
    if (path.empty() || path.find('\0') != std::string::npos || !isValidUtf8(path)) return false;
    const fs::path written(path);
    const fs::path last = written.filename();
    if (last.empty() || last == "." || last == "..") return false;
    std::error_code ec;
    const fs::path lands = fs::weakly_canonical(fs::absolute(written, ec), ec);
    if (ec) return false;
    const fs::path folder = fs::weakly_canonical(fs::absolute(masterPath, ec), ec).parent_path();
    if (ec) return false;
    const auto [f, l] = std::mismatch(folder.begin(), folder.end(), lands.begin(), lands.end());
    if (f != folder.end() || l == lands.end()) return false;
    const fs::file_status st = fs::symlink_status(lands, ec);
    if (ec) return ec == std::errc::no_such_file_or_directory;
    return fs::is_regular_file(st);
}

// What opening a database at `path` may add to the disk: the folders above
// it that are missing, and the file and its companions where they are
// absent. Noted before the open, so that a failed create takes back exactly
// what it made and leaves alone what was there.
class NewOnDisk {
public:
    explicit NewOnDisk(const std::string& path) {
        namespace fs = std::filesystem;
        std::error_code ec;
        const auto present = [&](const fs::path& p) { return fs::exists(fs::symlink_status(p, ec)); };
        if (!present(path)) files_.push_back(path);
        for (const char* suffix : kCompanionSuffixes) {
            if (!present(path + suffix)) files_.push_back(path + suffix);
        }
        for (fs::path p = fs::path(path).parent_path(); !p.empty() && !present(p); p = p.parent_path()) {
            folders_.push_back(p);  // deepest first
            if (p == p.parent_path()) break;
        }
    }

    // Once nothing holds the database open. A folder goes only when it is
    // empty (rmdir refuses a name ending in "." or ".." anyway).
    void remove() const {
        for (const auto& f : files_) ::unlink(f.c_str());
        for (const auto& d : folders_) ::rmdir(d.c_str());
    }

private:
    std::vector<std::string> files_;
    std::vector<std::filesystem::path> folders_;
};

// Closes a listener whose accept thread (if any) has been joined.
void closeListener(int fd, std::thread& acceptThread) {
    Net::wakeListener(fd);
    if (acceptThread.joinable()) acceptThread.join();
    if (fd >= 0) ::close(fd);
}

}  // namespace

int Server::openVsListener(uint16_t id, uint16_t port, const char* suffix) {
    Net::ListenStep failed;
    const int fd = Net::openTcpListener(port, kListenBacklog, failed);
    if (fd >= 0) return fd;
    if (failed == Net::ListenStep::Socket) {
        Logger::instance().logf(LogLevel::Error, "VS {}: socket() failed{}", id, suffix);
    } else {
        Logger::instance().logf(LogLevel::Error, "VS {}: bind/listen on port {} failed{}", id, port, suffix);
    }
    return -1;
}

void Server::startVsAcceptLocked(uint16_t id, VServerResources& r) {
    // Before run the thread would have nothing to do: run starts it.
    if (r.listenFd < 0 || r.paused || r.acceptThread.joinable() || !running_.load()) return;
    r.acceptThread = std::thread(&Server::vsAcceptLoop, this, id, r.listenFd);
}

void Server::closeVsListeners() {
    std::vector<std::pair<int, std::thread>> listeners;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        for (auto& [id, r] : resources_) {
            listeners.emplace_back(r.listenFd, std::move(r.acceptThread));
            r.listenFd = -1;
        }
    }
    // All woken first, so their threads end side by side.
    for (auto& [fd, thread] : listeners) Net::wakeListener(fd);
    for (auto& [fd, thread] : listeners) closeListener(fd, thread);
}

std::string Server::masterDbPath() const { return config_.get<std::string>("server.dbPath", "./data/server.db"); }

bool Server::dbPathTakenLocked(const std::string& path, bool companions) const {
    // Two connections to one file would each believe they own it: their
    // caches, locks and schema steps would work against each other. A
    // database opened on another one's journal or log destroys that one.
    if (path.empty()) return false;
    const auto clash = [&](const std::string& other) {
        if (other.empty()) return false;
        if (sameDatabaseFile(path, other)) return true;
        if (!companions) return false;
        for (const char* suffix : kCompanionSuffixes) {
            if (sameDatabaseFile(path, other + suffix) || sameDatabaseFile(path + suffix, other)) return true;
        }
        return false;
    };
    bool taken = masterDb_ && clash(masterDbPath());
    for (const auto& [otherId, vs] : vservers_) {
        if (taken) break;
        taken = clash(vs->config().dbPath);
    }
    for (const auto& other : dbPathsOpening_) {
        if (taken) break;
        taken = clash(other);
    }
    if (taken) Logger::instance().logf(LogLevel::Error, "VS database {} is already in use", path);
    return taken;
}

Server::CreateResult Server::createVServer(const VirtualServer::VSConfig& cfg, DbPathRule rule) {
    const bool confined = rule == DbPathRule::Confined;
    const bool companions = rule != DbPathRule::AsGiven;
    if (confined && !landsInFolderOf(masterDbPath(), cfg.dbPath)) {
        Logger::instance().logf(LogLevel::Error, "VS {}: database path {} is not a file in the master database's folder",
                                cfg.id, cfg.dbPath);
        return CreateResult::InvalidDbPath;
    }
    const uint16_t id = cfg.id;
    std::lock_guard<std::mutex> lifecycle(lifecycleLock(id));
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        if (vservers_.contains(id)) {
            Logger::instance().logf(LogLevel::Warn, "VS {} already exists", id);
            return CreateResult::Failed;
        }
        if (dbPathTakenLocked(cfg.dbPath, companions)) return CreateResult::InvalidDbPath;
        if (!cfg.dbPath.empty()) dbPathsOpening_.push_back(cfg.dbPath);
    }

    const bool created = openAndRegister(cfg);

    if (!cfg.dbPath.empty()) {
        std::lock_guard<std::mutex> lock(registryMutex_);
        dbPathsOpening_.erase(std::find(dbPathsOpening_.begin(), dbPathsOpening_.end(), cfg.dbPath));
    }
    if (!created) return CreateResult::Failed;
    Logger::instance().logf(LogLevel::Info, "VS {} '{}' created (port={}, maxSlots={})", id, cfg.name, cfg.tcpPort,
                            cfg.maxSlots);
    return CreateResult::Created;
}

bool Server::openAndRegister(const VirtualServer::VSConfig& cfg) {
    const uint16_t id = cfg.id;
    std::shared_ptr<DB::IDatabase> ownDb;
    std::shared_ptr<Auth::PrivilegeKeyManager> ownKeys;
    std::optional<NewOnDisk> made;
    if (!cfg.dbPath.empty()) {
        std::lock_guard<std::mutex> files(dbFilesMutex_);
        made.emplace(cfg.dbPath);
        try {
            auto db = std::make_shared<DB::SqliteDatabase>(cfg.dbPath);
            db->Initialize();
            ownDb = std::move(db);
        } catch (const std::exception& e) {
            Logger::instance().logf(LogLevel::Error, "VS {} DB init failed: {}", id, e.what());
            made->remove();
            return false;
        }
        ownKeys = std::make_shared<Auth::PrivilegeKeyManager>(ownDb);
    }

    // The virtual server points at its key manager without owning it: the
    // deleter keeps that manager alive for as long as anyone holds the server.
    std::shared_ptr<Auth::PrivilegeKeyManager> keys = ownKeys ? ownKeys : masterKeys_;
    std::shared_ptr<VirtualServer> vs(new VirtualServer(cfg), [keys](VirtualServer* p) { delete p; });
    vs->db = ownDb ? ownDb : std::shared_ptr<DB::IDatabase>(masterDb_);
    if (vs->db) vs->loadChannelsFromDb();
    vs->keyManager = keys.get();
    // The bot API exists from its step of start-up on: the virtual servers
    // configured before it (but the first, bound to it there) raise no bot
    // events; every one made later does.
    if (botApi_) vs->botApi.store(botApi_.get(), std::memory_order_release);
    vs->start();

    // A failed create keeps nothing: the virtual server, its key manager and
    // its database go, and then the files and folders its open made.
    const auto undo = [&] {
        vs.reset();
        keys.reset();
        ownKeys.reset();
        ownDb.reset();
        if (made) {
            std::lock_guard<std::mutex> files(dbFilesMutex_);
            made->remove();
        }
        return false;
    };

    int fd = -1;
    if (cfg.tcpPort != 0) {
        fd = openVsListener(id, cfg.tcpPort, "");
        if (fd < 0) return undo();
        Logger::instance().logf(LogLevel::Info, "VS {} listening on port {}", id, cfg.tcpPort);
    }

    // The id and the database path stay reserved by the caller's lifecycle
    // lock and its claim until here.
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        if (!vservers_.contains(id)) {
            udp_.registerVServer(id, vs);
            vservers_.emplace(id, vs);
            VServerResources& r = resources_[id];
            r.listenFd = fd;
            r.db = ownDb;
            r.keyManager = ownKeys;
            r.paused = false;
            startVsAcceptLocked(id, r);
            return true;
        }
    }
    // Cannot happen under the lifecycle lock; never replace.
    if (fd >= 0) ::close(fd);
    Logger::instance().logf(LogLevel::Warn, "VS {} already exists", id);
    return undo();
}

bool Server::removeVServer(uint16_t id) {
    std::shared_ptr<VirtualServer> vs;
    VServerResources res;
    {
        std::lock_guard<std::mutex> lifecycle(lifecycleLock(id));
        {
            std::lock_guard<std::mutex> lock(registryMutex_);
            const auto it = vservers_.find(id);
            if (it == vservers_.end()) return false;
            vs = std::move(it->second);
            vservers_.erase(it);
            udp_.unregisterVServer(id);
            if (const auto r = resources_.find(id); r != resources_.end()) {
                res = std::move(r->second);
                r->second.listenFd = -1;
                resources_.erase(r);
            }
        }
        closeListener(res.listenFd, res.acceptThread);
        res.listenFd = -1;
        vs->stop();
    }
    // Outside the lifecycle lock: a reader of this server may be waiting for
    // that lock in a request of its own, and must be able to finish.
    waitForReaders(vs.get());
    Logger::instance().logf(LogLevel::Info, "VS {} removed", id);
    vs.reset();  // before `res`: the server points at its own database and keys
    return true;
}

bool Server::pauseVServer(uint16_t id) {
    std::lock_guard<std::mutex> lifecycle(lifecycleLock(id));
    std::shared_ptr<VirtualServer> vs;
    int fd = -1;
    std::thread acceptThread;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        const auto it = vservers_.find(id);
        if (it == vservers_.end()) return false;
        VServerResources& r = resources_[id];
        if (r.paused) return true;
        vs = it->second;
        fd = r.listenFd;
        r.listenFd = -1;
        acceptThread = std::move(r.acceptThread);
        r.paused = true;
    }
    closeListener(fd, acceptThread);
    vs->stop();
    Logger::instance().logf(LogLevel::Info, "VS {} paused", id);
    return true;
}

bool Server::resumeVServer(uint16_t id) {
    std::lock_guard<std::mutex> lifecycle(lifecycleLock(id));
    std::shared_ptr<VirtualServer> vs;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        const auto it = vservers_.find(id);
        if (it == vservers_.end()) return false;
        const auto r = resources_.find(id);
        if (r != resources_.end() && !r->second.paused) return true;
        vs = it->second;
    }
    const uint16_t port = vs->config().tcpPort;
    vs->start();

    int fd = -1;
    if (port != 0) {
        fd = openVsListener(id, port, " on resume");
        if (fd < 0) {
            // Still marked paused: it must not run where nobody can reach it.
            vs->stop();
            return false;
        }
    }

    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        VServerResources& r = resources_[id];
        r.listenFd = fd;
        r.paused = false;
        startVsAcceptLocked(id, r);
    }
    Logger::instance().logf(LogLevel::Info, "VS {} resumed on port {}", id, port);
    return true;
}

bool Server::isVServerRunning(uint16_t id) const {
    std::lock_guard<std::mutex> lock(registryMutex_);
    if (const auto r = resources_.find(id); r != resources_.end() && r->second.paused) return false;
    const auto it = vservers_.find(id);
    return it != vservers_.end() && it->second->isRunning();
}

std::shared_ptr<VirtualServer> Server::getVServer(uint16_t id) const {
    std::lock_guard<std::mutex> lock(registryMutex_);
    const auto it = vservers_.find(id);
    return it == vservers_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<VirtualServer>> Server::allVServers() const {
    std::lock_guard<std::mutex> lock(registryMutex_);
    std::vector<std::shared_ptr<VirtualServer>> out;
    out.reserve(vservers_.size());
    for (const auto& [id, vs] : vservers_) out.push_back(vs);
    return out;
}

bool Server::saveVServersToConfig() {
    if (configPath_.empty()) return true;
    std::lock_guard<std::mutex> fileLock(configFileMutex_);
    try {
        nlohmann::json doc;
        {
            std::ifstream in(configPath_, std::ios::binary);
            if (in) {
                std::ostringstream text;
                text << in.rdbuf();
                if (!in.good() && !in.eof()) throw std::runtime_error("cannot read the file");
                // Whatever the operator wrote there is theirs: a file that does
                // not parse is left alone rather than replaced.
                doc = nlohmann::json::parse(text.str());
            } else if (::access(configPath_.c_str(), F_OK) == 0) {
                throw std::runtime_error("cannot open the file");
            }
        }
        if (!doc.is_object()) doc = nlohmann::json::object();

        nlohmann::json list = nlohmann::json::array();
        {
            std::lock_guard<std::mutex> lock(registryMutex_);
            for (const auto& [id, vs] : vservers_) {
                const VirtualServer::VSConfig c = vs->config();
                nlohmann::json entry{{"id", c.id},
                                     {"maxSlots", c.maxSlots},
                                     {"name", c.name},
                                     {"serverKey", c.serverKey},
                                     {"welcomeMessage", c.welcomeMessage}};
                if (!c.dbPath.empty()) entry["dbPath"] = c.dbPath;
                if (c.tcpPort != 0) entry["tcpPort"] = c.tcpPort;
                list.push_back(std::move(entry));
            }
        }
        doc["virtualServers"] = std::move(list);
        if (detail::replaceFile(configPath_, doc.dump(4) + "\n") == detail::ReplaceResult::Replaced) return true;
    } catch (const std::exception&) {
        // Reading, parsing, text that is not UTF-8, writing or renaming: the
        // file stays as it was.
    }
    Logger::instance().logf(LogLevel::Warn, "saveVServersToConfig: failed to write {}", configPath_);
    return false;
}

}  // namespace Korrafin
