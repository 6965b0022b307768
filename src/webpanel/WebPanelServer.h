// The embedded web panel: an HTTP/1.1 server of its own on one TCP port, with
// one accept thread and one short-lived thread per connection that reads one
// request, answers it and closes. It serves the login and panel pages and a
// JSON administration API over the host's registry (PanelHost) and the
// master database, behind one administrator password and cookie sessions.
//
// Lifetime: built by the host, started once, stopped by the host before the
// host disconnects its clients. stop() wakes the accept thread, shuts every
// live connection down and waits for its thread, so no connection thread
// touches the panel, the host or the database after stop() returns.
//
// Threads and locks: start/stop from the host's threads (stop is idempotent,
// a second caller waits for the first); handlers run on connection threads,
// side by side. sessionsMutex_ guards the session map and connMutex_ the
// live connections; both are leaves. Handlers take no lock of their own
// beyond those of the objects they call.
//
// Untrusted input: a request is bounded (line, header count and size, body,
// a deadline from accept for the headers and one for the whole request), and
// nothing in it can end the process: every request runs inside a catch-all.
// At most kMaxConnectionsPerAddress connections of one remote address and
// kMaxConnections in all live at a time; more are closed at accept. What
// connections make the log say passes a bound per address and in all.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include <nlohmann/json_fwd.hpp>

#include "core/CredentialGuard.h"
#include "core/LogThrottle.h"
#include "core/PerKeyLimit.h"

namespace Korrafin {

class PanelHost;

namespace DB {
class IDatabase;
}

class WebPanelServer {
public:
    using Fields = std::unordered_map<std::string, std::string>;

    struct Request {
        std::string method;  // as sent
        std::string path;    // cut before the first '?'
        std::string body;
        Fields headers;      // lower-cased name -> value; the last one of a name wins
        Fields cookies;      // from the last Cookie header
        Fields form;         // the body decoded as form-urlencoded text
        std::string peer;    // remote IPv4 address (for the log)
    };

    struct Response {
        int status = 200;
        std::string body;
        std::string contentType = "text/html; charset=utf-8";
        std::string setCookie;  // one Set-Cookie header when non-empty
    };

    enum class ParseResult {
        Ok,
        NoRequest,   // no request line: closed without an answer
        TooLarge,    // a limit was exceeded: 400 "Request too large"
        Incomplete,  // headers never ended, or the body fell short: 400
        BadRequest,  // a Content-Length that is not a number: 400
    };

    static constexpr int kListenBacklog = 8;
    static constexpr std::size_t kMaxLineBytes = 8 * 1024;
    static constexpr std::size_t kMaxHeaders = 100;
    static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
    static constexpr std::size_t kMaxBodyBytes = 65536;
    static constexpr std::size_t kMaxConnections = 64;
    static constexpr std::size_t kMaxConnectionsPerAddress = 8;
    static constexpr std::chrono::milliseconds kReceiveTimeout{5000};
    static constexpr std::chrono::milliseconds kHeaderDeadline{10000};
    static constexpr std::chrono::milliseconds kRequestDeadline{30000};
    static constexpr unsigned kLogLinesPerAddress = 20;
    static constexpr unsigned kLogLinesInAll = 40;
    static constexpr int64_t kSessionSeconds = 86400;
    static constexpr const char* kSessionCookie = "kr_panel_sess";

    // The two pages, served byte for byte.
    static const char* const LOGIN_HTML;
    static const char* const PANEL_HTML;

    // `server` and `db` may be null (handlers then answer their failure
    // texts); both must outlive the panel's stop().
    WebPanelServer(PanelHost* server, std::shared_ptr<DB::IDatabase> db, std::string configPath);
    // Stops.
    ~WebPanelServer();

    WebPanelServer(const WebPanelServer&) = delete;
    WebPanelServer& operator=(const WebPanelServer&) = delete;

    // Opens the listener (0.0.0.0:port, backlog 8) and starts the accept
    // thread; false, with an ERROR line, when the listener cannot be opened.
    // Called once. An empty password lets nobody in.
    bool start(int port, const std::string& password);
    // Ends the accept thread, then every connection: sockets shut down, their
    // threads waited for. Idempotent.
    void stop();
    // Time limits of each request (kReceiveTimeout, kRequestDeadline,
    // kHeaderDeadline unless set); for tests. Call before start.
    void setTimeLimits(std::chrono::milliseconds receiveTimeout, std::chrono::milliseconds deadline,
                       std::chrono::milliseconds headerDeadline = kHeaderDeadline) {
        receiveTimeout_ = receiveTimeout;
        requestDeadline_ = deadline;
        headerDeadline_ = headerDeadline;
    }
    // What limits wrong passwords per remote address (one of the panel's
    // own unless set); for tests. Call before start.
    void setLoginGuard(std::shared_ptr<CredentialGuard> guard) {
        if (guard) loginGuard_ = std::move(guard);
    }
    bool isRunning() const { return running.load(); }
    int listenPort() const { return port; }
    // Connection threads that have not ended yet.
    std::size_t liveConnections() const;

    // ---- HTTP pieces (static: any thread, no state) ----

    // Reads one request from a connected socket: each receive waits at most
    // `receiveTimeout`, the request line and headers at most
    // `headerDeadline` and the whole request at most `deadline`, both from
    // the call. On any result but Ok, `req` holds what was read (the path,
    // once the request line arrived).
    static ParseResult parseRequest(int fd, Request& req, std::chrono::milliseconds deadline = kRequestDeadline,
                                    std::chrono::milliseconds receiveTimeout = kReceiveTimeout,
                                    std::chrono::milliseconds headerDeadline = kHeaderDeadline);
    static std::string urlDecode(const std::string& text);
    static Fields parseForm(const std::string& body);
    static Fields parseCookies(const std::string& header);
    // The answer's bytes: status line, Content-Type, Content-Length,
    // Connection: close, Set-Cookie when set, blank line, body.
    static std::string formatResponse(const Response& res);
    // Writes the whole answer (no SIGPIPE); a failed write is ignored.
    static void sendResponse(int fd, const Response& res);
    static std::string jsonOk(const std::string& payload);
    static std::string jsonErr(const std::string& message);
    // Compact, members in name order, invalid UTF-8 replaced (never throws
    // for text).
    static std::string dumpJson(const nlohmann::json& value);
    // True for "/api/" and everything below it.
    static bool isApiPath(const std::string& path);

    // ---- routing and sessions (any thread) ----

    Response route(const Request& req);
    // 32 lower-case hex characters from the system random source.
    static std::string generateToken();
    std::string createSession();
    bool isAuthed(const Request& req) const;
    void destroySession(const std::string& token);

private:
    void acceptLoop();
    // Takes over `fd` unless a connection limit is reached or no thread
    // can start (then it is closed; a refusal for the address's bound is
    // logged at most once a second).
    void admit(int fd, const std::string& peer);
    // Serves one request; its time limits count from `accepted`.
    void handleClient(int fd, const std::string& peer, std::chrono::steady_clock::time_point accepted);
    // The connection's thread ends here: last touch of this object.
    void release(int fd);
    bool passwordMatches(const std::string& given) const;
    // The checks of the endpoints that change something: POST only, and no
    // Origin header naming another origin. Empty when they pass.
    static std::string refuseChange(const Request& req);

    Response apiLogin(const Request& req);
    Response apiLogout(const Request& req);
    Response apiDashboard(const Request& req);
    Response apiUsers(const Request& req);
    Response apiChannels(const Request& req);
    Response apiKick(const Request& req);
    Response apiPrivkeys(const Request& req);
    Response apiPrivkeyCreate(const Request& req);
    Response apiPrivkeyRevoke(const Request& req);
    Response apiBottokens(const Request& req);
    Response apiBotTokenCreate(const Request& req);
    Response apiBotTokenRevoke(const Request& req);
    Response apiVServers(const Request& req);
    Response apiVServerCreate(const Request& req);
    Response apiVServerUpdate(const Request& req);
    Response apiVServerDelete(const Request& req);
    Response apiVServerStop(const Request& req);
    Response apiVServerStart(const Request& req);
    // Delete, stop and start: reads the id, runs `op` on it and answers
    // `failure` when the id names no server or `op` returns false.
    Response onVServer(const Request& req, const char* failure, const std::function<bool(uint16_t)>& op);

    PanelHost* const server;
    const std::shared_ptr<DB::IDatabase> db;
    const std::string configPath;  // kept for the host; the panel does not read it
    std::string password;          // written by start before any thread exists
    int port = 8080;
    std::chrono::milliseconds receiveTimeout_ = kReceiveTimeout;
    std::chrono::milliseconds requestDeadline_ = kRequestDeadline;
    std::chrono::milliseconds headerDeadline_ = kHeaderDeadline;
    std::shared_ptr<CredentialGuard> loginGuard_ = std::make_shared<CredentialGuard>();  // set before start
    int listenFd = -1;
    std::atomic<bool> running{false};
    std::thread acceptThread;
    std::mutex stopMutex;

    mutable std::mutex sessionsMutex;
    std::unordered_map<std::string, int64_t> sessions;  // token -> expiry (Unix seconds)

    mutable std::mutex connMutex;
    std::condition_variable connCv;
    std::unordered_set<int> connections;  // sockets of live connection threads
    PerKeyLimit perAddress_{kMaxConnectionsPerAddress};  // live connections by remote address
    LogThrottle refusals_{1};
    // Failed logins and failed requests, by remote address.
    LogThrottle connectionLines_{kLogLinesInAll, kLogLinesPerAddress};
};

}  // namespace Korrafin
