#pragma once

#include <string>
#include <string_view>

namespace kestravon::ruvi {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated tail.
[[nodiscard]] bool isValidUtf8(std::string_view text) noexcept;

// The text with every byte that starts no valid sequence replaced by U+FFFD; valid text is
// returned unchanged.
std::string repairUtf8(std::string_view text);

} // namespace kestravon::ruvi
