#include "directory/DirectoryRequests.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <memory>

#include <nlohmann/json.hpp>

#include "core/JsonText.h"

namespace Korrafin {

namespace {

struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// The longest wait for the transfer between two looks at it; libcurl shortens
// it to its own time-outs and a stop's wake-up ends it at once.
constexpr int kPollMillis = 1000;

// Runs the transfer on a multi handle of its own, so that a stop can wake the
// wait (curl_multi_wakeup may be called from any thread). The result of the
// transfer, or CURLE_ABORTED_BY_CALLBACK when a stop came first.
CURLcode perform(CURL* easy, const std::stop_token& stop) {
    if (stop.stop_requested()) return CURLE_ABORTED_BY_CALLBACK;
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!multi) return CURLE_OUT_OF_MEMORY;
    CURLM* m = multi.get();
    if (curl_multi_add_handle(m, easy) != CURLM_OK) return CURLE_FAILED_INIT;
    // The easy handle leaves the multi one before either is freed.
    const auto detach = [m, easy](CURLcode result) {
        curl_multi_remove_handle(m, easy);
        return result;
    };
    // Ends (waiting for a wake-up that is running) before the multi handle goes.
    const std::stop_callback wake(stop, [m] { curl_multi_wakeup(m); });
    for (;;) {
        int active = 0;
        if (curl_multi_perform(m, &active) != CURLM_OK) return detach(CURLE_FAILED_INIT);
        if (active == 0) break;
        if (stop.stop_requested()) return detach(CURLE_ABORTED_BY_CALLBACK);
        if (curl_multi_poll(m, nullptr, 0, kPollMillis, nullptr) != CURLM_OK) return detach(CURLE_FAILED_INIT);
    }
    CURLcode result = CURLE_FAILED_INIT;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(m, &left)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) result = msg->data.result;
    }
    return detach(result);
}

bool isIpAddress(const std::string& text) {
    unsigned char scratch[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, text.c_str(), scratch) == 1 || ::inet_pton(AF_INET6, text.c_str(), scratch) == 1;
}

std::string trimmed(const std::string& text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    auto first = std::find_if_not(text.begin(), text.end(), blank);
    auto last = std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(first), blank).base();
    return std::string(first, last);
}

}  // namespace

size_t curlWrite(char* data, size_t size, size_t count, void* out) {
    const size_t n = size * count;
    auto* text = static_cast<std::string*>(out);
    // A short count makes libcurl end the transfer as failed.
    if (n > kMaxAnswerBytes - std::min(text->size(), kMaxAnswerBytes)) return 0;
    text->append(data, n);
    return n;
}

bool platformHttpRequest(const char* method, const char* host, const std::string& path, const std::string& body,
                         int& status, std::string* answer, std::stop_token stop) {
    status = 0;
    if (stop.stop_requested()) return false;
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

    if (perform(h, stop) != CURLE_OK) return false;
    long code = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return false;
    status = static_cast<int>(code);
    return code >= 200 && code <= 299;
}

std::string buildRegisterBody(const std::string& name, const std::string& ip, uint16_t port,
                              const std::string& description, const std::string& country, int currentUsers,
                              int maxSlots, bool listed, const std::string& iconUrl, const std::string& bannerUrl) {
    return Json::object({Json::str("name", name), Json::str("ip", ip), Json::num("port", port),
                         Json::str("description", description), Json::str("country", country),
                         Json::integer("current_users", currentUsers), Json::integer("max_slots", maxSlots),
                         Json::boolean("password_protected", false), Json::str("version", "1.0.0"),
                         Json::boolean("listed", listed), Json::str("icon_url", iconUrl),
                         Json::str("banner_url", bannerUrl)});
}

std::string buildHeartbeatBody(const std::string& ip, uint16_t port, const std::string& name,
                               const std::string& description, int currentUsers, bool listed, int maxSlots,
                               int totalSlotsConfigured, const std::string& iconUrl, const std::string& bannerUrl) {
    return Json::object({Json::str("ip", ip), Json::num("port", port), Json::str("name", name),
                         Json::str("description", description), Json::integer("current_users", currentUsers),
                         Json::integer("max_slots", maxSlots), Json::boolean("listed", listed),
                         Json::integer("total_slots_configured", totalSlotsConfigured),
                         Json::str("icon_url", iconUrl), Json::str("banner_url", bannerUrl)});
}

std::string buildUnregisterBody(const std::string& ip, uint16_t port) {
    return Json::object({Json::str("ip", ip), Json::num("port", port)});
}

bool parseIp(const std::string& answer, std::string& address) {
    std::string found;
    const nlohmann::json doc = nlohmann::json::parse(answer, nullptr, /*allow_exceptions=*/false);
    if (doc.is_object()) {
        const auto ip = doc.find("ip");
        if (ip == doc.end() || !ip->is_string()) return false;
        found = ip->get<std::string>();
    } else {
        found = trimmed(answer);
    }
    if (!isIpAddress(found)) return false;
    address = std::move(found);
    return true;
}

}  // namespace Korrafin
