// The directory client's transport: one blocking HTTPS request through
// libcurl that a stop request ends at once, the three JSON request bodies,
// and the reading of a public address from an address-echo answer.
//
// Stateless: every function may be called from any thread at once. Nothing
// here logs, retries or throws on a failed request (only allocation failures
// escape). Callers rely on curl_global_init having run once, in main, before
// any thread started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>

namespace Korrafin {

// The most of an answer that is kept. The services are outside the system:
// a longer answer ends its request as failed instead of growing memory.
inline constexpr size_t kMaxAnswerBytes = 64 * 1024;

// libcurl's write callback: appends size * count bytes to `out` (a
// std::string*) and takes them all, unless the text would outgrow
// kMaxAnswerBytes: then it takes none, which fails the transfer.
size_t curlWrite(char* data, size_t size, size_t count, void* out);

// "https://" + host + path. True only for a completed transfer with a status
// from 200 to 299; `status` is 0 when no answer came (name resolution,
// connection, certificate or host name, time-out, stop), else the answer's
// code. The answer text goes to `answer` when given, also on a failing
// status. Redirects are not followed. Blocks for at most
// kRequestTimeoutSeconds, and no longer than until a stop is requested on
// `stop` (from any thread): then it ends at once as failed, before anything
// is sent when the stop came first.
bool platformHttpRequest(const char* method, const char* host, const std::string& path, const std::string& body,
                         int& status, std::string* answer, std::stop_token stop = {});

inline constexpr long kRequestTimeoutSeconds = 10;
inline constexpr const char* kUserAgent = "Korrafin-Server/1.0";

// The request bodies: one line of JSON (core/JsonText: every control
// character escaped, bytes that are not UTF-8 replaced), fields in the
// directory service's order, nothing left out.
std::string buildRegisterBody(const std::string& name, const std::string& ip, uint16_t port,
                              const std::string& description, const std::string& country, int currentUsers,
                              int maxSlots, bool listed, const std::string& iconUrl, const std::string& bannerUrl);
std::string buildHeartbeatBody(const std::string& ip, uint16_t port, const std::string& name,
                               const std::string& description, int currentUsers, bool listed, int maxSlots,
                               int totalSlotsConfigured, const std::string& iconUrl, const std::string& bannerUrl);
std::string buildUnregisterBody(const std::string& ip, uint16_t port);

// The public address in an address-echo answer: the "ip" member when the
// answer is a JSON object, else the whole text without the blanks and line
// ends around it. Taken only when it is a string that parses as an IPv4 or
// IPv6 address; false otherwise (a null member, an error text, a word with
// a dot), with `address` untouched.
bool parseIp(const std::string& answer, std::string& address);

}  // namespace Korrafin
