#include "app/json_read.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace kestravon::ruvi {

std::optional<std::int64_t> readInt64(const nlohmann::json& value) noexcept {
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(v);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    return std::nullopt;
}

std::optional<std::uint64_t> readUint64(const nlohmann::json& value) noexcept {
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>();
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v < 0) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(v);
    }
    return std::nullopt;
}

std::optional<std::int32_t> readInt32(const nlohmann::json& value) noexcept {
    const auto v = readInt64(value);
    if (!v || *v < std::numeric_limits<std::int32_t>::min() ||
        *v > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*v);
}

std::int32_t readRequestId(const nlohmann::json& request) {
    if (!request.is_object()) {
        throw std::runtime_error(kInvalidRequestIdText);
    }
    const auto it = request.find("id");
    if (it == request.end()) {
        return 0;
    }
    const auto id = readInt32(*it);
    if (!id) {
        throw std::runtime_error(kInvalidRequestIdText);
    }
    return *id;
}

bool baseRevisionMatches(const nlohmann::json& value, std::int64_t revision) {
    if (!value.is_number()) {
        // The library's own wording, which names the type that was sent.
        throw nlohmann::json::type_error::create(
            302, std::string("type must be number, but is ") + value.type_name(), &value);
    }
    if (value.is_number_integer() || value.is_number_unsigned()) {
        const auto v = readInt64(value);
        return v && *v == revision;
    }
    const double d = value.get<double>();
    // 2^64 as a double; anything at or above it (or negative, or not finite) names no revision.
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (!std::isfinite(d) || d < 0 || d >= kTwoTo64) {
        return false;
    }
    const auto truncated = static_cast<std::uint64_t>(d);
    return revision >= 0 && truncated == static_cast<std::uint64_t>(revision);
}

bool afterMatches(const nlohmann::json& value, std::int64_t revision) noexcept {
    const auto v = readInt64(value);
    return v && *v == revision;
}

} // namespace kestravon::ruvi
