// The one place the server looks inside a channel's content: the reaction
// toggle. Pure functions on a JSON document, callable from any thread; the
// caller does the loading, storing and locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Korrafin {

class ContentDocument {
public:
    // Deeper documents are not taken for content: the later steps (and the
    // JSON writer) recurse once per level.
    static constexpr int kMaxDepth = 64;
    // A stored document must stay readable: its text travels as one string.
    static constexpr std::size_t kMaxTextBytes = 0xFFFF;

    ContentDocument() = delete;

    // The stored text as a document: an object, or an empty object for an
    // empty text and for any other JSON value. Throws the JSON library's
    // parse error for a text that is not one JSON value (comments are not
    // allowed, strings must be UTF-8) and std::runtime_error for nesting
    // deeper than kMaxDepth.
    static nlohmann::json parse(const std::string& text);

    // Adds `clientId` to the list of `emoji` on the first post whose "id" is
    // `postId`, or removes its first entry there; an emptied list is removed.
    // Returns the integer entries of the list afterwards (low 32 bits, in
    // order), or nothing, with `doc` unchanged, when the document has no
    // "posts" array or no such post. Throws the JSON library's type error
    // for a post whose "id" is not a string.
    static std::optional<std::vector<uint32_t>> toggleReaction(nlohmann::json& doc, const std::string& postId,
                                                               const std::string& emoji, uint32_t clientId);

    // The compact text of the document. Throws the JSON library's type error
    // for text that is not UTF-8, and std::length_error when the text would
    // exceed kMaxTextBytes.
    static std::string serialise(const nlohmann::json& doc);
};

}  // namespace Korrafin
