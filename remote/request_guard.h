#pragma once

#include "remote/http_request.h"

#include <string>

namespace kestravon::ruvi {

// The Host header must name the address the connection arrived on and the server's port;
// "localhost:<port>" passes too in loopback-only mode.
[[nodiscard]] bool hostMatches(const std::string& host, const std::string& localIp, unsigned port,
                               bool loopbackOnly);

// A present Origin must be exactly "http://" + Host, and Sec-Fetch-Site must not say
// "cross-site".
[[nodiscard]] bool originAllowed(const HttpRequest& request);

// The Content-Type, cut at ";", trimmed and lower-cased, is "application/json".
[[nodiscard]] bool isJsonContentType(const HttpRequest& request);

// The 64 characters of an "Authorization: Bearer <token>" header, or empty.
std::string bearerToken(const HttpRequest& request);

} // namespace kestravon::ruvi
