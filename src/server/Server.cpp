// Start-up of the host and its destruction.
#include "server/Server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <iostream>
#include <sstream>

#include "auth/PrivilegeKeyManager.h"
#include "core/CryptoUtils.h"
#include "core/Logger.h"
#include "core/Socket.h"
#include "db/SqliteDatabase.h"
#include "protocol/ClientSession.h"
#include "protocol/FileStore.h"
#include "server/ConfigFile.h"

namespace Korrafin {

namespace {

LogLevel levelFromWord(const std::string& word) {
    if (word == "trace") return LogLevel::Trace;
    if (word == "debug") return LogLevel::Debug;
    if (word == "warn") return LogLevel::Warn;
    if (word == "error") return LogLevel::Error;
    return LogLevel::Info;
}

bool fileIsMissing(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

std::string panelPasswordBanner(const std::string& password, int port) {
    const std::string bar(52, '=');
    std::ostringstream out;
    out << "\n  " << bar << "\n   WEB PANEL - ERSTMALIGES PASSWORT"
        << "\n  " << bar << "\n   Passwort : " << password << "\n   Port     : " << port
        << "\n   URL      : http://localhost:" << port << "/"
        << "\n"
        << "\n   Passwort in DB gespeichert - wird nicht erneut angezeigt."
        << "\n  " << bar << "\n\n";
    return out.str();
}

}  // namespace

// ---------------------------------------------------------------- start-up

bool Server::init(const std::string& configPath) {
    configPath_ = configPath;
    loadConfiguration();

    // Logging.
    const std::string logFile = config_.get<std::string>("server.logFile", "korrafin.log");
    const std::string logLevel = config_.get<std::string>("server.logLevel", "info");
    tcpPort_ = static_cast<uint16_t>(config_.get<int>("server.tcpPort", 9987));
    udpPort_ = static_cast<uint16_t>(config_.get<int>("server.udpPort", 9988));
    Logger::instance().init(logFile, levelFromWord(logLevel));
    Logger::instance().logf(LogLevel::Info, "Korrafin Server starting up");
    // Every connection takes a descriptor: a small default would cap the clients.
    Net::raiseOpenFileLimit();

    // Uploads that a crash cut short left their temporary files behind.
    if (const std::size_t n = FileStore::removeLeftovers())
        Logger::instance().logf(LogLevel::Info, "Removed {} unfinished upload(s) from {}", n, FileStore::kDirectory);

    // Master database.
    const std::string dbPath = config_.get<std::string>("server.dbPath", "./data/server.db");
    std::cout << "[DB] Database path: " << dbPath << "\n" << std::flush;
    try {
        masterDb_ = std::make_shared<DB::SqliteDatabase>(dbPath);
        masterDb_->Initialize();
        masterDb_->DebugCheckDatabase();
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Fatal, "Database initialization failed: {}", e.what());
        std::cerr << "[DB] FATAL: " << e.what() << "\n" << std::flush;
        return false;
    }

    // Master privilege key.
    masterKeys_ = std::make_shared<Auth::PrivilegeKeyManager>(masterDb_);
    try {
        masterKeys_->EnsureServerAdminToken();
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Error, "PrivilegeKeyManager error: {}", e.what());
        std::cerr << "[AUTH] ERROR: " << e.what() << "\n" << std::flush;
    }

    createConfiguredVServers();
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        int64_t slots = 0;
        for (const auto& [id, vs] : vservers_) slots += vs->config().maxSlots;
        configuredSlots_.store(static_cast<int>(slots));
    }

    startBotApi();

    startWebPanel(ensurePanelPassword());

    if (!udp_.start(udpPort_)) {
        Logger::instance().logf(LogLevel::Error, "Failed to start UDP voice server on port {}", udpPort_);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        for (const auto& [id, vs] : vservers_) udp_.registerVServer(id, vs);
        // Plugins start under the registry lock; the hook is attached only
        // once all of them were loaded.
        for (const auto& [id, vs] : vservers_) {
            auto loader = pluginHostFactory_ ? pluginHostFactory_(vs) : nullptr;
            if (!loader) continue;
            vs->pluginLoader.store(loader.get(), std::memory_order_release);
            pluginLoaders_.push_back(std::move(loader));
        }
    }

    if (!openMainListener()) return false;
    Logger::instance().logf(LogLevel::Info, "Listening on TCP port {}, UDP port {}", tcpPort_, udpPort_);

    startDirectory();
    return true;
}

void Server::loadConfiguration() {
    try {
        config_.load(configPath_);
        return;
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Warn, "Config load failed ({}). Using defaults.", e.what());
    }
    // Whatever was read stays unused: every key takes its default.
    config_.data = nlohmann::json();

    // Only a file that is not there is generated; one that exists but cannot
    // be read or parsed is the operator's and stays untouched.
    if (!fileIsMissing(configPath_)) return;
    try {
        const std::string key = CryptoUtils::randomHex(16);
        nlohmann::json document = detail::defaultConfigDocument(key);
        if (detail::writeNewFile(configPath_, document.dump(4))) {
            Logger::instance().logf(LogLevel::Info, "Generated default config: {}", configPath_);
            // This run serves what the file says: its virtual server with the
            // generated key, which a later rewrite of the file keeps.
            config_.data = std::move(document);
        }
    } catch (const std::exception&) {
        // A default file is a convenience; start-up goes on without it.
    }
}

void Server::createConfiguredVServers() {
    for (const auto& cfg : detail::virtualServerEntries(config_.data)) createVServer(cfg);

    bool empty;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        empty = vservers_.empty();
    }
    if (empty) {
        VirtualServer::VSConfig cfg;
        cfg.id = 1;
        cfg.name = "Default Server";
        createVServer(cfg);
    }
}

void Server::startBotApi() {
    const auto port = static_cast<uint16_t>(config_.get<int>("server.botApiPort", 9989));
    botApi_ = std::make_unique<BotApiServer>(port);
    botApi_->db = masterDb_;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        if (!vservers_.empty()) {
            const auto& first = vservers_.begin()->second;
            botApi_->virtualServer = first;
            first->botApi.store(botApi_.get(), std::memory_order_release);
        }
    }
    if (botApi_->start()) {
        Logger::instance().logf(LogLevel::Info, "Bot API server started on port {}", port);
    } else {
        Logger::instance().logf(LogLevel::Warn, "Bot API server failed to start on port {}", port);
    }
}

bool Server::isMasterDatabase(const DB::IDatabase* db) const {
    return db != nullptr && db == static_cast<const DB::IDatabase*>(masterDb_.get());
}

void Server::onBotTokenRevoked(int64_t tokenId) {
    if (botApi_) botApi_->endSessionsForToken(tokenId);
}

std::string Server::ensurePanelPassword() {
    const int port = config_.get<int>("server.webPanel.port", 9380);
    try {
        if (std::string stored = masterDb_->GetSetting("web_panel_password", ""); !stored.empty()) return stored;
        const std::string password =
            CryptoUtils::randomString(kPanelPasswordAlphabet, kPanelPasswordLength);
        masterDb_->SetSetting("web_panel_password", password);
        std::cout << panelPasswordBanner(password, port) << std::flush;
        Logger::instance().logf(LogLevel::Info, "[WebPanel] Passwort generiert und in DB hinterlegt (port={})", port);
        return password;
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Error, "[WebPanel] Could not store the panel password: {}", e.what());
        return {};
    }
}

bool Server::openMainListener() {
    Net::ListenStep failed;
    listenFd_ = Net::openTcpListener(tcpPort_, kListenBacklog, failed);
    if (listenFd_ >= 0) return true;
    switch (failed) {
        case Net::ListenStep::Socket:
            Logger::instance().logf(LogLevel::Fatal, "Failed to create listen socket");
            break;
        case Net::ListenStep::Bind:
            Logger::instance().logf(LogLevel::Fatal, "bind() failed on port {}", tcpPort_);
            break;
        default:
            Logger::instance().logf(LogLevel::Fatal, "listen() failed");
            break;
    }
    return false;
}

// ---------------------------------------------------------------- destruction

Server::~Server() {
    stop();
    // stop leaves it alone when the server never ran.
    directory_.stop();

    // Accept threads of virtual servers whose listeners outlived stop (made
    // or resumed after it, or left by a failed start-up).
    closeVsListeners();

    // No new event reaches a bot API or plugin host from here on.
    for (const auto& vs : allVServers()) {
        vs->botApi.store(nullptr, std::memory_order_release);
        vs->pluginLoader.store(nullptr, std::memory_order_release);
    }
    // The web panel and the bot API stop their threads.
    if (webPanel_) webPanel_->stop();
    if (botApi_) botApi_->stop();

    // Reader threads reach the registry and the relay at their end: every one
    // of them is gone before those are.
    disconnectAllAndWait();
    udp_.stop();
    // Only now may the plugin loaders and the bot API be destroyed: a reader
    // that loaded a hook pointer before it was cleared may have been inside
    // one of its calls until the wait above. Plugin timers still reach the
    // virtual servers, so the loaders go before them.
    pluginLoaders_.clear();
    botApi_.reset();

    decltype(vservers_) vservers;
    {
        std::lock_guard<std::mutex> lock(registryMutex_);
        vservers.swap(vservers_);
    }
    for (const auto& [id, vs] : vservers) udp_.unregisterVServer(id);
    vservers.clear();  // each stops and disconnects what is left

    for (auto& w : workers_) {
        if (w.joinable()) w.join();
    }
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    // resources_, masterKeys_, masterDb_ and the configuration go with the
    // members, in reverse order of declaration.
}

}  // namespace Korrafin
