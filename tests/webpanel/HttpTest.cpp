// The panel's HTTP layer against raw sockets: decoding, routing, the exact
// bytes of answers, login and sessions, the bounds on a request and on
// connections, stop while connections live, and requests that must not end
// the process. The host behind the panel is a stand-in that records what the
// panel asks of it.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "core/CredentialGuard.h"
#include "support/Crowd.h"
#include "support/LogCapture.h"
#include "support/Ports.h"
#include "support/TestDatabase.h"
#include "support/Time.h"
#include "support/VServerWorld.h"
#include "webpanel/HttpClient.h"
#include "webpanel/PanelHost.h"
#include "webpanel/WebPanelServer.h"

namespace Korrafin {
namespace {

namespace kt = ::Korrafin::Test;
using namespace std::chrono_literals;
using kt::HttpReply;
using kt::LogCapture;
using nlohmann::json;

// Holds every character class the generated passwords use, and the ones a
// form treats specially.
const std::string kPassword = "a&b%c#d!e@f$g h+i=j";

// Records what the panel asks of the host; the virtual servers are set
// before the panel starts.
class FakeHost final : public PanelHost {
public:
    std::vector<std::shared_ptr<VirtualServer>> vservers;

    // Runs inside allVServers: may throw or block. May be set while the panel runs.
    void setOnList(std::function<void()> f) {
        std::lock_guard<std::mutex> lock(mutex_);
        onList_ = std::move(f);
    }

    std::vector<std::shared_ptr<VirtualServer>> allVServers() const override {
        std::function<void()> f;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            f = onList_;
        }
        if (f) f();
        return vservers;
    }
    std::shared_ptr<VirtualServer> getVServer(uint16_t id) const override {
        for (const auto& vs : vservers)
            if (vs->id() == id) return vs;
        return nullptr;
    }
    bool isVServerRunning(uint16_t id) const override {
        const auto vs = getVServer(id);
        return vs && vs->isRunning();
    }
    CreateResult createVServer(const VirtualServer::VSConfig&, DbPathSource) override {
        note("create");
        return CreateResult::Created;
    }
    bool removeVServer(uint16_t) override { return note("remove"); }
    bool pauseVServer(uint16_t) override { return note("pause"); }
    bool resumeVServer(uint16_t) override { return note("resume"); }
    bool saveVServersToConfig() override { return note("save"); }
    void onBotTokenRevoked(int64_t tokenId) override { note("revoked " + std::to_string(tokenId)); }

    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    bool note(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        return true;
    }
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::function<void()> onList_;
};

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().clear();
        host.vservers.push_back(kt::makeVServer(kt::vsConfig(1, "One")));
        host.vservers.back()->start();
        startPanel(kPassword);
    }

    void startPanel(const std::string& password) {
        panel = std::make_unique<WebPanelServer>(&host, store.db, "unused.json");
        ASSERT_TRUE(panel->start(port, password));
    }

    HttpReply send(const std::string& bytes) { return kt::httpExchange(port, bytes); }
    HttpReply get(const std::string& path, const std::string& headers = "") {
        return send(kt::httpRequest("GET", path, port, "", headers));
    }
    std::string sessionCookie() {
        kt::PanelClient c(port);
        EXPECT_TRUE(c.login(kPassword));
        return "Cookie: kr_panel_sess=" + c.token + "\r\n";
    }

    kt::TestDatabase store;
    FakeHost host;
    const uint16_t port = kt::freePort();
    std::unique_ptr<WebPanelServer> panel;
};

std::string jsonError(const std::string& text) { return json{{"error", text}, {"ok", false}}.dump(); }

// ---------------------------------------------------------------- decoding

TEST(HttpDecodingTest, UrlDecodingKeepsWhatIsNotAnEscape) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"%41", "A"},          {"a+b", "a b"},       {"%zz", "%zz"},   {"%4", "%4"},
        {"%", "%"},            {"%%41", "%A"},       {"%e2%80%93", "\xE2\x80\x93"},
        {"%00x", std::string("\0x", 2)},             {"100%", "100%"}, {"%4g1", "%4g1"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(WebPanelServer::urlDecode(in), out) << in;
}

TEST(HttpDecodingTest, FormsAndCookiesSplitAsBrowsersWriteThem) {
    EXPECT_EQ(WebPanelServer::parseForm("a=1&b+c=x+y&flag&a=2&e=%3D%26"),
              (WebPanelServer::Fields{{"a", "2"}, {"b c", "x y"}, {"flag", ""}, {"e", "=&"}}));
    EXPECT_EQ(WebPanelServer::parseForm("k=a=b"), (WebPanelServer::Fields{{"k", "a=b"}}));
    EXPECT_TRUE(WebPanelServer::parseForm("").empty());

    // Blanks after ';' go; blanks around '=' stay; nothing is decoded.
    EXPECT_EQ(WebPanelServer::parseCookies("a=1;  b = 2 ;\tc;d=%41;a=3"),
              (WebPanelServer::Fields{{"a", "3"}, {"b ", " 2 "}, {"c", ""}, {"d", "%41"}}));
}

TEST(HttpDecodingTest, AnswersHaveExactlyTheirHeadersAndReasonPhrases) {
    WebPanelServer::Response r;
    r.body = "hi";
    EXPECT_EQ(WebPanelServer::formatResponse(r),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 2\r\n"
              "Connection: close\r\n\r\nhi");
    r.setCookie = "x=y";
    r.contentType = "application/json";
    r.body = "";
    EXPECT_EQ(WebPanelServer::formatResponse(r),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
              "Connection: close\r\nSet-Cookie: x=y\r\n\r\n");

    const std::vector<std::pair<int, std::string>> reasons = {
        {200, "OK"}, {302, "Found"}, {400, "Bad Request"}, {401, "Unauthorized"}, {404, "Not Found"}, {500, "OK"}};
    for (const auto& [status, reason] : reasons) {
        WebPanelServer::Response s;
        s.status = status;
        EXPECT_TRUE(WebPanelServer::formatResponse(s).starts_with("HTTP/1.1 " + std::to_string(status) + " " +
                                                                  reason + "\r\n"));
    }
}

TEST(HttpDecodingTest, JsonIsWrittenWithInvalidUtf8Replaced) {
    EXPECT_EQ(WebPanelServer::jsonErr("bad \xff text"), "{\"error\":\"bad \xEF\xBF\xBD text\",\"ok\":false}");
    EXPECT_EQ(WebPanelServer::jsonOk("[1]"), "{\"ok\":true,\"data\":[1]}");
    EXPECT_EQ(WebPanelServer::dumpJson(json{{"b", "ä"}, {"a", 1}}), "{\"a\":1,\"b\":\"ä\"}");
}

// ---------------------------------------------------------------- parsing under time limits

// The server end of a connection whose client end the test drives.
struct Pipe {
    kt::SocketPair p = kt::tcpPair();
    ~Pipe() {
        ::close(p.server);
        ::close(p.client);
    }
};

TEST(HttpParseTest, SilenceAndDrippingBytesEndTheRequestAtTheirTimeLimits) {
    {
        Pipe pipe;  // nothing at all: no request
        WebPanelServer::Request req;
        EXPECT_EQ(WebPanelServer::parseRequest(pipe.p.server, req, 5s, 100ms), WebPanelServer::ParseResult::NoRequest);
    }
    {
        Pipe pipe;  // the headers stop coming
        kt::sendText(pipe.p.client, "GET /api/x HTTP/1.1\r\nHost: a\r\n");
        WebPanelServer::Request req;
        EXPECT_EQ(WebPanelServer::parseRequest(pipe.p.server, req, 5s, 100ms),
                  WebPanelServer::ParseResult::Incomplete);
        EXPECT_EQ(req.path, "/api/x");
    }
    {
        // A byte every 20 ms never trips the receive time-out, but the
        // whole request still has its deadline.
        Pipe pipe;
        std::atomic<bool> stop{false};
        std::thread drip([&] {
            kt::sendText(pipe.p.client, "GET / HTTP/1.1\r\n");
            while (!stop.load()) {
                kt::sendText(pipe.p.client, "X");
                std::this_thread::sleep_for(20ms);
            }
        });
        WebPanelServer::Request req;
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(WebPanelServer::parseRequest(pipe.p.server, req, 400ms, 200ms),
                  WebPanelServer::ParseResult::Incomplete);
        EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
        stop.store(true);
        drip.join();
    }
}

// The headers have a deadline of their own, counted from the start and
// never restarted by a byte; the body may take until the request's.
TEST(HttpParseTest, HeadersEndByTheirDeadlineWhileTheBodyMayTakeLonger) {
    struct Case {
        std::string what;
        std::string head;  // sent at once
        std::string drip;  // then a byte every 20 ms
        WebPanelServer::ParseResult result;
    };
    const std::vector<Case> cases = {
        {"a header line that never ends", "GET / HTTP/1.1\r\nX: ", std::string(200, 'a'),
         WebPanelServer::ParseResult::Incomplete},
        {"one short header after another", "GET / HTTP/1.1\r\n", [] {
             std::string h;
             for (int i = 0; i < 40; ++i) h += "X:" + std::to_string(i % 10) + "\r\n";
             return h;
         }(),
         WebPanelServer::ParseResult::Incomplete},
        {"a body after prompt headers", "POST / HTTP/1.1\r\nContent-Length: 30\r\n\r\n", std::string(30, 'b'),
         WebPanelServer::ParseResult::Ok},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pipe pipe;
        std::atomic<bool> stop{false};
        std::thread drip([&] {
            kt::sendText(pipe.p.client, c.head);
            for (std::size_t i = 0; i < c.drip.size() && !stop.load(); ++i) {
                kt::sendText(pipe.p.client, c.drip.substr(i, 1));
                std::this_thread::sleep_for(20ms);
            }
        });
        WebPanelServer::Request req;
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(WebPanelServer::parseRequest(pipe.p.server, req, 60s, 5s, 300ms), c.result);
        if (c.result != WebPanelServer::ParseResult::Ok) {
            EXPECT_LT(std::chrono::steady_clock::now() - began, 3s) << "ends at the deadline of the headers";
        } else {
            EXPECT_EQ(req.body, c.drip);
        }
        stop.store(true);
        drip.join();
    }
}

// ---------------------------------------------------------------- routing

TEST_F(HttpTest, PagesAndPathsRouteByTheTableWithAndWithoutSession) {
    const std::string cookie = sessionCookie();
    const std::string toPanel = "<meta http-equiv='refresh' content='0;url=/panel'>";
    const std::string toLogin = "<meta http-equiv='refresh' content='0;url=/'>";
    struct Case {
        std::string requestLine;
        bool session;
        int status;
        std::string type;
        std::string body;
    };
    const std::string html = "text/html; charset=utf-8";
    const std::vector<Case> cases = {
        {"GET / HTTP/1.1", false, 200, html, WebPanelServer::LOGIN_HTML},
        {"GET /login HTTP/1.1", false, 200, html, WebPanelServer::LOGIN_HTML},
        {"GET", false, 200, html, WebPanelServer::LOGIN_HTML},
        {"GET / HTTP/1.1", true, 200, html, toPanel},
        {"GET /panel?x=1 HTTP/1.1", true, 200, html, WebPanelServer::PANEL_HTML},
        {"GET /panel HTTP/1.1", false, 200, html, toLogin},
        {"GET /api HTTP/1.1", true, 404, html, "Not found"},
        {"GET /elsewhere HTTP/1.1", false, 404, html, "Not found"},
        {"GET /api/ HTTP/1.1", false, 401, "application/json", jsonError("Unauthorized")},
        {"GET /api/ HTTP/1.1", true, 404, "application/json", jsonError("Unknown endpoint")},
        {"GET /api/nothing HTTP/1.1", false, 401, "application/json", jsonError("Unauthorized")},
        {"GET /api/Users HTTP/1.1", true, 404, "application/json", jsonError("Unknown endpoint")},
    };
    for (const auto& c : cases) {
        const HttpReply r = send(c.requestLine + "\r\n" + (c.session ? cookie : "") + "\r\n");
        SCOPED_TRACE(c.requestLine + (c.session ? " with session" : ""));
        EXPECT_EQ(r.status(), c.status);
        EXPECT_EQ(r.headerLines, (std::vector<std::string>{"Content-Type: " + c.type,
                                                           "Content-Length: " + std::to_string(c.body.size()),
                                                           "Connection: close"}));
        EXPECT_EQ(r.body, c.body);
    }
}

// ---------------------------------------------------------------- login and sessions

TEST_F(HttpTest, TheEncodedPasswordLogsInAndTheCookieCarriesTheSession) {
    const HttpReply r = send(kt::httpRequest("POST", "/api/login", port, "password=" + kt::formEscape(kPassword)));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(r.body, "{\"ok\":true,\"data\":null}");
    const std::string cookie = r.header("Set-Cookie");
    ASSERT_TRUE(cookie.starts_with("kr_panel_sess=")) << cookie;
    const std::string token = cookie.substr(14, 32);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(cookie, "kr_panel_sess=" + token + "; Path=/; HttpOnly; SameSite=Lax; Max-Age=86400");
    EXPECT_EQ(get("/api/users", "Cookie: kr_panel_sess=" + token + "\r\n").status(), 200);

    // Any body type is read as a form; the header name in any case.
    const HttpReply plain = send("POST /api/login HTTP/1.1\r\ncontent-TYPE: text/plain\r\nCONTENT-LENGTH: " +
                                 std::to_string(9 + kt::formEscape(kPassword).size()) +
                                 "\r\n\r\npassword=" + kt::formEscape(kPassword));
    EXPECT_TRUE(plain.header("Set-Cookie").starts_with("kr_panel_sess="));

    // Two sessions at once; logging one out leaves the other.
    kt::PanelClient a(port), b(port);
    ASSERT_TRUE(a.login(kPassword));
    ASSERT_TRUE(b.login(kPassword));
    EXPECT_NE(a.token, b.token);
    const HttpReply out = a.get("/api/logout");
    EXPECT_EQ(out.header("Set-Cookie"), "kr_panel_sess=; Path=/; Max-Age=0");
    EXPECT_EQ(out.body, "{\"ok\":true,\"data\":null}");
    EXPECT_EQ(a.get("/api/users").status(), 401);
    EXPECT_EQ(a.get("/panel").body, "<meta http-equiv='refresh' content='0;url=/'>");
    EXPECT_EQ(b.get("/api/users").status(), 200);

    // Logout without any cookie still clears it.
    const HttpReply anon = get("/api/logout");
    EXPECT_EQ(anon.status(), 200);
    EXPECT_EQ(anon.header("Set-Cookie"), "kr_panel_sess=; Path=/; Max-Age=0");
}

TEST_F(HttpTest, WrongPasswordsAndMethodsAreRefusedAndFailuresLogged) {
    struct Case {
        std::string request;
        int status;
        std::string error;
    };
    const std::string right = "password=" + kt::formEscape(kPassword);
    const std::vector<Case> cases = {
        {kt::httpRequest("GET", "/api/login", port, right), 400, "Method not allowed"},
        {kt::httpRequest("post", "/api/login", port, right), 400, "Method not allowed"},
        {kt::httpRequest("POST", "/api/login", port), 200, "Invalid password"},
        {kt::httpRequest("POST", "/api/login", port, right + "+"), 200, "Invalid password"},
        {kt::httpRequest("POST", "/api/login", port, "password=" + kt::formEscape(kPassword.substr(1))), 200,
         "Invalid password"},
        {kt::httpRequest("POST", "/api/login", port, "Password=" + kt::formEscape(kPassword)), 200,
         "Invalid password"},
    };
    for (const auto& c : cases) {
        const HttpReply r = send(c.request);
        SCOPED_TRACE(c.request);
        EXPECT_EQ(r.status(), c.status);
        EXPECT_EQ(r.body, jsonError(c.error));
        EXPECT_EQ(r.header("Set-Cookie"), "");
    }
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "[WebPanel] Failed login from 127.0.0.1"), 4u);
}

TEST_F(HttpTest, ABurstOfWrongPasswordsMakesTheAddressWaitLongerEachTime) {
    // The guard's clock is the test's: no real waiting.
    std::atomic<int64_t> ms{0};
    auto guard = std::make_shared<CredentialGuard>(CredentialGuard::Limits{}, [&ms] {
        return CredentialGuard::Clock::time_point{} + std::chrono::hours(1) + std::chrono::milliseconds(ms.load());
    });
    panel->stop();
    panel = std::make_unique<WebPanelServer>(&host, store.db, "unused.json");
    panel->setLoginGuard(guard);
    ASSERT_TRUE(panel->start(port, kPassword));

    auto tryLogin = [&](const std::string& pw) {
        const HttpReply r = send(kt::httpRequest("POST", "/api/login", port, "password=" + kt::formEscape(pw)));
        EXPECT_EQ(r.status(), 200);
        return r;
    };
    int64_t wait = 2000;
    for (int burst = 1; burst <= 3; ++burst) {
        SCOPED_TRACE("burst " + std::to_string(burst));
        LogCapture::instance().clear();
        for (int i = 0; i < 5; ++i) EXPECT_EQ(tryLogin("guess").body, jsonError("Invalid password"));
        for (int i = 0; i < 3; ++i) {
            const HttpReply r = tryLogin(kPassword);
            EXPECT_EQ(r.body, jsonError("Invalid password")) << "unchecked while the address waits";
            EXPECT_EQ(r.header("Set-Cookie"), "");
        }
        EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "[WebPanel] Failed login from 127.0.0.1"), 5u)
            << "refusals while waiting are only counted in the summary";
        EXPECT_EQ(LogCapture::instance().countContaining("Failed credential attempts from 127.0.0.1: 5 passwords"), 1u);
        ms += wait - 1;
        EXPECT_EQ(tryLogin(kPassword).body, jsonError("Invalid password"));
        ms += 1;
        EXPECT_EQ(tryLogin(kPassword).json()["ok"], true) << "the right password works after the wait";
        wait *= 2;
    }
}

TEST_F(HttpTest, AnEmptyStoredPasswordLetsNobodyIn) {
    panel.reset();
    startPanel("");
    for (const std::string body : {"password=", "password", ""}) {
        const HttpReply r = send(kt::httpRequest("POST", "/api/login", port, body));
        EXPECT_EQ(r.body, jsonError("Invalid password")) << body;
    }
}

// ---------------------------------------------------------------- bounds

TEST_F(HttpTest, OversizedAndUnfinishedRequestsAreAnsweredWithoutBeingRouted) {
    const std::string cookie = sessionCookie();
    const std::string many = [] {
        std::string h;
        for (int i = 0; i < 101; ++i) h += "X-" + std::to_string(i) + ": v\r\n";
        return h;
    }();
    const std::string bulky = [] {
        std::string h;
        for (int i = 0; i < 9; ++i) h += "X-" + std::to_string(i) + ": " + std::string(8000, 'v') + "\r\n";
        return h;
    }();
    struct Case {
        std::string what;
        std::string request;
        std::string type;  // of the 400 answer
        std::string body;
    };
    const std::string html = "text/html; charset=utf-8";
    const std::string tooLarge = jsonError("Request too large");
    const std::vector<Case> cases = {
        {"request line over 8 KiB", "GET /" + std::string(8192, 'a') + " HTTP/1.1\r\n\r\n", html,
         "Request too large"},
        {"header line over 8 KiB", "GET /api/users HTTP/1.1\r\nX: " + std::string(8190, 'a') + "\r\n\r\n",
         "application/json", tooLarge},
        {"101 headers", "GET /api/users HTTP/1.1\r\n" + many + "\r\n", "application/json", tooLarge},
        {"over 64 KiB of headers", "GET /api/users HTTP/1.1\r\n" + bulky + "\r\n", "application/json", tooLarge},
        {"body over the limit", kt::httpRequest("POST", "/api/privkey_create", port, std::string(65537, 'a'), cookie),
         "application/json", tooLarge},
        {"page path, body over the limit", kt::httpRequest("POST", "/", port, std::string(70000, 'a')), html,
         "Request too large"},
        {"length not a number", "POST /api/privkey_create HTTP/1.1\r\n" + cookie + "Content-Length: 12abc\r\n\r\n",
         "application/json", jsonError("Bad request")},
        {"negative length", "POST /api/privkey_create HTTP/1.1\r\n" + cookie + "Content-Length: -5\r\n\r\n",
         "application/json", jsonError("Bad request")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const HttpReply r = send(c.request);
        EXPECT_EQ(r.statusLine, "HTTP/1.1 400 Bad Request");
        EXPECT_EQ(r.header("Content-Type"), c.type);
        EXPECT_EQ(r.body, c.body);
    }

    // A body that stops short, and headers that never end: the client is
    // done sending, nothing is routed.
    for (const std::string& partial :
         {"POST /api/privkey_create HTTP/1.1\r\n" + cookie + "Content-Length: 20\r\n\r\ntype=mod",
          "POST /api/privkey_create HTTP/1.1\r\n" + cookie}) {
        const int fd = kt::connectLoopback(port);
        kt::sendText(fd, partial);
        ::shutdown(fd, SHUT_WR);
        const HttpReply r = kt::splitReply(kt::readToEnd(fd));
        ::close(fd);
        EXPECT_EQ(r.status(), 400);
        EXPECT_EQ(r.body, jsonError("Incomplete request"));
    }
    EXPECT_EQ(store.db->calls("CreatePrivilegeKey"), 0) << "no handler ran";

    // The largest body there may be is read whole.
    const std::string body = "description=" + std::string(65536 - 12, 'd');
    const HttpReply full = send(kt::httpRequest("POST", "/api/privkey_create", port, body, cookie));
    EXPECT_EQ(full.status(), 200);
    EXPECT_EQ(full.json()["ok"], true);
    EXPECT_EQ(store.real->GetAllPrivilegeKeys().at(0).description, std::string(128, 'd'));
}

// At most 8 connections of one address and 64 in all live at a time; more
// are closed unanswered at once (those of an address at its bound logged at
// most once a second), and when one leaves the next is served.
TEST_F(HttpTest, ConnectionsAreBoundedPerAddressAndInAll) {
    struct Case {
        std::string what;
        std::size_t addresses;  // 127.0.0.2 and up, each filled to its bound
        std::string extraFrom;  // one too many
        std::string refusal;    // its log line; none when empty
    };
    const std::size_t perAddress = WebPanelServer::kMaxConnectionsPerAddress;
    const std::vector<Case> cases = {
        {"one address at its bound", 1, "127.0.0.2",
         "WebPanel: connection from 127.0.0.2 refused: 8 connections from it already open"},
        {"every place taken", WebPanelServer::kMaxConnections / perAddress, "127.0.0.200", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture::instance().clear();
        // Long time limits, so that a slow machine cannot close the first
        // connections before the last one is up.
        panel.reset();
        panel = std::make_unique<WebPanelServer>(&host, store.db, "unused.json");
        panel->setTimeLimits(60s, 60s, 60s);
        ASSERT_TRUE(panel->start(port, kPassword));

        std::vector<int> idle;
        for (std::size_t a = 0; a < c.addresses; ++a) {
            const std::string from = "127.0.0." + std::to_string(2 + a);
            for (std::size_t i = 0; i < perAddress; ++i) idle.push_back(kt::connectLoopback(port, {from.c_str()}));
        }
        ASSERT_TRUE(kt::eventually([&] { return panel->liveConnections() == idle.size(); }, 30s));

        for (int i = 0; i < 3; ++i) {
            const HttpReply r =
                kt::httpExchange(port, kt::httpRequest("GET", "/", port), 10s, {c.extraFrom.c_str()});
            EXPECT_FALSE(r.answered()) << "closed unanswered, not " << r.statusLine;
        }
        EXPECT_EQ(panel->liveConnections(), idle.size());
        if (!c.refusal.empty()) {
            EXPECT_TRUE(LogCapture::instance().waitFor(LogLevel::Warn, c.refusal));
            EXPECT_EQ(LogCapture::instance().countContaining("refused"), 1u) << "at most once a second";
            EXPECT_EQ(get("/").status(), 200) << "another address is served";
        }

        // One leaves, and the next one is served.
        ::close(idle.front());
        idle.erase(idle.begin());
        ASSERT_TRUE(kt::eventually([&] { return panel->liveConnections() == idle.size(); }, 10s));
        EXPECT_EQ(kt::httpExchange(port, kt::httpRequest("GET", "/", port), 10s, {c.extraFrom.c_str()}).status(),
                  200);
        for (const int fd : idle) ::close(fd);
    }
}

// Strangers from one address that keep as many connections open as the panel
// takes, each trickling its headers, never keep the administrator out.
TEST_F(HttpTest, TricklingConnectionsFromOneAddressNeverKeepTheAdministratorOut) {
    kt::Crowd strangers(port, "127.0.0.2", WebPanelServer::kMaxConnections, "GET / HTTP/1.1\r\nX-Slow: ", "a");
    ASSERT_TRUE(kt::eventually([&] { return strangers.rounds() >= 1; })) << "every one of them opened";

    const auto began = std::chrono::steady_clock::now();
    kt::PanelClient admin(port);
    ASSERT_TRUE(admin.login(kPassword));
    EXPECT_EQ(admin.call("vservers")["ok"], true);
    EXPECT_LT(std::chrono::steady_clock::now() - began, kt::kPromptly);
    EXPECT_LE(panel->liveConnections(), WebPanelServer::kMaxConnectionsPerAddress + 1)
        << "the strangers hold their address's places only";
}

// A connection that trickles its headers is closed at their deadline,
// counted from accept, though every byte comes well within the receive
// time-out.
TEST_F(HttpTest, TricklingHeadersEndAtTheirDeadlineFromAccept) {
    panel.reset();
    panel = std::make_unique<WebPanelServer>(&host, store.db, "unused.json");
    panel->setTimeLimits(2s, 60s, 1s);
    ASSERT_TRUE(panel->start(port, kPassword));
    const auto began = std::chrono::steady_clock::now();
    kt::Crowd trickle(port, "127.0.0.2", 1, "GET / HTTP/1.1\r\nX: ", "a", 100ms);
    ASSERT_TRUE(kt::eventually([&] { return trickle.opened() >= 2; })) << "closed, and opened again";
    EXPECT_LT(std::chrono::steady_clock::now() - began, 20s);
}

// Failed logins from many addresses make at most a few lines a second; the
// rest are counted in one summary line.
TEST_F(HttpTest, TheLinesOfFailedLoginsAreBoundedAndSummarised) {
    const int addresses = 48, tries = 4;  // below the burst that makes an address wait
    const auto began = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int a = t; a < addresses; a += 8) {
                const std::string from = "127.0.1." + std::to_string(a + 1);
                for (int i = 0; i < tries; ++i) {
                    const HttpReply r = kt::httpExchange(
                        port, kt::httpRequest("POST", "/api/login", port, "password=wrong"), 10s, {from.c_str()});
                    EXPECT_EQ(r.body, jsonError("Invalid password"));
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began).count() + 1;
    panel->stop();  // tells what is still held back

    std::size_t written = 0;
    uint64_t suppressed = 0;
    for (const auto& l : LogCapture::instance().lines()) {
        written += l.message.starts_with("[WebPanel] Failed login from 127.0.1.") ? 1 : 0;
        const std::string summary = "[WebPanel] Connection lines: ";
        if (l.message.starts_with(summary)) suppressed += std::stoull(l.message.substr(summary.size()));
    }
    EXPECT_LE(written, static_cast<std::size_t>(seconds) * WebPanelServer::kLogLinesInAll);
    EXPECT_EQ(written + suppressed, static_cast<std::size_t>(addresses * tries)) << "every line held back is counted";
}

TEST_F(HttpTest, AConnectionThatSendsNothingIsClosedUnansweredAfterTheReceiveTimeOut) {
    const auto began = std::chrono::steady_clock::now();
    const int fd = kt::connectLoopback(port);
    EXPECT_EQ(kt::readToEnd(fd, 15s), "");
    ::close(fd);
    EXPECT_GE(std::chrono::steady_clock::now() - began, WebPanelServer::kReceiveTimeout - 100ms);
    ASSERT_TRUE(kt::eventually([&] { return panel->liveConnections() == 0; }));
}

// ---------------------------------------------------------------- failures and shutdown

TEST_F(HttpTest, AFailingHandlerEndsOnlyItsRequest) {
    const std::string cookie = sessionCookie();
    host.setOnList([] { throw std::runtime_error("registry broke"); });
    const HttpReply r = get("/api/users", cookie);
    EXPECT_EQ(r.statusLine, "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(r.body, jsonError("Bad request"));
    EXPECT_EQ(LogCapture::instance().count(LogLevel::Warn, "[WebPanel] Request failed: registry broke"), 1u);

    host.setOnList([] { throw 42; });  // not even a std::exception
    EXPECT_EQ(get("/api/vservers", cookie).body, jsonError("Bad request"));

    host.setOnList(nullptr);
    EXPECT_EQ(get("/api/vservers", cookie).status(), 200);
}

TEST_F(HttpTest, StorageErrorsAnswerTheirTextAndTheDashboardStillCounts) {
    // The hook is set before the panel shares the database.
    panel.reset();
    store.db->before = [](std::string_view) { throw std::runtime_error("disk gone"); };
    startPanel(kPassword);
    const std::string cookie = sessionCookie();
    for (const std::string name : {"privkeys", "bottokens"}) {
        EXPECT_EQ(get("/api/" + name, cookie).body, jsonError("disk gone")) << name;
    }
    for (const std::string name : {"privkey_create", "bottoken_create"}) {
        EXPECT_EQ(send(kt::httpRequest("POST", "/api/" + name, port, "x=1", cookie)).body, jsonError("disk gone"))
            << name;
    }
    const json dash = get("/api/dashboard", cookie).json();
    EXPECT_EQ(dash["ok"], true);
    EXPECT_EQ(dash["data"]["privkeys"], 0);
    EXPECT_EQ(dash["data"]["vservers"].size(), 1u);
}

TEST_F(HttpTest, AnAnswerToAPeerThatLeftRaisesNoSignal) {
    // Reset connections while the server writes the largest answer there is:
    // the write fails, and the process (run without any SIGPIPE handler)
    // goes on.
    const std::string cookie = sessionCookie();
    for (int i = 0; i < 20; ++i) {
        const int fd = kt::connectLoopback(port);
        int small = 1024;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        kt::sendText(fd, kt::httpRequest("GET", "/panel", port, "", cookie));
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    // A reset connection may still wait in the listen queue, or hold its
    // address's place a moment after it left the live set: a refusal then is
    // the per-address limit at work, and the next try is served.
    EXPECT_TRUE(kt::eventually(
        [&] { return panel->liveConnections() == 0 && get("/panel", cookie).body == WebPanelServer::PANEL_HTML; },
        10s));
}

TEST_F(HttpTest, StopWaitsForRequestsInFlightAndEndsIdleConnections) {
    const std::string cookie = sessionCookie();
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) idle.push_back(kt::connectLoopback(port));

    // One handler is held inside the host until the test lets it go.
    std::mutex m;
    std::condition_variable cv;
    bool inside = false;
    bool release = false;
    std::atomic<bool> handlerDone{false};
    host.setOnList([&] {
        std::unique_lock<std::mutex> lock(m);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    auto busy = std::async(std::launch::async, [&] {
        HttpReply r = get("/api/users", cookie);
        handlerDone.store(true);
        return r;
    });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return inside; }));
    }
    ASSERT_TRUE(kt::eventually([&] { return panel->liveConnections() == 4; }));

    auto stopping = std::async(std::launch::async, [&] { panel->stop(); });
    EXPECT_EQ(stopping.wait_for(300ms), std::future_status::timeout) << "stop must wait for the handler";
    for (const int fd : idle) {
        EXPECT_EQ(kt::readToEnd(fd, 3s), "") << "idle connections are shut at once";
        ::close(fd);
    }
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_EQ(stopping.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(panel->liveConnections(), 0u);
    EXPECT_FALSE(panel->isRunning());
    busy.get();
    EXPECT_EQ(kt::connectLoopback(port), -1) << "the listener is closed";
    panel->stop();  // again: nothing to do
}

// ---------------------------------------------------------------- changing endpoints

TEST_F(HttpTest, ChangesNeedPostFromThePanelsOwnOrigin) {
    const std::string cookie = sessionCookie();
    const std::vector<std::string> changing = {"kick",          "privkey_create", "privkey_revoke", "bottoken_create",
                                               "bottoken_revoke", "vserver_create", "vserver_update", "vserver_delete",
                                               "vserver_stop",  "vserver_start"};
    const std::string own = "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n";
    for (const auto& name : changing) {
        SCOPED_TRACE(name);
        const std::string path = "/api/" + name;
        const std::string body = "id=1&clientId=1";
        const HttpReply asGet = send(kt::httpRequest("GET", path, port, body, cookie));
        EXPECT_EQ(asGet.status(), 400);
        EXPECT_EQ(asGet.body, jsonError("Method not allowed"));
        for (const std::string origin : {"http://evil.example", "null", "http://127.0.0.1:1", "https://127.0.0.1"}) {
            const HttpReply foreign = send(kt::httpRequest("POST", path, port, body, cookie + "Origin: " + origin + "\r\n"));
            EXPECT_EQ(foreign.body, jsonError("Cross-origin request refused")) << origin;
        }
        const HttpReply noSession = send(kt::httpRequest("POST", path, port, body, own));
        EXPECT_EQ(noSession.status(), 401);
    }
    EXPECT_TRUE(host.calls().empty()) << "no refused request reached the host";
    EXPECT_EQ(store.db->calls("CreatePrivilegeKey") + store.db->calls("SaveBotToken") +
                  store.db->calls("RevokePrivilegeKey") + store.db->calls("DeleteBotToken"),
              0);

    // From its own origin (upper case host allowed), or with no Origin at
    // all, a POST goes through.
    const std::string ownUpper = "Origin: HTTP://127.0.0.1:" + std::to_string(port) + "\r\n";
    EXPECT_EQ(send(kt::httpRequest("POST", "/api/vserver_stop", port, "id=1", cookie + own)).body,
              "{\"ok\":true,\"data\":null}");
    EXPECT_EQ(send(kt::httpRequest("POST", "/api/vserver_start", port, "id=1", cookie + ownUpper)).body,
              "{\"ok\":true,\"data\":null}");
    EXPECT_EQ(send(kt::httpRequest("POST", "/api/vserver_delete", port, "id=1", cookie)).body,
              "{\"ok\":true,\"data\":null}");
    EXPECT_EQ(host.calls(), (std::vector<std::string>{"pause", "resume", "remove", "save"}));

    // The lists and logout keep every method.
    for (const std::string name : {"dashboard", "users", "channels", "privkeys", "bottokens", "vservers"}) {
        EXPECT_EQ(send(kt::httpRequest("DELETE", "/api/" + name, port, "", cookie)).status(), 200) << name;
    }
    EXPECT_EQ(send(kt::httpRequest("PUT", "/api/logout", port, "", cookie)).status(), 200);
}

TEST_F(HttpTest, RevokingABotTokenEndsItsBotsThroughTheHost) {
    kt::PanelClient c(port);
    ASSERT_TRUE(c.login(kPassword));
    const json created = c.call("bottoken_create", {{"bot_name", "b"}});
    ASSERT_EQ(created["ok"], true);
    const int64_t id = store.real->GetAllBotTokens().at(0).id;
    EXPECT_EQ(c.call("bottoken_revoke", {{"id", std::to_string(id)}}), json::parse(R"({"ok":true,"data":null})"));
    EXPECT_EQ(host.calls(), (std::vector<std::string>{"revoked " + std::to_string(id)}));
    EXPECT_TRUE(store.real->GetAllBotTokens().empty());
}

TEST_F(HttpTest, TextThatIsNotUtf8IsListedWithReplacements) {
    auto cfg = host.vservers[0]->config();
    cfg.name = "Bad \xC3 name";
    host.vservers[0]->setConfig(cfg);
    kt::PanelClient c(port);
    ASSERT_TRUE(c.login(kPassword));
    for (const std::string list : {"/api/vservers", "/api/dashboard"}) {
        const HttpReply r = c.get(list);
        EXPECT_EQ(r.status(), 200) << list;
        EXPECT_NE(r.body.find("Bad \xEF\xBF\xBD name"), std::string::npos) << r.body;
    }
}

}  // namespace
}  // namespace Korrafin
