#pragma once
// What a scene is allowed to be, and which fields a recall moves, group by group.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <span>
#include <string_view>

namespace kestravon::ruvi {

inline constexpr std::size_t kMaxScenes = 32;
inline constexpr std::size_t kMaxSceneNameBytes = 192;

// The four recall safes, each present and boolean; true protects that group from a recall.
bool isRecallSafes(const nlohmann::json& value) noexcept;
// The safes as the UI document keeps them: the four booleans and nothing else.
bool isSafesDocument(const nlohmann::json& value) noexcept;
// Only the four booleans of safes that passed isRecallSafes.
nlohmann::json safesOnly(const nlohmann::json& safes);

// A scene name: 1 to 192 bytes without a NUL byte.
bool isValidSceneName(std::string_view name) noexcept;

// A "scenes" list a client may send in place of `held` (the UI document's list, or null when it
// has none): at most 32 entries, each one of the held entries under its own unique id, kept,
// reordered or dropped, and at most renamed. New entries and new snapshots come only from a
// capture.
bool isSceneListEdit(const nlohmann::json& value, const nlohmann::json& held) noexcept;

// The groups a recall copies. `safe` is the key in the safes object, empty for the group that
// every recall copies.
struct RecallGroup {
    std::string_view safe;
    std::span<const char* const> nativeFields; // copied, or removed when the scene lacks them
    std::span<const char* const> uiFields;     // copied when the scene has them, never removed
};

std::span<const RecallGroup> recallGroups() noexcept;

} // namespace kestravon::ruvi
