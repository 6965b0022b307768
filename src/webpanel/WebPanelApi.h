// Helpers of the panel's API handlers (inside the webpanel library only):
// the two JSON answers, and reading form fields and numbers from untrusted
// text. Stateless; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "webpanel/WebPanelServer.h"

namespace Korrafin::WebPanelApi {

// "application/json" with the success envelope around `payload` (a JSON text).
WebPanelServer::Response jsonSuccess(const std::string& payload);
// "application/json" with the failure envelope.
WebPanelServer::Response jsonFailure(const std::string& message, int status = 200);

// The field's value when the form has it (even empty), else null.
const std::string* field(const WebPanelServer::Request& req, const char* name);
// The field's value when present and non-empty, else `def`.
std::string formValue(const WebPanelServer::Request& req, const char* name, const std::string& def);

// Leading white space, then decimal digits (no sign); the text after them is
// ignored. Nothing when there are no digits or the value exceeds `max`.
std::optional<uint64_t> readUnsigned(const std::string& text, uint64_t max);
// Leading white space, an optional sign, decimal digits; the text after them
// is ignored. Nothing when there are no digits or the value is outside
// [min, max].
std::optional<int64_t> readSigned(const std::string& text, int64_t min, int64_t max);
// True when the text starts as readSigned reads a number (leading white
// space, an optional sign, a digit), whatever its size.
bool startsWithNumber(const std::string& text);

}  // namespace Korrafin::WebPanelApi
