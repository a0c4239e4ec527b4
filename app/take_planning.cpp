#include "app/take_planning.h"

#include "app/application_impl.h"
#include "media/playback_config.h"
#include "media/take_queue_budget.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace kestravon::ruvi {

namespace {

using Json = nlohmann::json;

[[noreturn]] void refuse(const char* text) {
    throw std::runtime_error(text);
}

// The recorder's own rule for a track: an id it can put in a file name, a bounded name. Node ids
// may be any 1 to 128 bytes, so a strip can be applied that cannot be recorded.
bool recorderAcceptsTrack(const std::string& id, const std::string& name) {
    return isValidRecorderTrackId(id) && name.size() <= kRecorderTrackNameMaxBytes;
}

// A remote client may only record what the stage computer has set up: its folder and its armed
// strips. A malformed shared document matches nothing.
void checkRemoteTake(const Json& ui, const std::string& directory,
                     const std::vector<std::string>& nodeIds) {
    const Json* recorder = ui.is_object() && ui.contains("recorder") ? &ui["recorder"] : nullptr;
    const bool sameFolder = recorder != nullptr && recorder->is_object() &&
                            recorder->contains("directory") &&
                            (*recorder)["directory"].is_string() &&
                            (*recorder)["directory"].get_ref<const std::string&>() == directory;
    if (!sameFolder) {
        refuse("Set the recording folder on the local computer first");
    }
    std::set<std::string> armed;
    if (ui.is_object() && ui.contains("channels") && ui["channels"].is_array()) {
        for (const Json& channel : ui["channels"]) {
            if (channel.is_object() && channel.contains("arm") && channel["arm"] == true &&
                channel.contains("id") && channel["id"].is_string()) {
                armed.insert(channel["id"].get<std::string>());
            }
        }
    }
    if (armed != std::set<std::string>(nodeIds.begin(), nodeIds.end())) {
        refuse("Remote recording must use the shared armed tracks");
    }
}

// The aggregate input lanes of one input strip's device ports.
std::vector<std::uint32_t> trackLanes(const Json& ports, const BackendStatus& status) {
    std::vector<std::uint32_t> lanes;
    for (const Json& port : ports) {
        const auto& deviceId = port.at("deviceId").get_ref<const std::string&>();
        const auto channel = port.at("channel").get<std::int64_t>();
        bool active = false;
        for (const EndpointStatus& endpoint : status.streams) {
            if (!endpoint.capture || endpoint.id != deviceId) {
                continue;
            }
            active = true;
            if (channel < 0 || channel >= endpoint.channels) {
                refuse("Recording lane outside active endpoint");
            }
            lanes.push_back(static_cast<std::uint32_t>(endpoint.firstChannel + channel));
        }
        if (!active) {
            refuse("Recording endpoint is not active");
        }
    }
    return lanes;
}

void appendTracksFor(const std::string& id, const Json& nodes, const BackendStatus& status,
                     std::vector<RecorderTrackSpec>& tracks) {
    bool found = false;
    for (const Json& node : nodes) {
        if (!node.is_object() || !node.contains("id") || node["id"] != id) {
            continue;
        }
        found = true;
        const Json source = node.value("source", Json::object());
        if (node.value("kind", std::string()) != "input" ||
            source.value("kind", std::string("none")) != "device") {
            refuse("Raw recording requires a physical input source");
        }
        RecorderTrackSpec track;
        track.id = id;
        track.name = node.value("name", id);
        track.sourceLanes = trackLanes(source.at("ports"), status);
        if (node.value("width", 1) != static_cast<int>(track.sourceLanes.size())) {
            refuse("Recording stereo layout mismatch");
        }
        if (!recorderAcceptsTrack(track.id, track.name)) {
            refuse("Invalid recorder track ID/width/name");
        }
        tracks.push_back(std::move(track));
    }
    if (!found) {
        refuse("Armed recording track not in applied session");
    }
}

std::string takeFolderNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return takeFolderName(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec / 1000000),
                          static_cast<unsigned long>(::getpid()));
}

} // namespace

std::string takeFolderName(std::int64_t utcSeconds, std::uint32_t milliseconds,
                           unsigned long processId) {
    const std::time_t seconds = static_cast<std::time_t>(utcSeconds);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char name[96];
    std::snprintf(name, sizeof name, "Take-%04u%02u%02u-%02u%02u%02u-%03u-%lu",
                  static_cast<unsigned>(utc.tm_year + 1900), static_cast<unsigned>(utc.tm_mon + 1),
                  static_cast<unsigned>(utc.tm_mday), static_cast<unsigned>(utc.tm_hour),
                  static_cast<unsigned>(utc.tm_min), static_cast<unsigned>(utc.tm_sec),
                  milliseconds, processId);
    return name;
}

RecorderTakeConfig planRecordingTake(Application::Impl& application, const Json& params,
                                     const BackendStatus& status) {
    if (params.value("tap", std::string("rawInput")) != "rawInput" ||
        params.value("includeMain", false)) {
        refuse("This build records raw physical inputs only, before trim, effects and faders");
    }
    const auto nodeIds = params.at("nodeIds").get<std::vector<std::string>>();
    if (nodeIds.empty() || nodeIds.size() > 128 ||
        std::set<std::string>(nodeIds.begin(), nodeIds.end()).size() != nodeIds.size()) {
        refuse("Arm distinct input tracks before recording");
    }
    const auto directory = params.at("directory").get<std::string>();
    if (params.contains("_remote") && params["_remote"] == true) {
        checkRemoteTake(application.uiSession, directory, nodeIds);
    }

    RecorderTakeConfig plan;
    plan.sampleRate = static_cast<std::uint32_t>(status.sampleRate);
    plan.blockFrames = static_cast<std::uint32_t>(status.blockFrames);
    const Json& native = application.nativeSession;
    const Json nodes = native.is_object() && native.contains("nodes") && native["nodes"].is_array()
                           ? native["nodes"]
                           : Json::array();
    for (const std::string& id : nodeIds) {
        appendTracksFor(id, nodes, status, plan.tracks);
    }

    checkPlaybackLocalPath(directory);
    plan.directory = (std::filesystem::path(directory) / takeFolderNow()).string();

    std::uint64_t lanes = 0;
    for (const RecorderTrackSpec& track : plan.tracks) {
        lanes += track.sourceLanes.size();
    }
    plan.retainedQueueBytes = application.recorder.status().queueBytes;
    plan.queueSlots =
        timeSizedQueueSlots(plan.sampleRate, plan.blockFrames, lanes, plan.retainedQueueBytes);
    return plan;
}

} // namespace kestravon::ruvi
