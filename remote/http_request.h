#pragma once

#include "remote/connection.h"

#include <atomic>
#include <map>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

struct HttpRequest {
    std::string method;
    std::string target;
    std::string body;
    std::map<std::string, std::string> headers; // lower-case name -> trimmed value
};

inline constexpr std::size_t maxHeaderBlock = 8192;
inline constexpr std::size_t maxUnterminatedHeader = 16384;
inline constexpr std::size_t maxRequestTarget = 2048;
inline constexpr std::size_t maxBody = 2097152;
inline constexpr auto requestDeadline = std::chrono::milliseconds(1500);

// Reads one strict HTTP/1.1 request (GET or POST, no transfer coding, bounded sizes, all of it
// within 1.5 s). False for anything malformed, late, closed or aborted; it never throws for bad
// input. The raw bytes received are wiped before it returns.
[[nodiscard]] bool readHttpRequest(Connection& connection, HttpRequest& request,
                                   const std::atomic<bool>* abortFlag);

// Value of the lower-case header name, or an empty string.
std::string findHeader(const HttpRequest& request, std::string_view name);
// True when one comma-separated item of the value, trimmed and lower-cased, equals token.
[[nodiscard]] bool headerHasToken(std::string_view value, std::string_view token);
std::string trimHeaderValue(std::string_view text);
std::string toLowerAscii(std::string_view text);

} // namespace kestravon::ruvi
