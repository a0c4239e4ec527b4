#include "shell/page_files.h"

#include <algorithm>
#include <array>
#include <utility>

namespace kestravon::ruvi {
namespace {

int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool endsWith(std::string_view text, std::string_view tail) noexcept {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

} // namespace

bool isPageAddress(std::string_view uri) noexcept {
    return uri.substr(0, std::string_view(kPageOriginSlash).size()) == kPageOriginSlash;
}

std::optional<std::string> pageFileForUri(std::string_view uri) {
    if (!isPageAddress(uri)) {
        return std::nullopt;
    }
    std::string_view raw = uri.substr(std::string_view(kPageOriginSlash).size());
    raw = raw.substr(0, raw.find_first_of("?#"));
    std::string path;
    for (std::size_t k = 0; k < raw.size(); ++k) {
        if (raw[k] != '%') {
            path += raw[k];
            continue;
        }
        if (k + 2 >= raw.size()) {
            return std::nullopt;
        }
        const int high = hexValue(raw[k + 1]);
        const int low = hexValue(raw[k + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        path += static_cast<char>(high * 16 + low);
        k += 2;
    }
    if (path.empty()) {
        return std::string("index.html");
    }
    if (path.find('\0') != std::string::npos || path.find('\\') != std::string::npos) {
        return std::nullopt;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view segment = std::string_view(path).substr(start, end - start);
        if (segment.empty() || segment == ".." || segment == ".") {
            return std::nullopt;
        }
        start = end + 1;
    }
    return path;
}

const char* pageContentType(std::string_view path) noexcept {
    static constexpr std::array<std::pair<std::string_view, const char*>, 12> kTypes{{
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".woff2", "font/woff2"},
        {".woff", "font/woff"},
        {".txt", "text/plain; charset=utf-8"},
        {".wasm", "application/wasm"},
    }};
    for (const auto& [extension, type] : kTypes) {
        if (endsWith(path, extension)) {
            return type;
        }
    }
    return "application/octet-stream";
}

} // namespace kestravon::ruvi
