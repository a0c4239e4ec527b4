#pragma once

#include "remote/connection.h"

#include <atomic>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

inline constexpr std::string_view contentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' "
    "data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

// The whole response with its fixed security headers, "Connection: close" included.
std::string buildHttpResponse(int status, std::string_view contentType, std::string_view body);

// Sends one response within 1.5 s and wipes the assembled text; a peer that stops reading, the
// deadline or the abort flag cut it short, silently. The caller closes the connection.
void writeHttpResponse(Connection& connection, int status, std::string_view contentType,
                       std::string_view body, const std::atomic<bool>* abortFlag);

} // namespace kestravon::ruvi
