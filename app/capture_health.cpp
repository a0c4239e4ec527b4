#include "app/capture_health.h"

#include "app/application_impl.h"
#include "media/take_file_io.h"

#include <filesystem>

namespace kestravon::ruvi {

namespace {

using Json = nlohmann::json;

struct CaptureSums {
    std::uint64_t missingFrames = 0;
    std::uint64_t discontinuities = 0;
    std::uint64_t startupMissingFrames = 0;
};

std::uint64_t counterValue(std::int64_t counter) {
    return counter < 0 ? 0 : static_cast<std::uint64_t>(counter);
}

CaptureSums sumCaptureEndpoints(const BackendStatus& status) {
    CaptureSums sums;
    for (const EndpointStatus& endpoint : status.streams) {
        if (endpoint.capture) {
            sums.missingFrames += counterValue(endpoint.missingFrames);
            sums.discontinuities += counterValue(endpoint.discontinuities);
            sums.startupMissingFrames += counterValue(endpoint.startupMissingFrames);
        }
    }
    return sums;
}

std::string documentText(const Json& document) {
    return document.dump(2);
}

} // namespace

Json makeCaptureHealthStart(const BackendStatus& status, const Json& nodeIds,
                            const Json& nativeSession) {
    const CaptureSums sums = sumCaptureEndpoints(status);
    return {
        {"xruns", counterValue(status.xruns)},
        {"renderDeadlineOverruns", counterValue(status.renderDeadlineOverruns)},
        {"sampleRate", status.sampleRate},
        {"missingFrames", sums.missingFrames},
        {"discontinuities", sums.discontinuities},
        {"startupMissingFrames", sums.startupMissingFrames},
        {"tracks", nodeIds},
        {"nativeSession", nativeSession},
    };
}

Json makeCaptureHealthEnd(const Application::Impl& application, const BackendStatus& status) {
    Json streams = Json::array();
    for (const EndpointStatus& endpoint : status.streams) {
        streams.push_back({
            {"id", endpoint.id},
            {"name", endpoint.name},
            {"status", endpoint.status},
            {"channels", endpoint.channels},
            {"sampleRate", endpoint.sampleRate},
            {"missingFrames", endpoint.missingFrames},
            {"discontinuities", endpoint.discontinuities},
            {"startupMissingFrames", endpoint.startupMissingFrames},
            {"queueMilliseconds", endpoint.queueMilliseconds},
            {"correctionPpm", endpoint.correctionPpm},
        });
    }
    const CaptureSums sums = sumCaptureEndpoints(status);
    const auto delta = [&](const char* key, std::uint64_t counter) {
        return application.takeCounterDelta(key, counter);
    };
    const std::uint64_t missing = delta("missingFrames", sums.missingFrames);
    const std::uint64_t discontinuities = delta("discontinuities", sums.discontinuities);
    const std::uint64_t startupMissing = delta("startupMissingFrames", sums.startupMissingFrames);
    const std::uint64_t xruns = delta("xruns", counterValue(status.xruns));
    const std::uint64_t overruns =
        delta("renderDeadlineOverruns", counterValue(status.renderDeadlineOverruns));
    const bool sourceLost = !status.error.empty();
    // Render deadline overruns are the engine running late, not audio lost on the way in.
    const bool captureIssue =
        sourceLost || missing != 0 || discontinuities != 0 || startupMissing != 0 || xruns != 0;
    std::string error = status.error;
    if (captureIssue && error.empty()) {
        error = "Audio acquisition reported missing frames or xruns during this take; inspect "
                "capture-health.json";
    }
    return {
        {"streams", std::move(streams)},
        {"missingFrames", missing},
        {"discontinuities", discontinuities},
        {"startupMissingFrames", startupMissing},
        {"xruns", xruns},
        {"renderDeadlineOverruns", overruns},
        {"sourceLost", sourceLost},
        {"error", std::move(error)},
        {"captureIssue", captureIssue},
    };
}

void writeCaptureHealthStartFile(const std::string& takeFolder, const Json& start) {
    const Json document = {
        {"end", nullptr},
        {"format", "kestravon-live-capture-health-1"},
        {"note", "Recording starts only after host publication; final capture health is written "
                 "on stop"},
        {"prepared", start},
        {"start", nullptr},
    };
    replaceTakeFileAtomically(takeFolder, kCaptureHealthFileName, documentText(document));
}

void writeCaptureHealthFile(const std::string& path, const Json& start, Json& end) noexcept {
    try {
        const Json document = {
            {"end", end},
            {"format", "kestravon-live-capture-health-1"},
            {"start", start},
            {"tap", "after-device-SRC-before-trim-effects-faders"},
        };
        const std::filesystem::path target(path);
        replaceTakeFileAtomically(target.parent_path().string(), target.filename().string(),
                                  documentText(document));
    } catch (...) {
        try {
            end["captureIssue"] = true;
            end["error"] = "Could not save capture-health.json; audio files retained";
        } catch (...) {
        }
    }
}

} // namespace kestravon::ruvi
