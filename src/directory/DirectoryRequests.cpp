#include "directory/DirectoryRequests.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <sstream>

namespace Korrafin {

namespace {

struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// A quoted, escaped JSON string.
void writeText(std::ostringstream& out, const std::string& text) { out << '"' << escapeJson(text) << '"'; }

}  // namespace

size_t curlWrite(char* data, size_t size, size_t count, void* out) {
    const size_t n = size * count;
    auto* text = static_cast<std::string*>(out);
    // A short count makes libcurl end the transfer as failed.
    if (n > kMaxAnswerBytes - std::min(text->size(), kMaxAnswerBytes)) return 0;
    text->append(data, n);
    return n;
}

std::string escapeJson(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 4);
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c; break;
        }
    }
    return out;
}

bool platformHttpRequest(const char* method, const char* host, const std::string& path, const std::string& body,
                         int& status, std::string* answer) {
    status = 0;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) return false;
    CURL* h = easy.get();

    const std::string url = std::string("https://") + host + path;
    std::string scratch;
    // Every numeric option takes a long: libcurl reads it through varargs.
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &curlWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(answer ? answer : &scratch));
    // Several threads send requests: the time-out must not use SIGALRM, and
    // a 3xx answer is reported, never followed to another host.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);

    std::unique_ptr<curl_slist, ListDeleter> headers;
    const std::string m = method;
    const auto attachBody = [&] {
        headers.reset(curl_slist_append(nullptr, "Content-Type: application/json"));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    };
    if (m == "POST") {
        if (!body.empty()) {
            attachBody();
        } else {
            curl_easy_setopt(h, CURLOPT_POST, 1L);
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, 0L);
        }
    } else if (m == "DELETE") {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
        if (!body.empty()) attachBody();
    }

    if (curl_easy_perform(h) != CURLE_OK) return false;
    long code = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return false;
    status = static_cast<int>(code);
    return code >= 200 && code <= 299;
}

std::string buildRegisterBody(const std::string& name, const std::string& ip, uint16_t port,
                              const std::string& description, const std::string& country, int currentUsers,
                              int maxSlots, bool listed, const std::string& iconUrl, const std::string& bannerUrl) {
    std::ostringstream out;
    out << "{\"name\":";
    writeText(out, name);
    out << ",\"ip\":";
    writeText(out, ip);
    out << ",\"port\":" << static_cast<unsigned>(port) << ",\"description\":";
    writeText(out, description);
    out << ",\"country\":";
    writeText(out, country);
    out << ",\"current_users\":" << currentUsers << ",\"max_slots\":" << maxSlots
        << ",\"password_protected\":false,\"version\":\"1.0.0\",\"listed\":" << (listed ? "true" : "false")
        << ",\"icon_url\":";
    writeText(out, iconUrl);
    out << ",\"banner_url\":";
    writeText(out, bannerUrl);
    out << "}";
    return out.str();
}

std::string buildHeartbeatBody(const std::string& ip, uint16_t port, const std::string& name,
                               const std::string& description, int currentUsers, bool listed, int maxSlots,
                               int totalSlotsConfigured, const std::string& iconUrl, const std::string& bannerUrl) {
    std::ostringstream out;
    out << "{\"ip\":";
    writeText(out, ip);
    out << ",\"port\":" << static_cast<unsigned>(port) << ",\"name\":";
    writeText(out, name);
    out << ",\"description\":";
    writeText(out, description);
    out << ",\"current_users\":" << currentUsers << ",\"max_slots\":" << maxSlots
        << ",\"listed\":" << (listed ? "true" : "false") << ",\"total_slots_configured\":" << totalSlotsConfigured
        << ",\"icon_url\":";
    writeText(out, iconUrl);
    out << ",\"banner_url\":";
    writeText(out, bannerUrl);
    out << "}";
    return out.str();
}

std::string buildUnregisterBody(const std::string& ip, uint16_t port) {
    std::ostringstream out;
    out << "{\"ip\":";
    writeText(out, ip);
    out << ",\"port\":" << static_cast<unsigned>(port) << "}";
    return out.str();
}

bool parseIp(const std::string& answer, std::string& address) {
    if (answer.empty()) return false;

    const auto key = answer.find("\"ip\"");
    if (key != std::string::npos) {
        const auto q1 = answer.find('"', key + 4);
        if (q1 != std::string::npos) {
            const auto q2 = answer.find('"', q1 + 1);
            if (q2 != std::string::npos) {
                address = answer.substr(q1 + 1, q2 - q1 - 1);
                if (!address.empty()) return true;
            }
        }
    }

    std::string rest = answer;
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
    if (rest.size() >= 7 && rest.size() <= 45 && rest.find('.') != std::string::npos) {
        address = rest;
        return true;
    }
    return false;
}

}  // namespace Korrafin
