#include "common/utf8.h"

#include <cstddef>
#include <cstdint>

namespace kestravon::ruvi {

namespace {

// Length of the valid UTF-8 sequence at the start of a non-empty text, 0 when it is invalid.
std::size_t utf8SequenceLength(std::string_view text) noexcept {
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

bool isValidUtf8(std::string_view text) noexcept {
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
