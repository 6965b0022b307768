#include "protocol/ContentDocument.h"

#include <stdexcept>

namespace Korrafin {

namespace {

using nlohmann::json;

uint64_t integerBits(const json& v) {
    return v.is_number_unsigned() ? v.get<uint64_t>() : static_cast<uint64_t>(v.get<int64_t>());
}

}  // namespace

json ContentDocument::parse(const std::string& text) {
    if (text.empty()) return json::object();
    const json::parser_callback_t limitDepth = [](int depth, json::parse_event_t event, json&) {
        if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
            depth >= kMaxDepth)
            throw std::runtime_error("document nested deeper than 64 levels");
        return true;
    };
    json doc = json::parse(text, limitDepth, /*allow_exceptions=*/true, /*ignore_comments=*/false);
    return doc.is_object() ? std::move(doc) : json::object();
}

std::optional<std::vector<uint32_t>> ContentDocument::toggleReaction(json& doc, const std::string& postId,
                                                                     const std::string& emoji, uint32_t clientId) {
    const auto posts = doc.find("posts");
    if (posts == doc.end() || !posts->is_array()) return std::nullopt;

    json* post = nullptr;
    for (json& p : *posts) {
        if (!p.is_object()) continue;
        const auto id = p.find("id");
        if ((id == p.end() ? std::string() : id->get<std::string>()) == postId) {
            post = &p;
            break;
        }
    }
    if (!post) return std::nullopt;

    json& reactions = (*post)["reactions"];
    if (!reactions.is_object()) reactions = json::object();
    json& list = reactions[emoji];
    if (!list.is_array()) list = json::array();

    const uint64_t me = clientId;
    bool removed = false;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->is_number_integer() && integerBits(*it) == me) {
            list.erase(it);
            removed = true;
            break;
        }
    }
    if (!removed) list.push_back(me);

    std::vector<uint32_t> ids;
    for (const json& v : list) {
        if (v.is_number_integer()) ids.push_back(static_cast<uint32_t>(integerBits(v)));
    }
    if (list.empty()) reactions.erase(emoji);
    return ids;
}

std::string ContentDocument::serialise(const json& doc) {
    std::string text = doc.dump();
    if (text.size() > kMaxTextBytes) throw std::length_error("document would exceed 65535 bytes");
    return text;
}

}  // namespace Korrafin
