// The control-state snapshot.

#include "app/application_impl.h"
#include "app/json_read.h"

#include "common/utf8.h"

#include <cstdint>
#include <string>
#include <utility>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

namespace {

const Json kStopRecordingRequest = {{"id", 0}, {"method", "stopRecording"}};

constexpr const char* kCaptureIssueText =
    "Audio acquisition reported missing frames or xruns; raw files are retained";

std::uint64_t counterOf(std::int64_t value) {
    return value > 0 ? static_cast<std::uint64_t>(value) : 0;
}

bool healthFlag(const Json& health, const char* key) {
    if (!health.is_object()) {
        return false;
    }
    const auto it = health.find(key);
    return it != health.end() && it->is_boolean() && it->get<bool>();
}

std::string healthText(const Json& health, const char* key) {
    if (!health.is_object()) {
        return {};
    }
    const auto it = health.find(key);
    return it != health.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const char* recorderStateWord(RecorderState state) {
    switch (state) {
    case RecorderState::Recording:
        return "recording";
    case RecorderState::Finalizing:
        return "finalizing";
    case RecorderState::Complete:
        return "complete";
    case RecorderState::Failed:
        return "failed";
    default:
        return "idle";
    }
}

const char* playbackStateWord(std::uint32_t state) {
    static constexpr const char* kWords[] = {"empty", "ready", "playing", "paused", "ended"};
    return state < 5 ? kWords[state] : "fault";
}

Json streamsJson(const BackendStatus& status) {
    Json streams = Json::array();
    for (const EndpointStatus& stream : status.streams) {
        streams.push_back(endpointStatusToJson(stream));
    }
    return streams;
}

// One entry per route of the applied description, in document order.
Json preparedRoutes(const Json& description, bool hasGraph) {
    Json routes = Json::array();
    if (!hasGraph || !description.is_object()) {
        return routes;
    }
    const auto nodes = description.find("nodes");
    if (nodes == description.end() || !nodes->is_array()) {
        return routes;
    }
    for (const Json& node : *nodes) {
        const auto list = node.find("routes");
        if (list == node.end()) {
            continue;
        }
        for (const Json& route : *list) {
            Json gain = 0;
            if (const auto it = route.find("gainDb"); it != route.end()) {
                (void)it->get<double>(); // a non-number fails with the library's type error
                gain = *it;
            }
            routes.push_back({{"nodeId", node.at("id")},
                              {"destinationId", route.at("destinationId")},
                              {"tap", route.value("tap", std::string("postFader"))},
                              {"gainDb", std::move(gain)}});
        }
    }
    return routes;
}

Json metersJson(const std::vector<NodeMeter>& meters) {
    Json out = Json::array();
    for (const NodeMeter& m : meters) {
        out.push_back({{"nodeId", m.nodeId},
                       {"peakL", m.peakL},
                       {"peakR", m.peakR},
                       {"latencySamples", m.latencySamples}});
    }
    return out;
}

} // namespace

std::uint64_t Impl::takeCounterDelta(const std::string& key, std::uint64_t counter) const {
    if (!takeBaseline.is_object()) {
        return counter;
    }
    std::uint64_t base = 0;
    if (const auto it = takeBaseline.find(key); it != takeBaseline.end()) {
        base = readUint64(*it).value_or(0);
    }
    // A backend restarted during the take counts from zero again: report the counter itself.
    return counter < base ? counter : counter - base;
}

Json Impl::buildControlState() {
    foldEditorParameterEdits();

    const BackendStatus audio = backend.status();
    bool running = audio.running;
    const bool audioHealthy = audio.running && audio.error.empty();
    if (recorder.status().state == RecorderState::Recording && !job && !audioHealthy) {
        // The take has lost its source: stop the device and finish the take in the background.
        backend.stop();
        (void)beginAsyncRequest(kStopRecordingRequest);
        running = false;
    }

    Json streams = streamsJson(audio);
    Json routes = preparedRoutes(nativeSession, graph.hasGraph());
    Json meters = metersJson(graph.nodeMeters());

    if (recorder.status().state == RecorderState::Failed && !captureHealthPath.empty() && !job) {
        (void)beginAsyncRequest(kStopRecordingRequest);
    }

    if (recorder.status().state == RecorderState::Recording && !job) {
        std::uint64_t missing = 0;
        std::uint64_t discontinuities = 0;
        std::uint64_t startupMissing = 0;
        for (const EndpointStatus& stream : audio.streams) {
            if (stream.capture) {
                missing += counterOf(stream.missingFrames);
                discontinuities += counterOf(stream.discontinuities);
                startupMissing += counterOf(stream.startupMissingFrames);
            }
        }
        Json health = {
            {"missingFrames", takeCounterDelta("missingFrames", missing)},
            {"discontinuities", takeCounterDelta("discontinuities", discontinuities)},
            {"startupMissingFrames", takeCounterDelta("startupMissingFrames", startupMissing)},
            {"xruns", takeCounterDelta("xruns", counterOf(audio.xruns))},
            {"renderDeadlineOverruns",
             takeCounterDelta("renderDeadlineOverruns", counterOf(audio.renderDeadlineOverruns))},
            {"sourceLost", false},
            {"error", ""}};
        // Late renders alone cost no samples of the raw take, so they raise no issue.
        const bool issue = health["missingFrames"] != 0 || health["discontinuities"] != 0 ||
                           health["startupMissingFrames"] != 0 || health["xruns"] != 0;
        health["captureIssue"] = issue;
        if (issue) {
            health["error"] = kCaptureIssueText;
        }
        captureHealth = std::move(health);
    }

    const RecorderStatus rec = recorder.status();
    const char* stateWord = job && job->recordingJob ? "preparing"
                            : job && job->stopJob    ? "finalizing"
                                                     : recorderStateWord(rec.state);
    const bool captureIssue = healthFlag(captureHealth, "captureIssue");
    Json recording = {
        {"active", isRecordingBusy()},
        {"state", stateWord},
        {"frames", rec.writtenFrames},
        {"writtenFrames", rec.writtenFrames},
        {"acceptedFrames", rec.acceptedFrames},
        {"committedFrames", rec.committedFrames},
        {"droppedFrames", rec.droppedFrames},
        {"firstDroppedFrame", rec.firstDroppedFrame},
        {"queuedBlocks", rec.queuedBlocks},
        {"queueBytes", rec.queueBytes},
        {"stallToleranceSeconds", rec.stallToleranceSeconds},
        {"incomplete", rec.incomplete || captureIssue},
        {"captureIssue", captureIssue},
        {"captureHealth", captureHealth},
        {"sampleRate", recordingSampleRate},
        {"takeDirectory", repairUtf8(rec.takeDirectory)},
        {"error", !rec.faultText.empty() ? rec.faultText : healthText(captureHealth, "error")}};

    Json storedIds = Json::array();
    for (const auto& scene : sceneStates.items()) {
        storedIds.push_back(scene.key());
    }

    const PlaybackStatus play = playback->status();
    Json playbackJson = {
        {"routingReady", playbackRoutingApplied},
        {"state", playbackStateWord(play.state)},
        {"playing", play.state == static_cast<std::uint32_t>(PlaybackState::playing)},
        {"frame", play.frame},
        {"requestedFrame", play.requestedFrame},
        {"durationFrames", play.durationFrames},
        {"durationSeconds", play.durationSeconds},
        {"positionSeconds", play.positionSeconds},
        {"sampleRate", play.sampleRate},
        {"loadedChannels", play.loadedChannels},
        {"residentAudioBytes", play.residentAudioBytes},
        {"looping", play.looping},
        {"loopStartFrame", play.loopStartFrame},
        {"loopEndFrame", play.loopEndFrame},
        {"incomplete", play.incomplete},
        {"error", play.faultText},
        {"files", playbackFiles}};

    Json controlJob;
    if (job) {
        controlJob = {{"busy", true},
                      {"jobId", job->id},
                      {"method", job->method},
                      {"phase", jobPhaseWord(job->phase.load())},
                      {"phaseProgress", job->phaseProgress.load()}};
    } else if (lastJobEvent.is_object() && !lastJobEvent.empty()) {
        controlJob = lastJobEvent;
    } else {
        controlJob = {{"busy", false}};
    }

    Json audioJson = {{"running", running},
                      {"sampleRate", audio.sampleRate},
                      {"blockFrames", audio.blockFrames},
                      {"inputChannels", audio.inputChannels},
                      {"outputChannels", audio.outputChannels},
                      {"callbacks", audio.callbacks},
                      {"xruns", audio.xruns},
                      {"reportedOutputMs", audio.reportedOutputMs},
                      {"maximumCallbackMs", audio.maximumCallbackMs},
                      {"maximumRenderWorkMs", audio.maximumRenderWorkMs},
                      {"renderDeadlineOverruns", audio.renderDeadlineOverruns},
                      {"startupMissingFrames", audio.startupMissingFrames},
                      {"error", audio.error},
                      {"streams", std::move(streams)},
                      {"graphLatencySamples", graph.latencySamples()}};

    return {{"revision", revision},
            {"controlJob", std::move(controlJob)},
            {"scenes", {{"storedIds", std::move(storedIds)}}},
            {"inserts", graph.insertStatusJson()},
            {"routing", {{"preparedRoutes", std::move(routes)}}},
            {"audio", std::move(audioJson)},
            {"meters", std::move(meters)},
            {"stripMeters", graph.stripMetersJson()},
            {"recording", std::move(recording)},
            {"playback", std::move(playbackJson)}};
}

} // namespace kestravon::ruvi
