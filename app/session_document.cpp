// The shared session document: editor-edit fold, parameter sync, payload capture.

#include "app/session_document.h"

#include "app/application_impl.h"
#include "app/json_read.h"
#include "app/ui_strips.h"

#include "vst3/insert_state_capture.h"

#include <algorithm>
#include <cstddef>
#include <functional>
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

// The inserts an edit on (node id, slot id) writes: those of the native nodes and then those of
// the UI strips (in the document order), built once per fold so that each edit costs one lookup
// instead of a walk over both documents. The ids are views into the documents; nothing that
// writes "parameters" moves an insert or its id.
class InsertIndex {
public:
    InsertIndex(Json& native, Json& ui) {
        const auto add = [this](Json& entry) {
            const auto nodeId = entryId(entry);
            Json* inserts = nodeId ? insertsOf(entry) : nullptr;
            if (inserts == nullptr) {
                return;
            }
            for (Json& insert : *inserts) {
                if (const auto slotId = entryId(insert)) {
                    inserts_[Key{*nodeId, *slotId}].push_back(&insert);
                }
            }
        };
        if (native.is_object()) {
            const auto nodes = native.find("nodes");
            if (nodes != native.end() && nodes->is_array()) {
                for (Json& node : *nodes) {
                    add(node);
                }
            }
        }
        forEachUiStrip(ui, UiStripWalk::strip, add);
    }

    // Empty when no insert has the edit's node and slot.
    const std::vector<Json*>& targetsOf(const ParameterEdit& edit) const {
        static const std::vector<Json*> kNone;
        const auto found = inserts_.find(Key{edit.nodeId, edit.slotId});
        return found == inserts_.end() ? kNone : found->second;
    }

private:
    struct Key {
        std::string_view node;
        std::string_view slot;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept {
            const std::size_t node = std::hash<std::string_view>{}(key.node);
            return node ^ (std::hash<std::string_view>{}(key.slot) + 0x9e3779b97f4a7c15u +
                           (node << 6) + (node >> 2));
        }
    };
    std::unordered_map<Key, std::vector<Json*>, KeyHash> inserts_;
};

// Whether the insert's "parameters"[key] would change on writing `value`.
bool parameterDiffers(const Json& insert, const std::string& key, double value) {
    const auto parameters = insert.find("parameters");
    if (parameters == insert.end() || !parameters->is_object()) {
        return true;
    }
    const auto stored = parameters->find(key);
    return stored == parameters->end() || !stored->is_number() || stored->get<double>() != value;
}

// Writes "parameters"[key] = value into an object insert ("parameters" that are missing or not
// an object start empty); `changed` is set only when a stored value differed.
void writeParameter(Json& insert, const std::string& key, double value, bool& changed) {
    Json& parameters = insert["parameters"];
    if (!parameters.is_object()) {
        parameters = Json::object();
    }
    const auto stored = parameters.find(key);
    if (stored == parameters.end()) {
        parameters.emplace(key, value);
    } else if (!stored->is_number() || stored->get<double>() != value) {
        *stored = value;
    } else {
        return;
    }
    changed = true;
}

} // namespace

void applyParameterEdit(const ParameterEdit& edit, const std::string& parameterKey, bool& changed,
                        Json& target) {
    Json* inserts = entryHasId(target, edit.nodeId) ? insertsOf(target) : nullptr;
    if (inserts == nullptr) {
        return;
    }
    for (Json& insert : *inserts) {
        if (entryHasId(insert, edit.slotId)) {
            writeParameter(insert, parameterKey, edit.value, changed);
        }
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
    const InsertIndex index(nativeSession, uiSession);
    // An editor that only repeats stored values changes nothing and steps no revision.
    const auto differs = [&](const ParameterEdit& edit) {
        const std::string key = std::to_string(edit.parameterId);
        for (const Json* insert : index.targetsOf(edit)) {
            if (parameterDiffers(*insert, key, edit.value)) {
                return true;
            }
        }
        return false;
    };
    const auto first = std::find_if(edits.begin(), edits.end(), differs);
    if (first == edits.end()) {
        return;
    }
    // The index holds object inserts of well-formed entries only, so no write below can fail on
    // a malformed document: they go into the held documents directly, with one revision step.
    // Only running out of memory could stop them half-way; the step then still marks what went
    // in.
    bool changed = false;
    try {
        for (auto edit = first; edit != edits.end(); ++edit) {
            const std::string key = std::to_string(edit->parameterId);
            for (Json* insert : index.targetsOf(*edit)) {
                writeParameter(*insert, key, edit->value, changed);
            }
        }
    } catch (...) {
        if (changed) {
            ++revision;
        }
        throw;
    }
    if (changed) {
        ++revision;
    }
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
