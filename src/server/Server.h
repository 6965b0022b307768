// The process host: start-up from the configuration file, the registry of
// virtual servers and their lifecycle, the TCP listeners, one reader thread
// per connection, the voice relay, and shutdown. One Server per process,
// built by main on its stack; never copied or moved.
//
// Threads: init and run on the main thread (run serves until stop); the
// registry operations, stop and the accessors may be called from any thread
// (reader threads, and later the web panel, the console, bots and plugins).
//
// Ownership: the registry holds each VirtualServer by std::shared_ptr;
// callers outside the registry mutex hold the shared_ptr they were given for
// as long as they use it. Every reader thread is counted; removing a virtual
// server waits for the reader threads of its sessions, and the destructor
// waits for all of them before any member goes.
//
// Locks, in this order: a lifecycle lock (one per group of ids; serialises
// create, pause, resume and remove of one id) -> registryMutex_ -> a virtual
// server's locks -> the relay's map mutexes. readersMutex_, workersMutex_ and
// configFileMutex_ are leaves; dbFilesMutex_ is taken under a lifecycle lock
// only, and holds nothing but a new database's own lock and the logger's.
// registryMutex_ is never held while a packet is sent, a database opens, a
// virtual server starts or stops, or a thread is joined.
//
// Errors: failures of start-up, of the registry operations and of single
// connections come back as false and log lines; no exception leaves the
// accept loops or a reader thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "botapi/BotApiServer.h"
#include "core/Config.h"
#include "core/CredentialGuard.h"
#include "core/LogThrottle.h"
#include "core/PerKeyLimit.h"
#include "directory/GlobalApiClient.h"
#include "protocol/SessionHost.h"
#include "server/UdpVoiceServer.h"
#include "vserver/VirtualServer.h"
#include "webpanel/PanelHost.h"
#include "webpanel/WebPanelServer.h"

namespace Korrafin {

class ClientSession;

namespace DB {
class IDatabase;
class SqliteDatabase;
}  // namespace DB

namespace Auth {
class PrivilegeKeyManager;
}

class Server : public SessionHost {
public:
    // What the host keeps for one virtual server besides the object itself.
    struct VServerResources {
        int listenFd = -1;         // own port's listener; -1 without one or while paused
        std::thread acceptThread;  // runs vsAcceptLoop while the listener is open and serving
        std::shared_ptr<DB::IDatabase> db;                       // own database; empty = master
        std::shared_ptr<Auth::PrivilegeKeyManager> keyManager;  // own key manager; empty = master
        bool paused = false;
    };

    // Texts printed on the first run.
    static constexpr const char* kPanelPasswordAlphabet =
        "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789!@#$%&";
    static constexpr std::size_t kPanelPasswordLength = 20;
    static constexpr int kListenBacklog = 4096;
    // Connections of one remote address that may wait for their login at a
    // time; more are closed at accept, so one address cannot hold the slots.
    static constexpr std::size_t kMaxPendingLoginsPerAddress = 16;

    Server() = default;
    // Stops, detaches the bot and plugin hooks, disconnects every session and
    // waits for every reader thread; then the members go in reverse order.
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // ---- start-up and serving (main thread) ----

    // Makes the plugin host of one virtual server, its plugins loaded. The
    // plugin host sits above this library, so main installs it before init;
    // without one no plugins are loaded. Called by init on the start-up
    // thread with registryMutex_ held: it must not call into the registry.
    using PluginHostFactory = std::function<std::unique_ptr<PluginHost>(const std::shared_ptr<VirtualServer>&)>;
    void setPluginHostFactory(PluginHostFactory factory) { pluginHostFactory_ = std::move(factory); }

    // The start-up sequence. True when the voice relay and the main listener
    // are up; false (with its log lines) otherwise. Without a configuration
    // file it writes the default one and runs what it wrote.
    bool init(const std::string& configPath);
    // Starts the own-port accept threads and the idle workers, then accepts on
    // the main port until stop; joins the workers and returns. A stop that
    // was requested before run (during start-up) is honoured at once.
    void run();
    // Ends serving: shuts the listeners down and joins their accept threads,
    // stops the voice relay. Idempotent; a second caller waits for the first.
    // Safe from any thread, but not from a signal handler.
    void stop();
    bool isRunning() const { return running_.load(); }

    // ---- registry (any thread) ----
    //
    // The registry is ordered by id: lists come in ascending id order, and
    // "the first virtual server" (fed by the main port, bound to the bot API
    // at start-up, the directory's main listing) is the one with the lowest id.

    // How a new virtual server's "dbPath" is taken. All read it as written
    // (relative to the working directory), and the virtual server keeps it
    // so.
    enum class DbPathRule {
        AsGiven,       // the operator's: any file that no live database is
        Confined,      // a path typed in the web panel: as PanelHost::createVServer states
        PanelDefault,  // the web panel's blank default: as Confined, but in any folder
    };
    using CreateResult = PanelHost::CreateResult;

    // False when the id exists, its database path is taken, its database
    // cannot be opened or its own port cannot be listened on; then nothing
    // of it is kept: the database file and the folders its open made are
    // removed (a file or folder that was there before stays). The path is
    // the operator's.
    bool createVServer(const VirtualServer::VSConfig& cfg) {
        return createVServer(cfg, DbPathRule::AsGiven) == CreateResult::Created;
    }
    // The same under `rule`, saying why it failed: InvalidDbPath when the
    // rule refuses the path or it is the master's or a live virtual server's
    // database (under the panel's rules also one of their -journal, -wal or
    // -shm files); nothing is made on disk then.
    CreateResult createVServer(const VirtualServer::VSConfig& cfg, DbPathRule rule);
    // Stops it (disconnecting its sessions), waits for their reader threads
    // and deletes it; false for an unknown id.
    bool removeVServer(uint16_t id);
    // Closes its own listener and stops it, keeping it registered; true when
    // it was paused already; false for an unknown id.
    bool pauseVServer(uint16_t id) override;
    // Starts it and reopens its own listener; a listener that cannot be opened
    // stops it again and returns false. True when it was running already.
    bool resumeVServer(uint16_t id) override;
    bool isVServerRunning(uint16_t id) const;
    std::shared_ptr<VirtualServer> getVServer(uint16_t id) const;
    // Every virtual server, paused ones included, in ascending id order.
    std::vector<std::shared_ptr<VirtualServer>> allVServers() const override;
    // Rewrites "virtualServers" in the configuration file (temporary file,
    // then rename), in ascending id order. Refuses to touch a file that
    // exists but does not parse. False, with a WARN line, when the file was
    // not written (true without a configuration path). Never throws.
    bool saveVServersToConfig();
    // A bot token was deleted: the bots that logged in with it go. The bot
    // API hooks in here; until it exists there is nobody to end.
    void onBotTokenRevoked(int64_t tokenId) override;

    // ---- connections (called by the accept loops) ----

    // Takes ownership of the connected socket: a session with the next client
    // id, handed to the first virtual server (if any), and a reader thread.
    // The session keeps `loginSlot` until its first login. A paused virtual
    // server refuses it as a full one does.
    void onClientConnected(int fd, const std::string& address, PerKeyLimit::Slot loginSlot = {});
    // The same, handed to the given virtual server.
    void onClientConnectedToVS(int fd, const std::string& address, std::shared_ptr<VirtualServer> vs,
                               PerKeyLimit::Slot loginSlot = {});
    // Removes the client from every virtual server and recounts the users.
    void onClientDisconnected(uint32_t clientId);
    // From 1; never 0, also after the counter wraps.
    uint32_t nextClientId();
    // The next value of `counter` that is not 0 (0 is the system actor's).
    static uint32_t takeNonZeroId(std::atomic<uint32_t>& counter);

    // ---- accessors ----
    UdpVoiceServer& voiceRelay() { return udp_; }
    std::shared_ptr<DB::SqliteDatabase> masterDatabase() const { return masterDb_; }
    bool isMasterDatabase(const DB::IDatabase* db) const override;
    const std::string& configPath() const { return configPath_; }
    uint16_t tcpPort() const { return tcpPort_; }
    // Users over all virtual servers as last counted, and the configured
    // slots; the directory client reports both.
    int currentUsers() const { return currentUsers_.load(); }
    int configuredSlots() const { return configuredSlots_.load(); }
    // Reader threads that have not ended yet.
    std::size_t liveReaderCount() const;

    // The secondary directory listing of a virtual server with its own port.
    // Its callables hold the virtual server weakly: once it is gone they
    // report 0 users and empty URLs. They take no lock of the host.
    static GlobalApiClient::SecondaryVS directoryEntryFor(const std::shared_ptr<VirtualServer>& vs);

private:
    struct Reader {
        std::weak_ptr<ClientSession> session;
        const VirtualServer* vs = nullptr;  // the one it was handed to; identity only
    };

    // Start-up steps.
    void loadConfiguration();
    void createConfiguredVServers();
    // Makes the bot API on "server.botApiPort", bound to the first virtual
    // server, and starts it; start-up goes on whether it listens or not.
    void startBotApi();
    // The stored panel password; a new one is generated, stored and shown
    // when none is stored. Empty when the database cannot be used.
    std::string ensurePanelPassword();
    // Builds and starts the panel when "server.webPanel.enabled" allows it.
    void startWebPanel(const std::string& password);
    bool openMainListener();
    // Starts the directory client from the "globalApi" section with the main
    // listing and one secondary listing per virtual server with its own port.
    // Returns at once: the client's own thread talks to the service.
    void startDirectory();
    // The icon and banner URLs of the first virtual server; empty without one.
    GlobalApiClient::Urls firstVServerUrls() const;

    // Serving.
    void acceptLoop();
    void vsAcceptLoop(uint16_t id, int listenFd);
    // Starts the accept thread of a virtual server's listener when serving.
    // Caller holds registryMutex_.
    void startVsAcceptLocked(uint16_t id, VServerResources& r);
    // Opens a virtual server's own listener; logs a failure with `suffix`
    // after the text. -1 on failure.
    static int openVsListener(uint16_t id, uint16_t port, const char* suffix);
    // True, with an ERROR line, when a new virtual server's own database path
    // names the master database, that of a registered virtual server or one
    // that a create is opening; with `companions`, also when one of the two
    // is the other's -journal, -wal or -shm file. Caller holds registryMutex_.
    bool dbPathTakenLocked(const std::string& path, bool companions) const;
    // Steps of createVServer after its checks: opens the database, makes and
    // starts the virtual server, opens its listener and registers it.
    bool openAndRegister(const VirtualServer::VSConfig& cfg);
    // The master database's path from the configuration.
    std::string masterDbPath() const;
    // Takes every virtual server's listener out of the registry, wakes and
    // joins its accept thread, then closes it. Takes registryMutex_ briefly.
    void closeVsListeners();
    void startWorkers(int n);
    void workerLoop();
    // The address's place among the connections waiting for their login;
    // empty, with the socket closed and the refusal logged (at most once a
    // second), when it has none left.
    PerKeyLimit::Slot takeLoginSlot(int fd, const std::string& address);
    void handOver(int fd, const std::string& address, std::shared_ptr<VirtualServer> vs, PerKeyLimit::Slot loginSlot);
    void readerMain(std::shared_ptr<ClientSession> session);
    void endConnection(std::shared_ptr<ClientSession> session);
    // Waits until no reader thread of `vs` (every reader when null) is left,
    // disconnecting their sessions again while it waits. A reader thread that
    // calls it does not wait for itself.
    void waitForReaders(const VirtualServer* vs);
    void disconnectAllAndWait();

    std::mutex& lifecycleLock(uint16_t id) { return lifecycleLocks_[id % lifecycleLocks_.size()]; }

    // In the order of the start-up description; destroyed in reverse.
    Config config_;
    std::string configPath_;
    std::shared_ptr<DB::SqliteDatabase> masterDb_;
    std::shared_ptr<Auth::PrivilegeKeyManager> masterKeys_;
    std::map<uint16_t, VServerResources> resources_;  // registryMutex_
    int listenFd_ = -1;
    uint16_t tcpPort_ = 9987;
    uint16_t udpPort_ = 9988;
    std::vector<std::thread> workers_;
    std::mutex workersMutex_;  // a leaf; only for workersCv_
    std::condition_variable workersCv_;  // the idle workers wait here until stop
    std::atomic<bool> running_{false};
    mutable std::mutex registryMutex_;
    std::map<uint16_t, std::shared_ptr<VirtualServer>> vservers_;  // registryMutex_; by id, lowest first
    // registryMutex_: own database paths of creates between their check and
    // their registration, so two creates never open one file.
    std::vector<std::string> dbPathsOpening_;
    UdpVoiceServer udp_;
    // Made in init, attached to the first virtual server and to every one
    // created later; released by the destructor before the virtual servers.
    std::unique_ptr<BotApiServer> botApi_;
    PluginHostFactory pluginHostFactory_;
    std::vector<std::unique_ptr<PluginHost>> pluginLoaders_;  // one per virtual server at start-up
    std::unique_ptr<PanelHost> panelHost_;  // what the panel sees of this host
    std::unique_ptr<WebPanelServer> webPanel_;
    std::atomic<uint32_t> clientIdCounter_{1};

    // Directory figures.
    std::atomic<int> currentUsers_{0};
    std::atomic<int> configuredSlots_{0};

    std::array<std::mutex, 32> lifecycleLocks_;
    std::mutex stopMutex_;
    std::atomic<bool> stopRequested_{false};
    std::mutex configFileMutex_;
    // Held while a create notes what its database's open may make on disk
    // and opens it, and while a failed create removes that again, so one
    // never removes a folder that another is opening a database in.
    std::mutex dbFilesMutex_;

    mutable std::mutex readersMutex_;
    std::condition_variable readersCv_;
    std::unordered_map<uint32_t, Reader> readers_;  // by client id

    PerKeyLimit pendingLogins_{kMaxPendingLoginsPerAddress};
    // Failed credential checks of every connection of this host, by address.
    const std::shared_ptr<CredentialGuard> credentialGuard_ = std::make_shared<CredentialGuard>();
    LogThrottle refusedAtAccept_{1};

    // Last, so it goes first: its thread reads the counters above and the
    // registry. stop and the destructor stop it before anything else.
    GlobalApiClient directory_{GlobalApiClient::HostFigures{[this] { return currentUsers_.load(); },
                                                            [this] { return configuredSlots_.load(); }}};
};

}  // namespace Korrafin
