// The client side of the panel's HTTP for tests: raw requests over a fresh
// loopback connection, the answer split into status line, headers and body,
// form encoding, and a browser-like client that keeps the session cookie.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/Ports.h"

namespace Korrafin::Test {

using namespace std::chrono_literals;

struct HttpReply {
    std::string raw;         // every byte the server sent
    std::string statusLine;  // without CRLF; empty when nothing came
    std::vector<std::string> headerLines;
    std::string body;

    bool answered() const { return !raw.empty(); }
    int status() const { return statusLine.size() >= 12 ? std::stoi(statusLine.substr(9, 3)) : 0; }
    // The value of the first header of that name (exact case), "" when none.
    std::string header(const std::string& name) const {
        for (const auto& l : headerLines)
            if (l.starts_with(name + ": ")) return l.substr(name.size() + 2);
        return "";
    }
    nlohmann::json json() const { return nlohmann::json::parse(body); }
};

inline HttpReply splitReply(std::string raw) {
    HttpReply r;
    r.raw = std::move(raw);
    const auto end = r.raw.find("\r\n\r\n");
    if (end == std::string::npos) return r;
    std::size_t pos = 0;
    bool first = true;
    while (pos < end) {
        const auto eol = r.raw.find("\r\n", pos);
        std::string line = r.raw.substr(pos, eol - pos);
        if (first) r.statusLine = std::move(line);
        else r.headerLines.push_back(std::move(line));
        first = false;
        pos = eol + 2;
    }
    r.body = r.raw.substr(end + 4);
    return r;
}

// Reads until the peer closes (or `timeout` passes); what came.
inline std::string readToEnd(int fd, std::chrono::milliseconds timeout = 10s) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return out;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return out;
        char buf[8192];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

inline void sendText(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;  // the server may answer and close before taking everything
        done += static_cast<std::size_t>(n);
    }
}

// One connection (from `options.source`): the bytes, then the answer up to
// the server's close.
inline HttpReply httpExchange(uint16_t port, const std::string& bytes, std::chrono::milliseconds timeout = 10s,
                              const DialOptions& options = {}) {
    const int fd = connectLoopback(port, options);
    if (fd < 0) throw std::runtime_error("exchange: connection refused");
    sendText(fd, bytes);
    HttpReply r = splitReply(readToEnd(fd, timeout));
    ::close(fd);
    return r;
}

// Every byte but letters and digits as %XX, so '&', '%', '#', '+', '=' and
// blanks survive the form decoding.
inline std::string formEscape(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

inline std::string formBody(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string body;
    for (const auto& [k, v] : fields) {
        if (!body.empty()) body += '&';
        body += formEscape(k);
        body += '=';
        body += formEscape(v);
    }
    return body;
}

// "METHOD target HTTP/1.1" with Host, the extra header lines, and the body
// with its Content-Length when there is one.
inline std::string httpRequest(const std::string& method, const std::string& target, uint16_t port,
                               const std::string& body = "", const std::string& extraHeaders = "") {
    std::string r = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    r += extraHeaders;
    if (!body.empty()) {
        r += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\n";
    }
    return r + "\r\n" + body;
}

// Talks to the panel as its page does, keeping the session cookie.
class PanelClient {
public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    explicit PanelClient(uint16_t port) : port_(port) {}

    HttpReply get(const std::string& path) { return httpExchange(port_, httpRequest("GET", path, port_, "", cookieLine())); }
    HttpReply post(const std::string& path, const Fields& fields = {}) {
        return httpExchange(port_, httpRequest("POST", path, port_, formBody(fields), cookieLine()));
    }
    // POST to /api/<name>; the parsed answer.
    nlohmann::json call(const std::string& name, const Fields& fields = {}) { return post("/api/" + name, fields).json(); }

    bool login(const std::string& password) {
        const HttpReply r = post("/api/login", {{"password", password}});
        const std::string cookie = r.header("Set-Cookie");
        if (r.status() != 200 || !cookie.starts_with("kr_panel_sess=")) return false;
        token = cookie.substr(14, cookie.find(';') - 14);
        return true;
    }

    std::string token;  // the session cookie's value; empty without a session

private:
    std::string cookieLine() const { return token.empty() ? "" : "Cookie: kr_panel_sess=" + token + "\r\n"; }
    uint16_t port_;
};

}  // namespace Korrafin::Test
