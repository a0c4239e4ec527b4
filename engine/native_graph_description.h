#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kestravon::ruvi {

struct BackendStatus;

// The format tag of the native graph description a session stores under "native".
inline constexpr std::string_view kNativeGraphFormat = "kestravon-live-native-0.1";

// The key's number, or fallback when absent. A present non-number raises the JSON library's
// type error; a non-finite value or one outside [min, max] fails with "Invalid " + key.
double readRangedNumber(const nlohmann::json& object, const std::string& key, double fallback,
                        double min, double max);

// A JSON integer (signed or unsigned) within [min, max].
std::int64_t readLaneIndex(const nlohmann::json& value, std::int64_t min, std::int64_t max);

// {"deviceId", "channel"} resolved against the layout's streams of the given direction to a
// lane of that direction's aggregate.
std::int32_t resolvePortLane(const nlohmann::json& port, const BackendStatus& layout, bool capture);

// Module paths travel as UTF-8; an empty text or invalid UTF-8 fails with "Invalid UTF-8 path".
std::string utf8ToWidePath(const std::string& text);

// A plug-in parameter id written as a JSON key: ASCII decimal digits only.
std::uint32_t parseParameterId(const std::string& key);

} // namespace kestravon::ruvi
