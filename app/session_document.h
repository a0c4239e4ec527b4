#pragma once
// Rules of the shared session document that several methods share.
//
// The per-node and per-strip steps below skip what they cannot use (an entry that is not an
// object, an "id" that is not a string, "inserts" that are not an array) instead of throwing, so
// one malformed entry never stops a walk half-way through a document.

#include "engine/graph_controls.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace kestravon::ruvi {

// Throws "Shared session changed; refresh before editing" when params carries a "baseRevision"
// that does not name `revision`; passes without one or when params is not an object. A
// "baseRevision" that is not a number fails with the json library's type error.
void checkBaseRevision(const nlohmann::json& params, std::int64_t revision);

// "scene-" and 2 to 6 decimal digits.
bool isValidSceneId(std::string_view text) noexcept;

// One editor edit on one native node or UI strip: when the target's id is the edit's node, every
// insert of it with the edit's slot id gets "parameters"[parameterKey] = the edit's value
// ("parameters" that are missing or not an object start empty). `changed` is set only when a
// stored value differed.
void applyParameterEdit(const ParameterEdit& edit, const std::string& parameterKey, bool& changed,
                        nlohmann::json& target);

// When the strip shows `node`, each of its inserts whose "parameters" differ from those of the
// node's insert with the same id takes a copy of them, and `changed` is set.
void syncNodeParametersToStrip(const nlohmann::json& node, bool& changed, nlohmann::json& strip);

// Every node of nativeCopy's "nodes" that the strip shows gives each strip insert the
// "parameters" of its insert with the same id ({} when it has none), unconditionally.
void copyNodeParametersToStrip(const nlohmann::json& nativeCopy, nlohmann::json& strip);

} // namespace kestravon::ruvi
