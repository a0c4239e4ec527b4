// The shared session document: editor-edit fold, parameter sync, payload capture.

#include "app/session_document.h"

#include "app/application_impl.h"
#include "app/json_read.h"
#include "app/ui_strips.h"

#include "vst3/insert_state_capture.h"

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Impl = Application::Impl;

// The "inserts" array of an object entry, or null.
template <typename Entry> auto* insertsOf(Entry& entry) {
    decltype(&entry) none = nullptr;
    if (!entry.is_object()) {
        return none;
    }
    const auto found = entry.find("inserts");
    return found != entry.end() && found->is_array() ? &*found : none;
}

// The inserts of `native` that the applied slot `slotId` of node `nodeId` stands for.
std::vector<Json*> describedInserts(Json& native, const std::string& nodeId,
                                    const std::string& slotId) {
    std::vector<Json*> found;
    if (!native.is_object()) {
        return found;
    }
    const auto nodes = native.find("nodes");
    if (nodes == native.end() || !nodes->is_array()) {
        return found;
    }
    for (Json& node : *nodes) {
        Json* inserts = entryHasId(node, nodeId) ? insertsOf(node) : nullptr;
        if (inserts == nullptr) {
            continue;
        }
        for (Json& insert : *inserts) {
            if (entryHasId(insert, slotId)) {
                found.push_back(&insert);
            }
        }
    }
    return found;
}

struct CaptureFailure {
    std::string slotId;
    std::string text;
};

// Captures the applied inserts one at a time into the matching inserts of `native`, so one
// plug-in that cannot be captured does not throw away the fresh state of every other. Stops at
// the first failure when asked to; otherwise goes on and reports the first.
std::optional<CaptureFailure> captureEachInsert(const std::vector<AppliedInsertNode>& applied,
                                                Json& native, bool stopAtFirstFailure) {
    std::optional<CaptureFailure> first;
    for (const AppliedInsertNode& node : applied) {
        for (const AppliedInsertSlot& slot : node.slots) {
            if (slot.effect == nullptr) {
                continue;
            }
            const std::vector<Json*> targets = describedInserts(native, node.id, slot.id);
            if (targets.empty()) {
                continue;
            }
            // A description of this one insert: the capture fills it or fails without a trace.
            Json insert = Json::object();
            insert["id"] = slot.id;
            Json single = Json::object();
            single["id"] = node.id;
            single["inserts"] = Json::array({std::move(insert)});
            Json one = Json::object();
            one["nodes"] = Json::array({std::move(single)});
            const std::vector<AppliedInsertNode> only{{node.id, {slot}}};
            std::string error;
            if (!captureInsertStates(&only, one, error)) {
                if (!first) {
                    first = CaptureFailure{slot.id, error};
                }
                if (stopAtFirstFailure) {
                    return first;
                }
                continue;
            }
            Json& captured = one["nodes"][0]["inserts"][0];
            for (Json* target : targets) {
                (*target)["stateHex"] = captured["stateHex"];
                (*target)["parameters"] = captured["parameters"];
            }
        }
    }
    return first;
}

// The native nodes and then the UI strips (in the document order) that carry inserts, by id:
// one lookup per edit instead of a walk over both documents.
template <typename Document>
std::unordered_map<std::string_view, std::vector<Document*>> editTargets(Document& native,
                                                                         Document& ui) {
    std::unordered_map<std::string_view, std::vector<Document*>> targets;
    const auto add = [&](Document& entry) {
        const auto id = entryId(entry);
        if (id && insertsOf(entry) != nullptr) {
            targets[*id].push_back(&entry);
        }
    };
    if (native.is_object()) {
        const auto nodes = native.find("nodes");
        if (nodes != native.end() && nodes->is_array()) {
            for (Document& node : *nodes) {
                add(node);
            }
        }
    }
    forEachUiStrip(ui, UiStripWalk::strip, add);
    return targets;
}

// Whether applying the edit to the held documents would change a stored value.
bool editChangesAny(const ParameterEdit& edit,
                    const std::unordered_map<std::string_view, std::vector<const Json*>>& held) {
    const auto found = held.find(edit.nodeId);
    if (found == held.end()) {
        return false;
    }
    const std::string key = std::to_string(edit.parameterId);
    for (const Json* target : found->second) {
        for (const Json& insert : *insertsOf(*target)) {
            if (!entryHasId(insert, edit.slotId)) {
                continue;
            }
            const auto parameters = insert.find("parameters");
            if (parameters == insert.end() || !parameters->is_object()) {
                return true;
            }
            const auto stored = parameters->find(key);
            if (stored == parameters->end() || !stored->is_number() ||
                stored->get<double>() != edit.value) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

void applyParameterEdit(const ParameterEdit& edit, const std::string& parameterKey, bool& changed,
                        Json& target) {
    Json* inserts = entryHasId(target, edit.nodeId) ? insertsOf(target) : nullptr;
    if (inserts == nullptr) {
        return;
    }
    for (Json& insert : *inserts) {
        if (!entryHasId(insert, edit.slotId)) {
            continue;
        }
        Json& parameters = insert["parameters"];
        if (!parameters.is_object()) {
            parameters = Json::object();
        }
        const auto stored = parameters.find(parameterKey);
        if (stored != parameters.end() && stored->is_number() &&
            stored->get<double>() == edit.value) {
            continue;
        }
        parameters[parameterKey] = edit.value;
        changed = true;
    }
}

void syncNodeParametersToStrip(const Json& node, bool& changed, Json& strip) {
    const auto nodeId = entryId(node);
    const Json* nodeInserts = nodeId ? insertsOf(node) : nullptr;
    Json* stripInserts =
        nodeInserts != nullptr && entryHasId(strip, *nodeId) ? insertsOf(strip) : nullptr;
    if (stripInserts == nullptr) {
        return;
    }
    static const Json kNoParameters = Json::object();
    for (Json& stripInsert : *stripInserts) {
        const auto slotId = entryId(stripInsert);
        if (!slotId) {
            continue;
        }
        for (const Json& nodeInsert : *nodeInserts) {
            if (!entryHasId(nodeInsert, *slotId)) {
                continue;
            }
            const auto source = nodeInsert.find("parameters");
            if (source == nodeInsert.end()) {
                continue;
            }
            const auto current = stripInsert.find("parameters");
            if ((current == stripInsert.end() ? kNoParameters : *current) != *source) {
                stripInsert["parameters"] = *source;
                changed = true;
            }
        }
    }
}

void copyNodeParametersToStrip(const Json& nativeCopy, Json& strip) {
    const auto stripId = entryId(strip);
    Json* stripInserts = stripId ? insertsOf(strip) : nullptr;
    if (stripInserts == nullptr || !nativeCopy.is_object()) {
        return;
    }
    const auto nodes = nativeCopy.find("nodes");
    if (nodes == nativeCopy.end() || !nodes->is_array()) {
        return;
    }
    for (const Json& node : *nodes) {
        const Json* nodeInserts = entryHasId(node, *stripId) ? insertsOf(node) : nullptr;
        if (nodeInserts == nullptr) {
            continue;
        }
        for (Json& stripInsert : *stripInserts) {
            const auto slotId = entryId(stripInsert);
            if (!slotId) {
                continue;
            }
            for (const Json& nodeInsert : *nodeInserts) {
                if (entryHasId(nodeInsert, *slotId)) {
                    stripInsert["parameters"] = nodeInsert.value("parameters", Json::object());
                }
            }
        }
    }
}

void Impl::foldEditorParameterEdits() {
    const std::vector<ParameterEdit> edits = graph.pollParameterEdits();
    if (edits.empty()) {
        return;
    }
    const bool nativeHasNodes = nativeSession.is_object() && nativeSession.contains("nodes");
    const bool uiIsObject = uiSession.is_object();
    // An editor that only repeats stored values costs no copy of the documents.
    {
        const auto held = editTargets(std::as_const(nativeSession), std::as_const(uiSession));
        bool changes = false;
        for (std::size_t i = 0; i < edits.size() && !changes; ++i) {
            changes = editChangesAny(edits[i], held);
        }
        if (!changes) {
            return;
        }
    }
    // Copies: the held documents change in one step, and only once every edit went in.
    Json native = nativeHasNodes ? nativeSession : Json();
    Json ui = uiIsObject ? uiSession : Json();
    const auto targets = editTargets(native, ui);
    bool changed = false;
    for (const ParameterEdit& edit : edits) {
        const auto found = targets.find(edit.nodeId);
        if (found == targets.end()) {
            continue;
        }
        const std::string key = std::to_string(edit.parameterId);
        for (Json* target : found->second) {
            applyParameterEdit(edit, key, changed, *target);
        }
    }
    if (!changed) {
        return;
    }
    if (nativeHasNodes) {
        nativeSession = std::move(native);
    }
    if (uiIsObject) {
        uiSession = std::move(ui);
    }
    ++revision;
}

void Impl::syncUiParametersFromNative() {
    if (uiSession.is_null() || !nativeSession.is_object()) {
        return;
    }
    const auto nodes = nativeSession.find("nodes");
    if (nodes == nativeSession.end() || !nodes->is_array()) {
        return;
    }
    Json ui = uiSession;
    bool changed = false;
    for (const Json& node : *nodes) {
        forEachUiStrip(ui, UiStripWalk::strip,
                       [&](Json& strip) { syncNodeParametersToStrip(node, changed, strip); });
    }
    if (changed) {
        uiSession = std::move(ui);
        ++revision;
    }
}

Json Impl::captureSessionPayload() {
    if (backend.status().running || isRecordingBusy()) {
        throw std::runtime_error("Stop audio and recording before capturing native VST state");
    }
    if (nativeSession.empty() || uiSession.is_null()) {
        throw std::runtime_error("Apply a shared session first");
    }
    backend.stop();
    graph.dropRetired();

    Json native = nativeSession;
    if (graph.hasGraph()) {
        if (const auto failure = captureEachInsert(graph.appliedInserts(), native, true)) {
            throw std::runtime_error(failure->text);
        }
    }

    Json ui = uiSession;
    forEachUiStrip(ui, UiStripWalk::strip,
                   [&](Json& strip) { copyNodeParametersToStrip(native, strip); });
    if (ui.is_object() && !ui.contains("scenes")) {
        ui["scenes"] = Json::array();
    }

    Json bank = sceneStates;
    const auto scenes = ui.is_object() ? ui.find("scenes") : ui.end();
    for (auto member = bank.begin(); member != bank.end();) {
        bool listed = false;
        if (scenes != ui.end() && scenes->is_array()) {
            for (const Json& scene : *scenes) {
                listed = listed || entryHasId(scene, member.key());
            }
        }
        member = listed ? std::next(member) : bank.erase(member);
    }

    Json payload = Json::object();
    payload["native"] = std::move(native);
    payload["uiState"] = std::move(ui);
    payload["sceneStates"] = std::move(bank);
    return payload;
}

void Impl::captureInsertStatesPerInsert() {
    if (!graph.hasGraph()) {
        return;
    }
    Json native = nativeSession;
    const auto failure = captureEachInsert(graph.appliedInserts(), native, false);
    nativeSession = std::move(native);
    if (failure) {
        throw std::runtime_error("VST3 insert " + failure->slotId + ": " + failure->text);
    }
}

void checkBaseRevision(const Json& params, std::int64_t revision) {
    if (!params.is_object()) {
        return;
    }
    const auto base = params.find("baseRevision");
    if (base != params.end() && !baseRevisionMatches(*base, revision)) {
        throw std::runtime_error("Shared session changed; refresh before editing");
    }
}

bool isValidSceneId(std::string_view text) noexcept {
    constexpr std::string_view kPrefix = "scene-";
    if (text.size() < 8 || text.size() > 12 || !text.starts_with(kPrefix)) {
        return false;
    }
    for (const char c : text.substr(kPrefix.size())) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

} // namespace kestravon::ruvi
