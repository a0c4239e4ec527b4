#pragma once
// Checked reads of request numbers. The json library's plain conversions wrap or truncate
// ("id" 4294967296 reads as 0, true as 1, 1e300 as undefined behaviour); every number a request
// carries goes through one of these instead.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>

namespace kestravon::ruvi {

inline constexpr const char* kInvalidRequestIdText = "Invalid request id";

// An integer (signed or unsigned kind) that fits signed 32 bits; nothing for any other value,
// floats with an integral value included.
std::optional<std::int32_t> readInt32(const nlohmann::json& value) noexcept;
// An integer that fits signed 64 bits.
std::optional<std::int64_t> readInt64(const nlohmann::json& value) noexcept;
// An integer that fits unsigned 64 bits.
std::optional<std::uint64_t> readUint64(const nlohmann::json& value) noexcept;

// The request's "id": 0 when absent, itself when an integer within signed 32 bits; throws
// std::runtime_error(kInvalidRequestIdText) for a request that is not an object or any other id.
std::int32_t readRequestId(const nlohmann::json& request);

// Whether a "baseRevision" value names `revision`: integers compare exactly as 64-bit values;
// a finite float in [0, 2^64) is truncated first; any other number matches nothing. A value
// that is not a number throws the json library's type error ("type must be number, but is ...").
bool baseRevisionMatches(const nlohmann::json& value, std::int64_t revision);

// "after" of getControlState: integers compare exactly as 64-bit values (-1 included); any other
// value never equals a revision.
bool afterMatches(const nlohmann::json& value, std::int64_t revision) noexcept;

} // namespace kestravon::ruvi
