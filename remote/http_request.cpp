#include "remote/http_request.h"

#include "remote/remote_crypto.h"

#include <array>
#include <cstring>

namespace kestravon::ruvi {

namespace {

bool isTokenChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool parseRequestLine(std::string_view line, HttpRequest& request) {
    for (unsigned char c : line) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    std::string_view words[3];
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ') {
            ++i;
        }
        if (count == 3) {
            return false;
        }
        words[count++] = line.substr(start, i - start);
    }
    if (count != 3 || words[2] != "HTTP/1.1") {
        return false;
    }
    if (words[1].empty() || words[1].front() != '/' || words[1].size() > maxRequestTarget) {
        return false;
    }
    if (words[0] != "GET" && words[0] != "POST") {
        return false;
    }
    request.method = words[0];
    request.target = words[1];
    return true;
}

bool parseHeaderLine(std::string_view line, HttpRequest& request) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    const std::string_view name = line.substr(0, colon);
    for (unsigned char c : name) {
        if (!isTokenChar(c)) {
            return false;
        }
    }
    std::string value = trimHeaderValue(line.substr(colon + 1));
    for (unsigned char c : value) {
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            return false;
        }
    }
    return request.headers.emplace(toLowerAscii(name), std::move(value)).second;
}

bool parseContentLength(const HttpRequest& request, std::size_t& length) {
    const auto it = request.headers.find("content-length");
    length = 0;
    if (it == request.headers.end()) {
        return true;
    }
    const std::string& text = it->second;
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > maxBody) {
        return false;
    }
    length = static_cast<std::size_t>(value);
    return true;
}

} // namespace

bool readHttpRequest(Connection& connection, HttpRequest& request,
                     const std::atomic<bool>* abortFlag) {
    const auto deadline = SteadyClock::now() + requestDeadline;
    std::string raw;
    raw.reserve(maxUnterminatedHeader + 8192);
    RequestWipeGuard rawGuard(raw);
    std::array<char, 8192> chunk;
    struct ChunkWipe {
        std::array<char, 8192>& bytes;
        ~ChunkWipe() { wipeBytes(bytes.data(), bytes.size()); }
    } chunkGuard{chunk};

    request = HttpRequest{};
    std::size_t searchFrom = 0;
    std::size_t headerEnd = std::string::npos;
    for (;;) {
        if (raw.size() >= 4) {
            headerEnd = raw.find("\r\n\r\n", searchFrom);
            if (headerEnd != std::string::npos) {
                break;
            }
            // The terminator may straddle two reads: rescan its last three bytes.
            searchFrom = raw.size() - 3;
        }
        if (!connection.wait(false, deadline, abortFlag)) {
            return false;
        }
        const long n = connection.receive(chunk.data(), chunk.size());
        if (n == Connection::wouldBlock) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        appendSecret(raw, chunk.data(), static_cast<std::size_t>(n));
        wipeBytes(chunk.data(), static_cast<std::size_t>(n));
        if (raw.size() > maxUnterminatedHeader) {
            // One more chance: the terminator may already sit in what just arrived.
            if (raw.find("\r\n\r\n", searchFrom) == std::string::npos) {
                return false;
            }
        }
    }
    if (headerEnd > maxHeaderBlock) {
        return false;
    }

    const std::string_view head(raw.data(), headerEnd);
    std::size_t lineEnd = head.find("\r\n");
    if (lineEnd == std::string_view::npos) {
        lineEnd = head.size();
    }
    if (!parseRequestLine(head.substr(0, lineEnd), request)) {
        return false;
    }
    std::size_t pos = lineEnd + 2;
    while (pos <= head.size()) {
        std::size_t end = head.find("\r\n", pos);
        if (end == std::string_view::npos) {
            end = head.size();
        }
        if (!parseHeaderLine(head.substr(pos, end - pos), request)) {
            return false;
        }
        pos = end + 2;
    }
    if (request.headers.count("transfer-encoding") != 0) {
        return false;
    }
    std::size_t contentLength = 0;
    if (!parseContentLength(request, contentLength)) {
        return false;
    }

    const std::size_t bodyStart = headerEnd + 4;
    const std::size_t buffered = raw.size() - bodyStart;
    if (buffered > contentLength) {
        return false;
    }
    request.body.reserve(contentLength);
    request.body.append(raw, bodyStart, buffered);
    while (request.body.size() < contentLength) {
        if (!connection.wait(false, deadline, abortFlag)) {
            return false;
        }
        const std::size_t missing = contentLength - request.body.size();
        const long n = connection.receive(chunk.data(), std::min(chunk.size(), missing));
        if (n == Connection::wouldBlock) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        request.body.append(chunk.data(), static_cast<std::size_t>(n));
        wipeBytes(chunk.data(), static_cast<std::size_t>(n));
    }
    return true;
}

std::string findHeader(const HttpRequest& request, std::string_view name) {
    const auto it = request.headers.find(std::string(name));
    return it == request.headers.end() ? std::string() : it->second;
}

bool headerHasToken(std::string_view value, std::string_view token) {
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) {
            comma = value.size();
        }
        if (toLowerAscii(trimHeaderValue(value.substr(start, comma - start))) == token) {
            return true;
        }
        start = comma + 1;
    }
    return false;
}

std::string trimHeaderValue(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) {
        ++begin;
    }
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string toLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

} // namespace kestravon::ruvi
