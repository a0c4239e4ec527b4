#include "audio/backend_status.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

TEST(BackendStatusJson, DefaultsMatchTheIdleBackend) {
    const nlohmann::json j = backendStatusToJson(BackendStatus{});
    EXPECT_EQ(j.size(), 14u);
    EXPECT_EQ(j.at("running"), false);
    EXPECT_EQ(j.at("sampleRate"), 0);
    EXPECT_EQ(j.at("blockFrames"), 0);
    EXPECT_EQ(j.at("inputChannels"), 0);
    EXPECT_EQ(j.at("outputChannels"), 0);
    EXPECT_EQ(j.at("error"), "");
    EXPECT_TRUE(j.at("streams").is_array());
    EXPECT_TRUE(j.at("streams").empty());
}

TEST(BackendStatusJson, EveryFieldLandsUnderItsOwnName) {
    EndpointStatus e;
    e.id = "virtual:capture-1";
    e.name = "Tone in";
    e.status = "fault HRESULT 0x88890004";
    e.capture = true;
    e.firstChannel = 2;
    e.channels = 4;
    e.sampleRate = 96000;
    e.correctionPpm = -12.5;
    e.queueMilliseconds = 3.25;
    e.discontinuities = 7;
    e.missingFrames = 8'000'000'000LL;
    e.bufferFrames = 960;
    e.periodFrames = 480;
    e.targetQueueMilliseconds = 4.5;
    e.reportedLatencyMilliseconds = 10.0;
    e.primed = true;
    e.lowLatencyShared = true;
    e.startupMissingFrames = 11;
    e.startupDiscontinuities = 12;

    BackendStatus b;
    b.running = true;
    b.sampleRate = 48000;
    b.blockFrames = 128;
    b.inputChannels = 6;
    b.outputChannels = 2;
    b.callbacks = 5'000'000'000LL;
    b.xruns = 3;
    b.reportedOutputMs = 1.5;
    b.maximumCallbackMs = 2.5;
    b.maximumRenderWorkMs = 0.75;
    b.renderDeadlineOverruns = 4;
    b.startupMissingFrames = 11;
    b.error = "Tone in failed (virtual:capture-1)";
    b.streams = {EndpointStatus{}, e};

    const nlohmann::json j = backendStatusToJson(b);
    EXPECT_EQ(j, nlohmann::json::parse(R"js({
        "running": true, "sampleRate": 48000, "blockFrames": 128, "inputChannels": 6,
        "outputChannels": 2, "callbacks": 5000000000, "xruns": 3, "reportedOutputMs": 1.5,
        "maximumCallbackMs": 2.5, "maximumRenderWorkMs": 0.75, "renderDeadlineOverruns": 4,
        "startupMissingFrames": 11, "error": "Tone in failed (virtual:capture-1)",
        "streams": [
          {"id": "", "name": "", "status": "", "capture": false, "firstChannel": 0,
           "channels": 0, "sampleRate": 0, "correctionPpm": 0.0, "queueMilliseconds": 0.0,
           "discontinuities": 0, "missingFrames": 0, "bufferFrames": 0, "periodFrames": 0,
           "targetQueueMilliseconds": 0.0, "reportedLatencyMilliseconds": 0.0,
           "primed": false, "lowLatencyShared": false, "startupMissingFrames": 0,
           "startupDiscontinuities": 0},
          {"id": "virtual:capture-1", "name": "Tone in", "status": "fault HRESULT 0x88890004",
           "capture": true, "firstChannel": 2, "channels": 4, "sampleRate": 96000,
           "correctionPpm": -12.5, "queueMilliseconds": 3.25, "discontinuities": 7,
           "missingFrames": 8000000000, "bufferFrames": 960, "periodFrames": 480,
           "targetQueueMilliseconds": 4.5, "reportedLatencyMilliseconds": 10.0,
           "primed": true, "lowLatencyShared": true, "startupMissingFrames": 11,
           "startupDiscontinuities": 12}
        ]})js"));
}

} // namespace
} // namespace kestravon::ruvi
