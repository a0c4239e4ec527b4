#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

namespace kestravon::ruvi {

inline constexpr int maxJsonNesting = 64;

// Parses JSON whose arrays and objects nest at most 64 deep; deeper input throws
// std::runtime_error("JSON nesting limit"), malformed input the json library's parse error.
nlohmann::json boundedJson(std::string_view text);

} // namespace kestravon::ruvi
