#include "remote/http_response.h"

#include "remote/remote_crypto.h"

namespace kestravon::ruvi {

std::string buildHttpResponse(int status, std::string_view contentType, std::string_view body) {
    std::string text;
    text.reserve(512 + contentType.size() + body.size());
    text += "HTTP/1.1 ";
    text += std::to_string(status);
    text += status == 200 ? " OK\r\n" : " Error\r\n";
    text += "Content-Type: ";
    text += contentType;
    text += "\r\nContent-Length: ";
    text += std::to_string(body.size());
    text += "\r\nConnection: close\r\n"
            "Cache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "Referrer-Policy: no-referrer\r\n"
            "Content-Security-Policy: ";
    text += contentSecurityPolicy;
    text += "\r\n\r\n";
    text += body;
    return text;
}

void writeHttpResponse(Connection& connection, int status, std::string_view contentType,
                       std::string_view body, const std::atomic<bool>* abortFlag) {
    std::string text = buildHttpResponse(status, contentType, body);
    StringWipeGuard guard(text);
    (void)sendAll(connection, text, SteadyClock::now() + std::chrono::milliseconds(1500),
                  abortFlag);
}

} // namespace kestravon::ruvi
