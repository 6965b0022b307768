// The HTTP pieces of the panel: reading one bounded request from a socket,
// form and cookie decoding, and writing an answer.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "core/Socket.h"
#include "webpanel/WebPanelServer.h"

namespace Korrafin {

namespace {

using Clock = std::chrono::steady_clock;

// Buffered reads from one connection under two clocks: each wait for bytes
// lasts at most the receive time-out, all of them together end at the
// deadline (that of the headers while they are read, then the request's).
class Receiver {
public:
    enum class Got { Done, Closed, TimedOut, TooLong };

    Receiver(int fd, Clock::time_point deadline, std::chrono::milliseconds receiveTimeout)
        : fd_(fd), deadline_(deadline), receiveTimeout_(receiveTimeout) {}

    // One line without its line feed; carriage returns are dropped. TooLong
    // when `max` bytes pass without a line feed.
    Got line(std::string& out, std::size_t max) {
        out.clear();
        for (;;) {
            const auto lf = buf_.find('\n', pos_);
            const std::size_t avail = (lf == std::string::npos ? buf_.size() : lf) - pos_;
            if (avail > max) return Got::TooLong;
            if (lf != std::string::npos) {
                for (std::size_t i = pos_; i < lf; ++i)
                    if (buf_[i] != '\r') out.push_back(buf_[i]);
                pos_ = lf + 1;
                return Got::Done;
            }
            if (const Got g = fill(); g != Got::Done) return g;
        }
    }

    // Reads from now on end at `deadline`.
    void until(Clock::time_point deadline) { deadline_ = deadline; }

    // Exactly `n` bytes.
    Got exact(std::size_t n, std::string& out) {
        while (buf_.size() - pos_ < n) {
            if (const Got g = fill(); g != Got::Done) return g;
        }
        out.assign(buf_, pos_, n);
        pos_ += n;
        return Got::Done;
    }

private:
    Got fill() {
        if (pos_ > 0) {
            buf_.erase(0, pos_);
            pos_ = 0;
        }
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
            if (left.count() <= 0) return Got::TimedOut;
            const auto wait = std::min(left, receiveTimeout_);
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(wait.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return Got::Closed;
            if (r == 0) return Got::TimedOut;
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return Got::Closed;
            buf_.append(chunk, static_cast<std::size_t>(n));
            return Got::Done;
        }
    }

    const int fd_;
    Clock::time_point deadline_;
    const std::chrono::milliseconds receiveTimeout_;
    std::string buf_;
    std::size_t pos_ = 0;
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimLeadingBlanks(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && isBlank(s[i])) ++i;
    return s.substr(i);
}

// Digits, optionally after a '+' and before trailing blanks; nothing else.
bool readContentLength(const std::string& text, std::size_t& out) {
    std::size_t i = !text.empty() && text[0] == '+' ? 1 : 0;
    std::size_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        if (value > WebPanelServer::kMaxBodyBytes) continue;  // already too large; keep scanning
        value = value * 10 + static_cast<std::size_t>(text[i] - '0');
    }
    while (i < text.size() && isBlank(text[i])) ++i;
    if (digits == 0 || i != text.size()) return false;
    out = value;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 302: return "Found";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        default: return "OK";
    }
}

}  // namespace

WebPanelServer::ParseResult WebPanelServer::parseRequest(int fd, Request& req, std::chrono::milliseconds deadline,
                                                         std::chrono::milliseconds receiveTimeout,
                                                         std::chrono::milliseconds headerDeadline) {
    // Both from the start: a byte now and then restarts neither.
    const Clock::time_point start = Clock::now();
    const Clock::time_point requestBy = start + deadline;
    Receiver in(fd, std::min(requestBy, start + headerDeadline), receiveTimeout);
    std::string line;
    switch (in.line(line, kMaxLineBytes)) {
        case Receiver::Got::Done: break;
        case Receiver::Got::TooLong: return ParseResult::TooLarge;
        default: return ParseResult::NoRequest;
    }
    if (line.empty()) return ParseResult::NoRequest;

    // "METHOD PATH VERSION": words split at blanks; the query is dropped.
    std::string words[2];
    std::size_t i = 0;
    for (auto& w : words) {
        while (i < line.size() && isBlank(line[i])) ++i;
        while (i < line.size() && !isBlank(line[i])) w.push_back(line[i++]);
    }
    req.method = words[0];
    req.path = words[1].substr(0, words[1].find('?'));

    std::size_t count = 0;
    std::size_t bytes = 0;
    for (;;) {
        switch (in.line(line, kMaxLineBytes)) {
            case Receiver::Got::Done: break;
            case Receiver::Got::TooLong: return ParseResult::TooLarge;
            default: return ParseResult::Incomplete;
        }
        if (line.empty()) break;
        bytes += line.size();
        if (++count > kMaxHeaders || bytes > kMaxHeaderBytes) return ParseResult::TooLarge;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = trimLeadingBlanks(line.substr(colon + 1));
        if (name == "cookie") req.cookies = parseCookies(value);
        req.headers[name] = std::move(value);
    }

    in.until(requestBy);
    if (const auto it = req.headers.find("content-length"); it != req.headers.end()) {
        std::size_t length = 0;
        if (!readContentLength(it->second, length)) return ParseResult::BadRequest;
        if (length > kMaxBodyBytes) return ParseResult::TooLarge;
        if (length > 0 && in.exact(length, req.body) != Receiver::Got::Done) return ParseResult::Incomplete;
    }
    req.form = parseForm(req.body);
    return ParseResult::Ok;
}

std::string WebPanelServer::urlDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

WebPanelServer::Fields WebPanelServer::parseForm(const std::string& body) {
    Fields form;
    if (body.empty()) return form;
    std::size_t start = 0;
    for (;;) {
        const auto amp = body.find('&', start);
        const std::string piece = body.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        const auto eq = piece.find('=');
        if (eq == std::string::npos) {
            form[urlDecode(piece)] = "";
        } else {
            form[urlDecode(piece.substr(0, eq))] = urlDecode(piece.substr(eq + 1));
        }
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return form;
}

WebPanelServer::Fields WebPanelServer::parseCookies(const std::string& header) {
    Fields cookies;
    std::size_t start = 0;
    for (;;) {
        const auto semi = header.find(';', start);
        const std::string piece =
            trimLeadingBlanks(header.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
        const auto eq = piece.find('=');
        if (eq == std::string::npos) {
            cookies[piece] = "";
        } else {
            cookies[piece.substr(0, eq)] = piece.substr(eq + 1);
        }
        if (semi == std::string::npos) break;
        start = semi + 1;
    }
    return cookies;
}

std::string WebPanelServer::formatResponse(const Response& res) {
    std::string out = "HTTP/1.1 " + std::to_string(res.status) + " " + reasonPhrase(res.status) + "\r\n";
    out += "Content-Type: " + res.contentType + "\r\n";
    out += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
    out += "Connection: close\r\n";
    if (!res.setCookie.empty()) out += "Set-Cookie: " + res.setCookie + "\r\n";
    out += "\r\n";
    out += res.body;
    return out;
}

void WebPanelServer::sendResponse(int fd, const Response& res) {
    const std::string bytes = formatResponse(res);
    (void)Net::sendAll(fd, bytes.data(), bytes.size());  // a peer that left is no error of ours
}

std::string WebPanelServer::dumpJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string WebPanelServer::jsonOk(const std::string& payload) { return "{\"ok\":true,\"data\":" + payload + "}"; }

std::string WebPanelServer::jsonErr(const std::string& message) {
    return dumpJson(nlohmann::json{{"error", message}, {"ok", false}});
}

bool WebPanelServer::isApiPath(const std::string& path) { return path.size() > 4 && path.starts_with("/api/"); }

}  // namespace Korrafin
