#include "remote/request_guard.h"

#include "remote/remote_crypto.h"

namespace kestravon::ruvi {

bool hostMatches(const std::string& host, const std::string& localIp, unsigned port,
                 bool loopbackOnly) {
    if (host.empty() || localIp.empty()) {
        return false;
    }
    const std::string suffix = ":" + std::to_string(port);
    return host == localIp + suffix || (loopbackOnly && host == "localhost" + suffix);
}

bool originAllowed(const HttpRequest& request) {
    const auto origin = request.headers.find("origin");
    if (origin != request.headers.end() &&
        origin->second != "http://" + findHeader(request, "host")) {
        return false;
    }
    const auto site = request.headers.find("sec-fetch-site");
    return site == request.headers.end() || site->second != "cross-site";
}

bool isJsonContentType(const HttpRequest& request) {
    const std::string type = findHeader(request, "content-type");
    return toLowerAscii(trimHeaderValue(std::string_view(type).substr(0, type.find(';')))) ==
           "application/json";
}

std::string bearerToken(const HttpRequest& request) {
    std::string value = findHeader(request, "authorization");
    StringWipeGuard guard(value);
    if (value.size() != 71 || value.compare(0, 7, "Bearer ") != 0) {
        return {};
    }
    return value.substr(7);
}

} // namespace kestravon::ruvi
