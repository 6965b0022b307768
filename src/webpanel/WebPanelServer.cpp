// The panel's listener, its connection threads, routing, login and sessions.
#include "webpanel/WebPanelServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <exception>
#include <system_error>

#include "core/CryptoUtils.h"
#include "core/Logger.h"
#include "core/Socket.h"
#include "core/UnixTime.h"
#include "webpanel/WebPanelApi.h"

namespace Korrafin {

namespace {

using namespace WebPanelApi;

// After the answer, what the peer still sends is read and dropped for a
// moment before the socket closes: closing with unread bytes would reset the
// connection and could destroy the answer on its way.
constexpr auto kLingerTime = std::chrono::milliseconds(1000);
constexpr std::size_t kLingerBytes = 256 * 1024;

constexpr const char* kConnectionLines = "[WebPanel] Connection lines";
constexpr const char* kRefusals = "WebPanel: connection refusals";

void lingerAndDrop(int fd) {
    ::shutdown(fd, SHUT_WR);
    const auto end = std::chrono::steady_clock::now() + kLingerTime;
    std::size_t dropped = 0;
    char sink[4096];
    while (dropped < kLingerBytes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        dropped += static_cast<std::size_t>(n);
    }
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

WebPanelServer::Response page(const char* html) {
    WebPanelServer::Response res;
    res.body = html;
    return res;
}

// A request that is not routed: the failure envelope on API paths, text
// elsewhere.
WebPanelServer::Response badRequest(const std::string& path, const std::string& text) {
    if (WebPanelServer::isApiPath(path)) return jsonFailure(text, 400);
    WebPanelServer::Response res;
    res.status = 400;
    res.body = text;
    return res;
}

}  // namespace

WebPanelServer::WebPanelServer(PanelHost* server, std::shared_ptr<DB::IDatabase> db, std::string configPath)
    : server(server), db(std::move(db)), configPath(std::move(configPath)) {}

WebPanelServer::~WebPanelServer() { stop(); }

// ---------------------------------------------------------------- listener and lifecycle

bool WebPanelServer::start(int port, const std::string& password) {
    if (listenFd >= 0) return false;  // one start per object
    this->port = port;
    this->password = password;
    if (port < 0 || port > 65535) {
        Logger::instance().logf(LogLevel::Error, "WebPanel: bind() failed on port {}", port);
        return false;
    }
    Net::ListenStep failed;
    const int fd = Net::openTcpListener(static_cast<uint16_t>(port), kListenBacklog, failed);
    if (fd < 0) {
        switch (failed) {
            case Net::ListenStep::Socket:
                Logger::instance().logf(LogLevel::Error, "WebPanel: socket() failed");
                break;
            case Net::ListenStep::Bind:
                Logger::instance().logf(LogLevel::Error, "WebPanel: bind() failed on port {}", port);
                break;
            default:
                Logger::instance().logf(LogLevel::Error, "WebPanel: listen() failed");
                break;
        }
        return false;
    }
    listenFd = fd;
    running.store(true);
    try {
        acceptThread = std::thread(&WebPanelServer::acceptLoop, this);
    } catch (const std::system_error& e) {
        Logger::instance().logf(LogLevel::Error, "WebPanel: cannot start the accept thread: {}", e.what());
        running.store(false);
        ::close(listenFd);
        listenFd = -1;
        return false;
    }
    return true;
}

void WebPanelServer::stop() {
    std::lock_guard<std::mutex> serial(stopMutex);
    if (!running.exchange(false)) return;
    Net::wakeListener(listenFd);
    if (acceptThread.joinable()) acceptThread.join();
    ::close(listenFd);
    listenFd = -1;

    // The accept thread is gone, so the set only shrinks from here on. A
    // socket leaves the set before it is closed, so no number shut down here
    // can belong to anyone else.
    {
        std::unique_lock<std::mutex> lock(connMutex);
        for (const int fd : connections) ::shutdown(fd, SHUT_RDWR);
        connCv.wait(lock, [this] { return connections.empty(); });
    }
    connectionLines_.flush(LogLevel::Warn, kConnectionLines);
    refusals_.flush(LogLevel::Warn, kRefusals);
}

std::size_t WebPanelServer::liveConnections() const {
    std::lock_guard<std::mutex> lock(connMutex);
    return connections.size();
}

void WebPanelServer::acceptLoop() {
    while (running.load()) {
        sockaddr_in peer{};
        bool failed = false;
        const int fd = Net::acceptOne(listenFd, running, peer, failed);
        if (fd < 0) {
            if (failed && running.load()) Logger::instance().logf(LogLevel::Warn, "WebPanel: accept() failed");
            return;
        }
        try {
            admit(fd, Net::ipv4Text(peer.sin_addr.s_addr));
        } catch (const std::exception& e) {
            // admit either owns the socket or has closed it; only this one is lost.
            Logger::instance().logf(LogLevel::Warn, "WebPanel: connection not taken: {}", e.what());
        }
    }
}

void WebPanelServer::admit(int fd, const std::string& peer) {
    const auto accepted = std::chrono::steady_clock::now();
    // One address cannot take the places of all others.
    PerKeyLimit::Slot slot = perAddress_.tryAcquire(peer);
    if (!slot) {
        ::close(fd);
        refusals_.logf(LogLevel::Warn, kRefusals,
                       "WebPanel: connection from {} refused: {} connections from it already open", peer,
                       kMaxConnectionsPerAddress);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(connMutex);
        if (connections.size() >= kMaxConnections) {
            ::close(fd);
            return;
        }
        connections.insert(fd);
    }
    try {
        // The place goes back after the socket left the set (the slot
        // outlives this object safely), so an address never has more.
        std::thread([this, fd, peer, accepted, slot = std::move(slot)]() mutable {
            handleClient(fd, peer, accepted);
            release(fd);
            slot.release();
        }).detach();
    } catch (const std::exception& e) {
        Logger::instance().logf(LogLevel::Warn, "WebPanel: cannot start a connection thread: {}", e.what());
        release(fd);
    }
}

void WebPanelServer::release(int fd) {
    std::lock_guard<std::mutex> lock(connMutex);
    connections.erase(fd);
    ::close(fd);
    // Under the lock: once stop sees the set empty this object may go.
    connCv.notify_all();
}

void WebPanelServer::handleClient(int fd, const std::string& peer, std::chrono::steady_clock::time_point accepted) {
    try {
        Request req;
        req.peer = peer;
        Response res;
        const auto taken =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - accepted);
        const auto left = [taken](std::chrono::milliseconds limit) {
            return std::max(limit - taken, std::chrono::milliseconds(0));
        };
        switch (parseRequest(fd, req, left(requestDeadline_), receiveTimeout_, left(headerDeadline_))) {
            case ParseResult::NoRequest:
                return;
            case ParseResult::TooLarge:
                res = badRequest(req.path, "Request too large");
                break;
            case ParseResult::Incomplete:
                res = badRequest(req.path, "Incomplete request");
                break;
            case ParseResult::BadRequest:
                res = badRequest(req.path, "Bad request");
                break;
            case ParseResult::Ok:
                try {
                    res = route(req);
                } catch (const std::exception& e) {
                    connectionLines_.logfFrom(peer, LogLevel::Warn, kConnectionLines, "[WebPanel] Request failed: {}",
                                              e.what());
                    res = badRequest(req.path, "Bad request");
                } catch (...) {
                    connectionLines_.logfFrom(peer, LogLevel::Warn, kConnectionLines, "[WebPanel] Request failed");
                    res = badRequest(req.path, "Bad request");
                }
                break;
        }
        sendResponse(fd, res);
        lingerAndDrop(fd);
    } catch (...) {
        // Out of memory while answering: only this connection ends.
    }
}

// ---------------------------------------------------------------- routing

namespace {

struct Endpoint {
    const char* name;
    WebPanelServer::Response (WebPanelServer::*handler)(const WebPanelServer::Request&);
    bool changes;  // POST only, same origin only
};

}  // namespace

WebPanelServer::Response WebPanelServer::route(const Request& req) {
    const std::string& path = req.path;
    if (path.empty() || path == "/" || path == "/login") {
        return page(isAuthed(req) ? "<meta http-equiv='refresh' content='0;url=/panel'>" : LOGIN_HTML);
    }
    if (path == "/panel") return page(isAuthed(req) ? PANEL_HTML : "<meta http-equiv='refresh' content='0;url=/'>");
    if (path == "/api/login") return apiLogin(req);
    if (path == "/api/logout") return apiLogout(req);
    if (!isApiPath(path)) {
        Response res;
        res.status = 404;
        res.body = "Not found";
        return res;
    }
    if (!isAuthed(req)) return jsonFailure("Unauthorized", 401);

    static constexpr Endpoint kEndpoints[] = {
        {"dashboard", &WebPanelServer::apiDashboard, false},
        {"users", &WebPanelServer::apiUsers, false},
        {"channels", &WebPanelServer::apiChannels, false},
        {"kick", &WebPanelServer::apiKick, true},
        {"privkeys", &WebPanelServer::apiPrivkeys, false},
        {"privkey_create", &WebPanelServer::apiPrivkeyCreate, true},
        {"privkey_revoke", &WebPanelServer::apiPrivkeyRevoke, true},
        {"bottokens", &WebPanelServer::apiBottokens, false},
        {"bottoken_create", &WebPanelServer::apiBotTokenCreate, true},
        {"bottoken_revoke", &WebPanelServer::apiBotTokenRevoke, true},
        {"vservers", &WebPanelServer::apiVServers, false},
        {"vserver_create", &WebPanelServer::apiVServerCreate, true},
        {"vserver_delete", &WebPanelServer::apiVServerDelete, true},
        {"vserver_update", &WebPanelServer::apiVServerUpdate, true},
        {"vserver_stop", &WebPanelServer::apiVServerStop, true},
        {"vserver_start", &WebPanelServer::apiVServerStart, true},
    };
    const std::string name = path.substr(5);
    for (const auto& e : kEndpoints) {
        if (name != e.name) continue;
        if (e.changes) {
            if (const std::string refusal = refuseChange(req); !refusal.empty()) return jsonFailure(refusal, 400);
        }
        return (this->*e.handler)(req);
    }
    return jsonFailure("Unknown endpoint", 404);
}

std::string WebPanelServer::refuseChange(const Request& req) {
    // A page on another site can make a browser send a form here with the
    // session cookie; such a request names its own origin.
    if (req.method != "POST") return "Method not allowed";
    const auto origin = req.headers.find("origin");
    if (origin == req.headers.end()) return {};
    const auto host = req.headers.find("host");
    if (host == req.headers.end() || lower(origin->second) != "http://" + lower(host->second)) {
        return "Cross-origin request refused";
    }
    return {};
}

// ---------------------------------------------------------------- sessions and login

std::string WebPanelServer::generateToken() { return CryptoUtils::randomHex(16); }

std::string WebPanelServer::createSession() {
    const std::string token = generateToken();
    const int64_t now = unixSeconds();
    std::lock_guard<std::mutex> lock(sessionsMutex);
    std::erase_if(sessions, [now](const auto& entry) { return entry.second < now; });
    sessions[token] = now + kSessionSeconds;
    return token;
}

bool WebPanelServer::isAuthed(const Request& req) const {
    const auto cookie = req.cookies.find(kSessionCookie);
    if (cookie == req.cookies.end()) return false;
    const int64_t now = unixSeconds();
    std::lock_guard<std::mutex> lock(sessionsMutex);
    const auto it = sessions.find(cookie->second);
    return it != sessions.end() && now < it->second;
}

void WebPanelServer::destroySession(const std::string& token) {
    std::lock_guard<std::mutex> lock(sessionsMutex);
    sessions.erase(token);
}

bool WebPanelServer::passwordMatches(const std::string& given) const {
    // An empty password would let anyone in.
    if (password.empty()) return false;
    // Every byte of the given text is looked at whatever matched before, so
    // the time taken tells nothing about how much of it was right.
    unsigned diff = given.size() != password.size() ? 1u : 0u;
    for (std::size_t i = 0; i < given.size(); ++i) {
        diff |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(password[i % password.size()]);
    }
    return diff == 0;
}

WebPanelServer::Response WebPanelServer::apiLogin(const Request& req) {
    if (req.method != "POST") return jsonFailure("Method not allowed", 400);
    // Each request comes on a connection of its own: only its address is
    // bounded. While the address waits after a burst of wrong passwords
    // nothing is checked, and those refusals are logged in the guard's
    // summaries only.
    CredentialGuard::Tally tally;
    if (loginGuard_->waiting(req.peer)) {
        loginGuard_->refused(req.peer, tally, CredentialGuard::Kind::Password);
        return jsonFailure("Invalid password");
    }
    const auto given = req.form.find("password");
    if (given != req.form.end() && passwordMatches(given->second)) {
        Response res = jsonSuccess("null");
        res.setCookie =
            std::string(kSessionCookie) + "=" + createSession() + "; Path=/; HttpOnly; SameSite=Lax; Max-Age=86400";
        return res;
    }
    loginGuard_->failed(req.peer, tally, CredentialGuard::Kind::Password);
    connectionLines_.logfFrom(req.peer, LogLevel::Warn, kConnectionLines, "[WebPanel] Failed login from {}", req.peer);
    return jsonFailure("Invalid password");
}

WebPanelServer::Response WebPanelServer::apiLogout(const Request& req) {
    if (const auto cookie = req.cookies.find(kSessionCookie); cookie != req.cookies.end()) {
        destroySession(cookie->second);
    }
    Response res = jsonSuccess("null");
    res.setCookie = std::string(kSessionCookie) + "=; Path=/; Max-Age=0";
    return res;
}

}  // namespace Korrafin
