#pragma once
// Page messages: the bounded reading of a request the page sent, and what goes back.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

class RequestFront;

inline constexpr std::size_t kMaxPageMessageBytes = 64u * 1024u * 1024u;
inline constexpr const char* kPageMessageTooLargeText = "Page message exceeds 64 MiB";

// Parses a page message: at most 64 MiB and 64 levels of nesting; a value that is a JSON string
// is parsed once more (with the same bounds) and used as the request. Throws the bound's or the
// parser's text.
nlohmann::json readPageMessage(std::string_view text);

// Runs one page message through the front; the reply to post, or nothing for a started job
// (its real reply comes later). Failures to read are answered with id 0. Passwords in the
// parsed request are wiped before it is freed.
std::optional<nlohmann::json> answerPageMessage(RequestFront& front, std::string_view text);

} // namespace kestravon::ruvi
