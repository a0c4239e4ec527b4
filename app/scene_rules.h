#pragma once
// What a scene is allowed to be, and which fields a recall moves, group by group.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <span>
#include <string_view>

namespace kestravon::ruvi {

inline constexpr std::size_t kMaxScenes = 32;

// The four recall safes, each present and boolean; true protects that group from a recall.
bool isRecallSafes(const nlohmann::json& value) noexcept;

// A "scenes" list: at most 32 objects, each with a valid scene id no other entry has.
bool isSceneList(const nlohmann::json& value) noexcept;

// The groups a recall copies. `safe` is the key in the safes object, empty for the group that
// every recall copies.
struct RecallGroup {
    std::string_view safe;
    std::span<const char* const> nativeFields; // copied, or removed when the scene lacks them
    std::span<const char* const> uiFields;     // copied when the scene has them, never removed
};

std::span<const RecallGroup> recallGroups() noexcept;

} // namespace kestravon::ruvi
