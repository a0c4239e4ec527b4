// Device, plug-in and audio methods, and the state reads.

#include "app/application_impl.h"
#include "app/json_read.h"
#include "app/render_callback.h"

#include "audio/device_records.h"
#include "common/utf8.h"
#include "vst3/loaded_module.h"

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxCatalogueRows = 1024;
constexpr const char* kScanMode = "filesystem catalogue; modules load only on enabled insert";
// The backend's own refusal, also given for a rate or block no device could take.
constexpr const char* kInvalidConfigurationText =
    "Invalid callback/device/rate/block configuration.";

// One walk of a search folder: bundles are listed, never entered; trouble ends the walk quietly.
void catalogueFolder(const fs::path& folder, Json& rows) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec) || ec) {
        return;
    }
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        return;
    }
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            return;
        }
        const fs::path& path = it->path();
        if (path.extension() != ".vst3") {
            continue;
        }
        // File names are bytes here: an odd one is repaired rather than failing the reply.
        rows.push_back({{"name", repairUtf8(path.stem().string())},
                        {"modulePath", repairUtf8(path.string())},
                        {"format", "VST3"}});
        std::error_code typeError;
        if (it->is_directory(typeError)) {
            it.disable_recursion_pending();
        }
        if (rows.size() >= kMaxCatalogueRows) {
            return;
        }
    }
}

// The selections of "inputs" or "outputs": {"id" (required), "exclusive" (default false)}.
std::vector<EndpointSelection> readSelections(const Json& params, const char* key) {
    std::vector<EndpointSelection> selections;
    const auto list = params.find(key);
    if (list == params.end()) {
        return selections;
    }
    for (const Json& entry : list->get_ref<const Json::array_t&>()) {
        selections.push_back({entry.at("id").get<std::string>(), entry.value("exclusive", false)});
    }
    return selections;
}

// A rate or block request: an integer within signed 32 bits, else the configuration refusal.
std::int32_t readDeviceNumber(const Json& params, const char* key, std::int32_t fallback) {
    const auto it = params.find(key);
    if (it == params.end()) {
        return fallback;
    }
    const auto value = readInt32(*it);
    if (!value) {
        throw std::runtime_error(kInvalidConfigurationText);
    }
    return *value;
}

AudioDeviceConfig readDeviceConfig(const Json& params) {
    AudioDeviceConfig config;
    config.requestedRate = readDeviceNumber(params, "requestedRate", config.requestedRate);
    config.requestedBlock = readDeviceNumber(params, "requestedBlock", config.requestedBlock);
    config.masterOutputId = params.value("masterOutputId", std::string());
    config.inputs = readSelections(params, "inputs");
    config.outputs = readSelections(params, "outputs");
    return config;
}

Json deviceRow(const EndpointInfo& device) {
    return {{"id", device.id},
            {"name", device.name},
            {"physicalUnitId", device.physicalUnitId},
            {"capture", device.capture},
            {"channels", device.channels},
            {"sampleRate", device.sampleRate},
            {"available", device.available}};
}

} // namespace

Json Impl::capabilities() const {
    return {{"nativeEngine", true},   {"backend", "WASAPI"},
            {"physicalAudio", true},  {"vst3Host", true},
            {"recorder", true},       {"recorderTaps", Json::array({"rawInput"})},
            {"sessionStore", true},   {"scenes", true},
            {"playback", true},       {"remote", false},
            {"maxNodes", 128},        {"maxBlock", 4096},
            {"builtInEffects", true}, {"stripProcessing", true}};
}

void Impl::enumerateDevices() {
    std::vector<EndpointInfo> found;
    std::string error;
    enumerateEndpoints(*catalogue, found, error);
    // What the enumeration found is kept even when it reports a failure.
    devices = std::move(found);
    if (!error.empty()) {
        throw std::runtime_error(error);
    }
}

Json Impl::listDevices() {
    enumerateDevices();
    Json rows = Json::array();
    for (const EndpointInfo& device : devices) {
        rows.push_back(deviceRow(device));
    }
    return {{"devices", std::move(rows)}};
}

Json Impl::listPlugins() const {
    Json rows = Json::array();
    for (const fs::path& folder : vst3SearchFolders()) {
        catalogueFolder(folder, rows);
    }
    return {{"plugins", std::move(rows)}, {"scanMode", kScanMode}};
}

Json Impl::startAudio(const Json& params) {
    if (backend.status().running) {
        throw std::runtime_error("Audio already running; stop before device reconfiguration");
    }
    // A take whose audio died is still open until its stop job has run: a new device layout
    // would feed the old take's tracks from other lanes.
    if (isRecordingBusy() || !captureHealthPath.empty()) {
        throw std::runtime_error("Finish the interrupted recording before restarting audio");
    }
    if (!playbackRoutingApplied) {
        throw std::runtime_error("Apply the file routing after loading or unloading WAV files");
    }
    if (nativeSession.is_null() || nativeSession.empty()) {
        throw std::runtime_error("Apply a valid session before audio start");
    }
    const AudioDeviceConfig config = readDeviceConfig(params);
    if (playbackChannels > 0 &&
        static_cast<std::int64_t>(playback->status().sampleRate) != config.requestedRate) {
        throw std::runtime_error("Reload WAV files at the requested sample rate");
    }

    // From here on the device is reconfigured: nothing renders until the new graph is applied.
    playback->stop();
    backend.stop();
    graph.dropRetired();
    graph.closeEditors();

    // Plug-in states go into the held description insert by insert: one that cannot be captured
    // fails the start, but every other insert keeps its fresh state.
    captureInsertStatesPerInsert();
    graph.clear();

    std::string error;
    if (!backend.start(config, audioRenderCallback, this, error)) {
        throw std::runtime_error(error);
    }
    playback->stop();

    Json description = attachPlaybackToNative(nativeSession);
    description["sampleRate"] = config.requestedRate;
    if (!graph.applyGraph(description, backend.status(), error)) {
        backend.stop();
        graph.clear();
        throw std::runtime_error(error);
    }
    nativeSession = std::move(description);
    return buildControlState();
}

Json Impl::getControlStateWithoutUi(const Json& params, bool& withUi) {
    Json snapshot = buildControlState();
    Json reply = {{"revision", revision}, {"status", std::move(snapshot)}};
    Json after = 0;
    if (params.is_object()) {
        const auto it = params.find("after");
        if (it != params.end()) {
            after = *it;
        }
    }
    withUi = !afterMatches(after, revision) && !uiSession.is_null();
    return reply;
}

Json Impl::getControlState(const Json& params) {
    bool withUi = false;
    Json reply = getControlStateWithoutUi(params, withUi);
    if (withUi) {
        reply["uiState"] = uiSession;
    }
    return reply;
}

std::shared_ptr<const std::string> Impl::uiSessionText() {
    if (!uiText || uiTextRevision != revision) {
        uiText = std::make_shared<const std::string>(uiSession.dump());
        uiTextRevision = revision;
    }
    return uiText;
}

Json Impl::status() {
    graph.reclaimRetired();
    return buildControlState();
}

} // namespace kestravon::ruvi
