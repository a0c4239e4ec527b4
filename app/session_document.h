#pragma once
// Rules of the shared session document that several methods share.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string_view>

namespace kestravon::ruvi {

// Throws "Shared session changed; refresh before editing" when params carries a "baseRevision"
// that does not name `revision`; passes without one or when params is not an object.
void checkBaseRevision(const nlohmann::json& params, std::int64_t revision);

// "scene-" and 2 to 6 decimal digits.
bool isValidSceneId(std::string_view text) noexcept;

} // namespace kestravon::ruvi
