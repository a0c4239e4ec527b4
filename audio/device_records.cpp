#include "audio/device_records.h"

#include <algorithm>
#include <array>

namespace kestravon::ruvi {

bool endpointInfoLess(const EndpointInfo& a, const EndpointInfo& b) {
    if (a.capture != b.capture) {
        return a.capture;
    }
    // std::string compares through char_traits<char>, which orders as unsigned bytes.
    return a.id < b.id;
}

std::string physicalLabelKey(std::string_view name, std::string_view id) {
    static constexpr std::array<std::string_view, 6> labels{"IN 1-2",  "IN 3-4",  "IN 1-4",
                                                            "OUT 1-2", "OUT 3-4", "OUT 1-4"};
    static constexpr std::string_view interfaceName = "BEHRINGER UMC 404HD 192k";
    const std::string fallback(id);
    if (name.size() < 2 || !name.ends_with(')')) {
        return fallback;
    }
    const std::size_t p = name.rfind(" (");
    if (p == std::string_view::npos) {
        return fallback;
    }
    const std::string_view label = name.substr(0, p);
    if (std::find(labels.begin(), labels.end(), label) == labels.end()) {
        return fallback;
    }
    const std::string_view unit = name.substr(p + 2, name.size() - p - 3);
    bool names = unit == interfaceName;
    if (!names) {
        const std::size_t dash = unit.find("- ");
        names = dash != std::string_view::npos && dash >= 1 &&
                unit.substr(dash + 2) == interfaceName &&
                std::all_of(unit.begin(), unit.begin() + static_cast<std::ptrdiff_t>(dash),
                            [](char c) { return c >= '0' && c <= '9'; });
    }
    return names ? "umc404hd-label:" + std::string(unit) : fallback;
}

namespace {

// Length of the valid UTF-8 sequence at the start of text, 0 when it is invalid.
std::size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) {
            return 0;
        }
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (overlong || surrogate || code > 0x10FFFF) {
        return 0;
    }
    return length;
}

} // namespace

bool isValidUtf8(std::string_view text) {
    while (!text.empty()) {
        const std::size_t n = utf8SequenceLength(text);
        if (n == 0) {
            return false;
        }
        text.remove_prefix(n);
    }
    return true;
}

std::string repairUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t n = utf8SequenceLength(text);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, n));
            text.remove_prefix(n);
        }
    }
    return out;
}

} // namespace kestravon::ruvi
