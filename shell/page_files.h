#pragma once
// What the page's custom scheme may serve: files under the page folder, by checked path.

#include <optional>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

inline constexpr const char* kPageScheme = "ruvi";
inline constexpr const char* kPageOrigin = "ruvi://console";
// The origin with its trailing slash: every page address begins with it.
inline constexpr const char* kPageOriginSlash = "ruvi://console/";
inline constexpr const char* kStartPage = "ruvi://console/index.html";

// The file a page address names, relative to the page folder: percent-decoded, "index.html" for
// the bare origin, query and fragment dropped. Nothing for an address outside the origin, a bad
// escape, and any path with a ".." segment, a NUL byte, a backslash or an empty segment.
std::optional<std::string> pageFileForUri(std::string_view uri);

// The Content-Type of a served file, by its extension.
const char* pageContentType(std::string_view path) noexcept;

// Whether a navigation stays on the page's origin.
bool isPageAddress(std::string_view uri) noexcept;

} // namespace kestravon::ruvi
