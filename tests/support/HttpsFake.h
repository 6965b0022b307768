// The HTTPS fake (support/https-fake.py) as a child of the test: started on
// 127.0.0.1:443 with a scenario and one of the certificates that
// loopback-netns.sh --host made, awaited until it listens, asked for the
// requests it recorded, and stopped (SIGTERM to its own pid, never by name).
// It dies with the test process too. One thread drives one fake; only one
// can listen in a namespace at a time. Construction throws when the fake
// cannot start, e.g. outside such a namespace (no $KORRAFIN_TEST_PKI).
//
// The paths of the script and the interpreter come from the build
// (support/BuildPaths.h).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/BuildPaths.h"
#include "support/TempDir.h"
#include "support/Time.h"

namespace Korrafin::Test {

class HttpsFake {
public:
    // Which certificate the fake presents.
    enum class Cert {
        Trusted,    // for every mapped name, signed by the CA the system now trusts
        WrongHost,  // signed by that CA, but for another name
        Untrusted,  // for every mapped name, signed by a CA nobody trusts
    };

    struct Request {
        std::string method;
        std::string path;
        std::vector<std::pair<std::string, std::string>> headers;  // in the order sent
        std::string body;                                          // byte for byte

        // The first header of that name (compared without case).
        std::optional<std::string> header(const std::string& name) const {
            for (const auto& [k, v] : headers) {
                if (sameLetters(k, name)) return v;
            }
            return std::nullopt;
        }
    };

    // `scenario`: {"routes": {"METHOD /path" or "/path": answer, ...}, "default": answer,
    // "handshake": "stall" to hold every connection before its TLS handshake};
    // see https-fake.py for the answers.
    explicit HttpsFake(const nlohmann::json& scenario, Cert cert = Cert::Trusted) {
        const char* pki = std::getenv("KORRAFIN_TEST_PKI");
        if (!pki || !*pki) {
            throw std::runtime_error("HttpsFake: no test CA; run the test under loopback-netns.sh --host NAME");
        }
        const std::string stem = std::string(pki) + "/" + certStem(cert);
        const std::string scenarioPath = dir_.file("scenario.json");
        writeFile(scenarioPath, scenario.dump());
        recordPath_ = dir_.file("requests.jsonl");

        std::vector<std::string> args{BuildPaths::python3, BuildPaths::httpsFake, "--cert", stem + ".pem", "--key",
                                      stem + ".key", "--scenario", scenarioPath, "--record", recordPath_};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("HttpsFake: pipe failed");
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            throw std::runtime_error("HttpsFake: fork failed");
        }
        if (pid_ == 0) {
            // Gone with the test even when it dies without stopping the fake.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(125);
            ::dup2(fds[1], STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        // Kept open until stop: the fake never writes into a closed pipe.
        out_ = fds[0];
        if (!awaitListening(out_)) {
            stop();
            throw std::runtime_error("HttpsFake: the fake did not start listening");
        }
    }

    ~HttpsFake() { stop(); }

    HttpsFake(const HttpsFake&) = delete;
    HttpsFake& operator=(const HttpsFake&) = delete;

    // Every request recorded so far, in the order they came.
    std::vector<Request> requests() const {
        std::vector<Request> out;
        for (const auto& e : entries()) {
            if (e.value("event", "") != "request") continue;
            Request r;
            r.method = e.value("method", "");
            r.path = e.value("path", "");
            for (const auto& h : e.at("headers")) r.headers.emplace_back(h.at(0), h.at(1));
            r.body = fromHex(e.value("body_hex", ""));
            out.push_back(std::move(r));
        }
        return out;
    }

    // Those of `requests()` with this method and path.
    std::vector<Request> requests(const std::string& method, const std::string& path) const {
        std::vector<Request> out;
        for (auto& r : requests()) {
            if (r.method == method && r.path == path) out.push_back(std::move(r));
        }
        return out;
    }

    // Answers sent so far to requests with this method and path (a dropped
    // request gets none). Recorded before the answer goes out.
    std::size_t answers(const std::string& method, const std::string& path) const {
        std::size_t n = 0;
        for (const auto& e : entries()) {
            n += (e.value("event", "") == "answer" && e.value("method", "") == method && e.value("path", "") == path)
                     ? 1
                     : 0;
        }
        return n;
    }

    // Everything recorded, as "request METHOD PATH" and "answer METHOD PATH"
    // lines, in order: for checking what came before what.
    std::vector<std::string> events() const {
        std::vector<std::string> out;
        for (const auto& e : entries()) {
            const std::string kind = e.value("event", "");
            if (kind == "request" || kind == "answer") {
                out.push_back(kind + " " + e.value("method", "") + " " + e.value("path", ""));
            }
        }
        return out;
    }

    // Connections held before their TLS handshake ("handshake": "stall").
    std::size_t stalledConnections() const {
        std::size_t n = 0;
        for (const auto& e : entries()) n += e.value("event", "") == "stalled" ? 1 : 0;
        return n;
    }

    // Connections whose TLS handshake failed on the fake's side.
    std::size_t tlsFailures() const {
        std::size_t n = 0;
        for (const auto& e : entries()) n += e.value("event", "") == "tls-failed" ? 1 : 0;
        return n;
    }

    // True once at least `n` requests are recorded.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout = kPatience) const {
        return eventually([&] { return requests().size() >= n; }, timeout);
    }

    // Ends the fake (idempotent).
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
        if (out_ >= 0) ::close(std::exchange(out_, -1));
    }

private:
    static const char* certStem(Cert cert) {
        switch (cert) {
            case Cert::Trusted:
                return "server";
            case Cert::WrongHost:
                return "wrong-host";
            case Cert::Untrusted:
                return "untrusted";
        }
        return "server";
    }

    static bool sameLetters(const std::string& a, const std::string& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
            if (lower(a[i]) != lower(b[i])) return false;
        }
        return true;
    }

    static std::string fromHex(const std::string& hex) {
        const auto nibble = [](char c) {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            throw std::runtime_error("HttpsFake: bad hex in the record");
        };
        std::string out;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            out.push_back(static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
        }
        return out;
    }

    // Each complete line of the record (a line being written is not yet one).
    std::vector<nlohmann::json> entries() const {
        std::vector<nlohmann::json> out;
        const std::string text = readFile(recordPath_);
        std::size_t start = 0;
        for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
            out.push_back(nlohmann::json::parse(text.substr(start, nl - start)));
        }
        return out;
    }

    // Reads the fake's standard output until its whole "listening" line, the end
    // of the output (it failed) or the time runs out.
    bool awaitListening(int fd) const {
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            if (seen.find("listening ") != std::string::npos && seen.back() == '\n') return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            seen.append(buf, static_cast<std::size_t>(n));
        }
    }

    TempDir dir_;
    std::string recordPath_;
    pid_t pid_ = -1;
    int out_ = -1;  // the fake's standard output
};

}  // namespace Korrafin::Test
