// Scene capture and recall.
//
// A scene is two things: an entry in the UI document's "scenes" (what the page lists and shows)
// and a state in the scene bank (the native description and the UI document as they stood).
// Recall works on a fresh payload capture, copies the groups the safes leave open from the
// stored state, recomputes every fader through the DCAs and applies the result as a new graph;
// the held documents change only once that graph is in place.

#include "app/application_impl.h"
#include "app/render_callback.h"
#include "app/scene_rules.h"
#include "app/session_document.h"
#include "app/strip_fields.h"
#include "app/ui_strips.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Impl = Application::Impl;

constexpr double kDefaultSampleRate = 48000.0;

// The UI document's members that belong to the session, not to a scene's look of the console.
constexpr const char* kSessionOnlyMembers[] = {"scenes", "currentScene", "device", "recorder",
                                               "safe"};
constexpr const char* kStripArrays[] = {"channels", "aux", "groups", "matrices", "returns"};
constexpr const char* kRecalledArrays[] = {"channels", "aux",     "groups",
                                           "matrices", "returns", "dcas"};
constexpr const char* kRecalledSingles[] = {"master", "mono", "monitor"};

[[noreturn]] void fail(const char* text) {
    throw std::runtime_error(text);
}

const Json* member(const Json& object, const char* key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const Json* arrayMember(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value != nullptr && value->is_array() ? value : nullptr;
}

// The last entry of a list with the id; malformed entries never match.
const Json* lastWithId(const Json& list, std::string_view id) {
    const Json* found = nullptr;
    for (const Json& entry : list) {
        if (entryId(entry) == id) {
            found = &entry;
        }
    }
    return found;
}

bool isSafe(const Json& safes, std::string_view group) {
    return !group.empty() && safes.at(std::string(group)).get<bool>();
}

// Native fields follow the scene exactly: what the scene lacks goes.
void recallNode(Json& node, const Json& stored, const Json& safes) {
    for (const RecallGroup& group : recallGroups()) {
        if (isSafe(safes, group.safe)) {
            continue;
        }
        for (const char* field : group.nativeFields) {
            const auto it = stored.find(field);
            if (it != stored.end()) {
                node[field] = *it;
            } else {
                node.erase(field);
            }
        }
    }
}

// UI fields are copied only where the scene has them; the page may keep fields a scene predates.
void recallStrip(Json& strip, const Json& stored, const Json& safes) {
    for (const RecallGroup& group : recallGroups()) {
        if (isSafe(safes, group.safe)) {
            continue;
        }
        for (const char* field : group.uiFields) {
            const auto it = stored.find(field);
            if (it != stored.end()) {
                strip[field] = *it;
            }
        }
    }
}

void recallStrips(Json& ui, const Json& storedUi, const Json& safes) {
    for (const char* name : kRecalledArrays) {
        const Json* stored = arrayMember(storedUi, name);
        const auto current = ui.find(name);
        if (stored == nullptr || current == ui.end() || !current->is_array()) {
            continue;
        }
        for (Json& strip : *current) {
            const auto id = entryId(strip);
            if (!id) {
                continue;
            }
            if (const Json* match = lastWithId(*stored, *id)) {
                recallStrip(strip, *match, safes);
            }
        }
    }
    for (const char* name : kRecalledSingles) {
        const Json* stored = member(storedUi, name);
        const auto current = ui.find(name);
        if (stored != nullptr && stored->is_object() && current != ui.end() &&
            current->is_object()) {
            recallStrip(*current, *stored, safes);
        }
    }
}

// Every strip's fader and mute, with its DCAs added in, become the native node's.
void applyDcaFaders(const Json& ui, Json& native) {
    Json* nodes = native.contains("nodes") ? &native["nodes"] : nullptr;
    if (nodes == nullptr || !nodes->is_array()) {
        return;
    }
    const auto apply = [&](const Json& strip) {
        const auto id = entryId(strip);
        if (!id || !strip.contains("level")) {
            return;
        }
        const EffectiveFader fader = effectiveFader(ui, *id, readStripFader(strip));
        for (Json& node : *nodes) {
            if (entryId(node) == *id) {
                node["gainDb"] = fader.gainDb;
                node["mute"] = fader.mute;
            }
        }
    };
    for (const char* name : kStripArrays) {
        if (const Json* list = arrayMember(ui, name)) {
            for (const Json& strip : *list) {
                apply(strip);
            }
        }
    }
    for (const char* name : {"master", "mono"}) {
        const Json* single = member(ui, name);
        if (single != nullptr && single->is_object()) {
            apply(*single);
        }
    }
}

Json sceneReply(const char* flag, std::int64_t revision, const Json& ui, Json status) {
    return {{flag, true}, {"revision", revision}, {"uiState", ui}, {"status", std::move(status)}};
}

} // namespace

Json Impl::captureScene(const Json& params) {
    checkBaseRevision(params, revision);
    const std::string sceneId = params.at("sceneId").get<std::string>();
    const std::string name = params.at("name").get<std::string>();
    if (!isValidSceneId(sceneId) || !isValidSceneName(name)) {
        fail("Invalid scene identity or name");
    }

    Json payload = captureSessionPayload();
    Json& ui = payload.at("uiState");
    Json snapshot = ui;
    for (const char* key : kSessionOnlyMembers) {
        snapshot.erase(key);
    }
    Json entry = {{"id", sceneId}, {"name", name}, {"snapshot", std::move(snapshot)}};
    Json& scenes = ui.at("scenes");
    bool replaced = false;
    for (Json& scene : scenes) {
        if (entryId(scene) == std::string_view(sceneId)) {
            scene = entry;
            replaced = true;
        }
    }
    if (!replaced) {
        if (scenes.size() >= kMaxScenes) {
            fail("Maximum 32 scenes");
        }
        scenes.push_back(std::move(entry));
    }
    ui["currentScene"] = sceneId;

    Json bank = std::move(payload.at("sceneStates"));
    bank[sceneId] = {{"native", payload.at("native")}, {"uiState", ui}};

    nativeSession = std::move(payload.at("native"));
    uiSession = std::move(ui);
    sceneStates = std::move(bank);
    ++revision;
    return sceneReply("stored", revision, uiSession, buildControlState());
}

Json Impl::recallScene(const Json& params) {
    checkBaseRevision(params, revision);
    const std::string sceneId = params.at("sceneId").get<std::string>();
    const auto storedIt = sceneStates.find(sceneId);
    if (storedIt == sceneStates.end()) {
        fail("Scene has no captured native state");
    }
    const Json& stored = *storedIt;

    Json payload = captureSessionPayload();
    Json native = std::move(payload.at("native"));
    Json ui = std::move(payload.at("uiState"));

    const Json* givenSafes = member(params, "safe");
    if (givenSafes == nullptr) {
        givenSafes = member(ui, "safe");
    }
    const Json safes = givenSafes != nullptr ? *givenSafes : Json::object();
    if (!isRecallSafes(safes)) {
        fail("Invalid scene recall safes");
    }

    const Json* storedNative = member(stored, "native");
    const Json* storedNodes =
        storedNative != nullptr ? arrayMember(*storedNative, "nodes") : nullptr;
    Json* nodes = native.contains("nodes") ? &native["nodes"] : nullptr;
    const std::size_t storedCount = storedNodes != nullptr ? storedNodes->size() : 0;
    const std::size_t count = nodes != nullptr && nodes->is_array() ? nodes->size() : 0;
    if (storedCount != count) {
        fail("Scene channel layout differs; open a complete session for a different band setup");
    }
    if (nodes != nullptr && nodes->is_array()) {
        for (Json& node : *nodes) {
            const auto id = entryId(node);
            const Json* match = id ? lastWithId(*storedNodes, *id) : nullptr;
            if (match == nullptr || node.at("width") != match->at("width")) {
                fail("Scene channel layout differs");
            }
            recallNode(node, *match, safes);
        }
    }

    const Json* storedUi = member(stored, "uiState");
    if (storedUi != nullptr && ui.is_object()) {
        recallStrips(ui, *storedUi, safes);
        const Json* fx = member(*storedUi, "fx");
        if (!safes.at("fx").get<bool>() && fx != nullptr) {
            ui["fx"] = *fx;
        }
    }
    ui["currentScene"] = sceneId;
    ui["safe"] = safesOnly(safes); // nothing a client added beside the four
    applyDcaFaders(ui, native);

    if (devices.empty()) {
        enumerateDevices();
    }
    graph.closeEditors();
    Json applied = attachPlaybackToNative(native);
    const double rate = numberOr(native, "sampleRate", kDefaultSampleRate);
    const BackendStatus layout =
        buildPhysicalChannelLayout(devices, static_cast<std::int32_t>(rate));
    std::string error;
    if (!graph.applyGraph(applied, layout, error)) {
        throw std::runtime_error(error);
    }

    nativeSession = std::move(applied);
    playbackRoutingApplied = true;
    uiSession = std::move(ui);
    ++revision;
    return sceneReply("recalled", revision, uiSession, buildControlState());
}

} // namespace kestravon::ruvi
