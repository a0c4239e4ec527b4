#include "engine/native_graph_description.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "audio/backend_status.h"

namespace kestravon::ruvi {

namespace {

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07u;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3Fu);
        }
        // Overlong forms, UTF-16 surrogates and values past U+10FFFF have no UTF-16 spelling.
        if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) {
            return false;
        }
        i += length;
    }
    return true;
}

} // namespace

double readRangedNumber(const nlohmann::json& object, const std::string& key, double fallback,
                        double min, double max) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return fallback;
    }
    const double value = found->get<double>();
    if (!std::isfinite(value) || value < min || value > max) {
        throw std::runtime_error("Invalid " + key);
    }
    return value;
}

std::int64_t readLaneIndex(const nlohmann::json& value, std::int64_t min, std::int64_t max) {
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
            static_cast<std::int64_t>(unsignedValue) < min ||
            static_cast<std::int64_t>(unsignedValue) > max) {
            throw std::runtime_error("Audio lane/count out of range");
        }
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (!value.is_number_integer()) {
        throw std::runtime_error("Expected integer audio lane/count");
    }
    const auto signedValue = value.get<std::int64_t>();
    if (signedValue < min || signedValue > max) {
        throw std::runtime_error("Audio lane/count out of range");
    }
    return signedValue;
}

std::int32_t resolvePortLane(const nlohmann::json& port, const BackendStatus& layout,
                             bool capture) {
    const auto deviceId = port.at("deviceId").get<std::string>();
    const auto channel = readLaneIndex(port.at("channel"), 0, 255);
    for (const EndpointStatus& stream : layout.streams) {
        if (stream.id != deviceId || stream.capture != capture) {
            continue;
        }
        const std::int64_t lane = static_cast<std::int64_t>(stream.firstChannel) + channel;
        const std::int32_t total = capture ? layout.inputChannels : layout.outputChannels;
        // A lane past the aggregate total would index past the callback's lane arrays.
        if (channel >= stream.channels || stream.firstChannel < 0 || lane >= total) {
            throw std::runtime_error("Device lane out of range");
        }
        return static_cast<std::int32_t>(lane);
    }
    throw std::runtime_error("Port endpoint not in selected active device generation");
}

std::string utf8ToWidePath(const std::string& text) {
    if (text.empty() || !isValidUtf8(text)) {
        throw std::runtime_error("Invalid UTF-8 path");
    }
    return text;
}

std::uint32_t parseParameterId(const std::string& key) {
    if (key.empty()) {
        throw std::invalid_argument("invalid stoul argument");
    }
    for (const char c : key) {
        if (c < '0' || c > '9') {
            throw std::invalid_argument("invalid stoul argument");
        }
    }
    std::uint64_t value = 0;
    for (const char c : key) {
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            throw std::out_of_range("stoul argument out of range");
        }
    }
    return static_cast<std::uint32_t>(value);
}

} // namespace kestravon::ruvi
