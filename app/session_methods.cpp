// Structural session methods and the playback transport.

#include "app/application_impl.h"
#include "app/json_read.h"
#include "app/render_callback.h"

#include <stdexcept>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Impl = Application::Impl;

constexpr std::int32_t kDefaultSessionRate = 48000;

// The rate a description asks for, as the planned layout takes it: 48000 when absent, 0 for
// anything that is not an integer the compiler accepts, so that the compiler words the refusal
// itself instead of this layout disagreeing with it.
std::int32_t plannedLayoutRate(const Json& description) {
    if (!description.is_object()) {
        return kDefaultSessionRate;
    }
    const auto rate = description.find("sampleRate");
    if (rate == description.end()) {
        return kDefaultSessionRate;
    }
    const auto value = readInt64(*rate);
    return value && *value >= 8000 && *value <= 192000 ? static_cast<std::int32_t>(*value) : 0;
}

// "_remote" as the gate sets it; a value that is not a boolean fails like any mistyped member.
bool fromRemote(const Json& params) {
    if (!params.is_object()) {
        return false;
    }
    const auto remote = params.find("_remote");
    return remote != params.end() && remote->get<bool>();
}

// The held insert with this node id, insert id and module, or null.
const Json* heldInsert(const Json& held, const std::string& nodeId, const Json& insert) {
    const auto id = insert.find("id");
    const auto module = insert.find("modulePath");
    if (id == insert.end() || !id->is_string() || module == insert.end() || !module->is_string() ||
        !held.is_object()) {
        return nullptr;
    }
    const auto nodes = held.find("nodes");
    if (nodes == held.end() || !nodes->is_array()) {
        return nullptr;
    }
    for (const Json& node : *nodes) {
        const auto nodeIdIt = node.is_object() ? node.find("id") : node.end();
        if (nodeIdIt == node.end() || *nodeIdIt != nodeId) {
            continue;
        }
        const auto inserts = node.find("inserts");
        if (inserts == node.end() || !inserts->is_array()) {
            continue;
        }
        for (const Json& candidate : *inserts) {
            if (candidate.is_object() && candidate.value("id", Json()) == *id &&
                candidate.value("modulePath", Json()) == *module) {
                return &candidate;
            }
        }
    }
    return nullptr;
}

// A description built from the UI document carries its inserts' parameters but not their saved
// states, and no block size. Each insert that names the same node, slot and module as a held one
// and brings no state of its own takes the held state (the compiler sets the parameters on top),
// and a description that names no block size keeps the held one. A moved insert, or one that
// now opens another module, starts from its defaults.
void carryHeldSettings(Json& description, const Json& held) {
    if (!description.is_object() || !held.is_object()) {
        return;
    }
    const auto block = held.find("maximumBlock");
    if (!description.contains("maximumBlock") && block != held.end()) {
        description["maximumBlock"] = *block;
    }
    const auto nodes = description.find("nodes");
    if (nodes == description.end() || !nodes->is_array()) {
        return;
    }
    for (Json& node : *nodes) {
        const auto nodeId = node.is_object() ? node.find("id") : node.end();
        const auto inserts = node.is_object() ? node.find("inserts") : node.end();
        if (nodeId == node.end() || !nodeId->is_string() || inserts == node.end() ||
            !inserts->is_array()) {
            continue;
        }
        for (Json& insert : *inserts) {
            if (!insert.is_object() || insert.contains("stateHex")) {
                continue;
            }
            const Json* from = heldInsert(held, nodeId->get<std::string>(), insert);
            if (from == nullptr) {
                continue;
            }
            const auto state = from->find("stateHex");
            if (state != from->end()) {
                insert["stateHex"] = *state;
            }
        }
    }
}

} // namespace

Json Impl::applySession(const Json& params) {
    if (backend.status().running || isRecordingBusy()) {
        throw std::runtime_error(
            "Stop audio and recording before changing routing, devices or the insert chain; "
            "faders, prepared sends and plugin parameters remain live");
    }
    const bool withUi = params.is_object() && params.contains("uiState");
    Json description;
    if (params.is_object() && params.contains("native")) {
        description = params.at("native");
    } else {
        // The params are the description, without the members that belong to the request: the
        // UI document must never land in the native description, its scene states or files.
        description = params;
        if (description.is_object()) {
            description.erase("uiState");
            description.erase("baseRevision");
            description.erase("_remote");
        }
    }
    carryHeldSettings(description, nativeSession);
    Json applied = attachPlaybackToNative(description);

    if (withUi) {
        const auto base = params.find("baseRevision");
        if (base != params.end() && !baseRevisionMatches(*base, revision)) {
            throw std::runtime_error(
                "Shared session changed; refresh before structural transaction");
        }
    }
    if (devices.empty()) {
        enumerateDevices();
    }
    // Audio is stopped (checked above), so the layout is the one the device list would give.
    const BackendStatus layout = buildPhysicalChannelLayout(devices, plannedLayoutRate(applied));
    if (withUi) {
        const Json& ui = params.at("uiState");
        const auto schema = ui.is_object() ? ui.find("schemaVersion") : ui.end();
        if (!ui.is_object() || schema == ui.end() || *schema != Json(2)) {
            throw std::runtime_error("Invalid shared UI session");
        }
    }

    backend.stop();
    graph.dropRetired();
    graph.closeEditors();
    std::string error;
    if (!graph.applyGraph(applied, layout, error)) {
        throw std::runtime_error(error);
    }
    nativeSession = std::move(applied);
    playbackRoutingApplied = true;
    if (withUi) {
        uiSession = params.at("uiState");
    }
    ++revision;
    return {{"applied", true}, {"latencySamples", graph.latencySamples()}, {"revision", revision}};
}

Json Impl::unloadPlayback(const Json& params) {
    if (fromRemote(params)) {
        throw std::runtime_error("Unload playback locally");
    }
    if (backend.status().running || isRecordingBusy()) {
        throw std::runtime_error("Stop audio before unloading WAV files");
    }
    backend.stop();
    // The graph reads the lanes being freed; it goes first, and audio cannot start again until a
    // session is applied without them.
    graph.clear();
    playback->unload();
    playbackRoutingApplied = false;
    playbackFiles = Json::array();
    playbackChannels = 0;
    ++revision;
    return buildControlState();
}

Json Impl::playPlayback() {
    if (!backend.status().running || !graph.hasGraph()) {
        throw std::runtime_error("Apply the file routing and start audio before playback");
    }
    if (!playback->play()) {
        throw std::runtime_error("Load WAV files before playback");
    }
    return buildControlState();
}

Json Impl::stopPlayback() {
    playback->stop();
    return buildControlState();
}

Json Impl::seekPlayback(const Json& params) {
    const std::uint64_t frame = playbackFrameFromJson(params.at("frame"));
    if (!playback->seek(frame)) {
        throw std::runtime_error("Playback position outside loaded timeline");
    }
    return buildControlState();
}

Json Impl::setPlaybackLoop(const Json& params) {
    const Json& enabled = params.at("enabled");
    if (!enabled.is_boolean()) {
        throw std::runtime_error("Loop enabled must be boolean");
    }
    const auto frameOr0 = [&](const char* key) -> std::uint64_t {
        const auto found = params.find(key);
        return found == params.end() ? 0 : playbackFrameFromJson(*found);
    };
    const std::uint64_t end = frameOr0("endFrame");
    const std::uint64_t start = frameOr0("startFrame");
    if (!playback->setLoop(enabled.get<bool>(), start, end)) {
        throw std::runtime_error("Invalid playback loop region");
    }
    return buildControlState();
}

Json Impl::attachPlaybackToNative(const Json& description) const {
    Json attached = description;
    if (!attached.is_object()) {
        return attached; // the compiler refuses it in its own words
    }
    attached["playbackChannels"] = playbackChannels;
    attached["playbackFiles"] = playbackFiles;
    if (playbackChannels > 0) {
        const auto rate = attached.find("sampleRate");
        const bool sameRate =
            rate == attached.end()
                ? playback->status().sampleRate == static_cast<std::uint32_t>(kDefaultSessionRate)
                : rate->is_number() &&
                      rate->get<double>() == static_cast<double>(playback->status().sampleRate);
        if (!sameRate) {
            throw std::runtime_error("Reload WAV files after changing project sample rate");
        }
    }
    return attached;
}

} // namespace kestravon::ruvi
