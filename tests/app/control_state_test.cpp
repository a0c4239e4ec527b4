// The control-state snapshot: its shape, its routes, scenes and take counters, and the capture
// health of a running take.

#include "app/application_impl.h"

#include "tests/app/app_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

using testing::HeadlessConsole;
using testing::Json;

namespace fs = std::filesystem;

std::set<std::string> keysOf(const Json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

TEST(ControlState, EmptyConsoleHasTheFullShape) {
    HeadlessConsole console;
    const Json s = console.call("status");
    EXPECT_EQ(keysOf(s),
              (std::set<std::string>{"revision", "controlJob", "scenes", "inserts", "routing",
                                     "audio", "meters", "stripMeters", "recording", "playback"}));
    EXPECT_EQ(
        keysOf(s.at("audio")),
        (std::set<std::string>{"running", "sampleRate", "blockFrames", "inputChannels",
                               "outputChannels", "callbacks", "xruns", "reportedOutputMs",
                               "maximumCallbackMs", "maximumRenderWorkMs", "renderDeadlineOverruns",
                               "startupMissingFrames", "error", "streams", "graphLatencySamples"}));
    EXPECT_EQ(keysOf(s.at("recording")),
              (std::set<std::string>{"active", "state", "frames", "writtenFrames", "acceptedFrames",
                                     "committedFrames", "droppedFrames", "firstDroppedFrame",
                                     "queuedBlocks", "queueBytes", "stallToleranceSeconds",
                                     "incomplete", "captureIssue", "captureHealth", "sampleRate",
                                     "takeDirectory", "error"}));
    EXPECT_EQ(
        keysOf(s.at("playback")),
        (std::set<std::string>{"routingReady", "state", "playing", "frame", "requestedFrame",
                               "durationFrames", "durationSeconds", "positionSeconds", "sampleRate",
                               "loadedChannels", "residentAudioBytes", "looping", "loopStartFrame",
                               "loopEndFrame", "incomplete", "error", "files"}));
    for (const Json& empty :
         {s.at("audio").at("streams"), s.at("routing").at("preparedRoutes"), s.at("meters"),
          s.at("stripMeters"), s.at("inserts"), s.at("scenes").at("storedIds")}) {
        EXPECT_EQ(empty, Json::array());
    }
    EXPECT_EQ(s.at("controlJob"), Json::parse(R"({"busy": false})"));
    EXPECT_EQ(s.at("recording").at("state"), "idle");
    EXPECT_FALSE(s.at("recording").at("active").get<bool>());
    EXPECT_EQ(s.at("playback").at("state"), "empty");
    EXPECT_TRUE(s.at("playback").at("routingReady").get<bool>());
    EXPECT_EQ(s.at("playback").at("files"), Json::array());
    EXPECT_EQ(s.at("revision"), 0);
}

TEST(ControlState, StreamsRoutesAndScenes) {
    HeadlessConsole console;
    Json session = testing::toneToMainSession();
    Json in2 = testing::stereoInputStrip("in2");
    in2["routes"] = Json::array({{{"destinationId", "aux"}, {"tap", "preFader"}, {"gainDb", -6.5}},
                                 {{"destinationId", "main-lr"}, {"gainDb", -3}}});
    session["nodes"].push_back(in2);
    session["nodes"].push_back({{"id", "aux"}, {"kind", "bus"}, {"width", 2}});
    ASSERT_FALSE(console.applySession(session).is_null());
    console.app->impl().sceneStates = {{"scene-9", Json::object()}, {"scene-10", Json::object()}};

    const Json s = console.call("startAudio", console.startParams());
    EXPECT_EQ(s.at("routing").at("preparedRoutes"), Json::parse(R"([
        {"nodeId": "in1", "destinationId": "main-lr", "tap": "postFader", "gainDb": 0},
        {"nodeId": "in2", "destinationId": "aux", "tap": "preFader", "gainDb": -6.5},
        {"nodeId": "in2", "destinationId": "main-lr", "tap": "postFader", "gainDb": -3}])"));
    EXPECT_EQ(s.at("scenes").at("storedIds"), Json::parse(R"(["scene-10", "scene-9"])"));
    ASSERT_EQ(s.at("audio").at("streams").size(), 2u);
    const Json& stream = s.at("audio").at("streams")[0];
    EXPECT_EQ(keysOf(stream),
              (std::set<std::string>{"id", "name", "capture", "status", "firstChannel", "channels",
                                     "sampleRate", "correctionPpm", "queueMilliseconds",
                                     "discontinuities", "missingFrames", "bufferFrames",
                                     "periodFrames", "targetQueueMilliseconds",
                                     "reportedLatencyMilliseconds", "primed", "lowLatencyShared",
                                     "startupMissingFrames", "startupDiscontinuities"}));
    EXPECT_EQ(s.at("meters").size(), 4u);
    EXPECT_EQ(s.at("stripMeters").size(), 4u);
}

// The display-rate poll writes the UI document from its text kept per revision: the bytes must
// be those of the plain reply, before a session, with one, and right after an edit.
TEST(ControlState, TheTextReplyWritesWhatThePlainReplyWrites) {
    HeadlessConsole console;
    Application& app = *console.app;
    const auto both = [&](const Json& request) {
        SCOPED_TRACE(request.dump());
        const Json plain = app.handleRequest(request);
        const Application::TextReply text = app.handleRequestWithUiText(request);
        EXPECT_EQ(text.dump(), plain.dump());
        const bool plainCarriesUi = plain.contains("result") && plain.at("result").is_object() &&
                                    plain.at("result").contains("uiState");
        EXPECT_EQ(text.uiStateText != nullptr, plainCarriesUi);
        if (text.uiStateText) {
            EXPECT_FALSE(text.reply.at("result").contains("uiState"));
        }
        return plainCarriesUi;
    };
    const auto state = [](const Json& after) {
        return Json{{"id", 4}, {"method", "getControlState"}, {"params", {{"after", after}}}};
    };
    EXPECT_FALSE(both(state(0))) << "no UI document yet";

    const Json ui = Json::parse(R"({"schemaVersion": 2, "channels": [
        {"id": "in1", "name": "Gitarre \"links\" \u00e9", "level": -10, "mute": false,
         "inserts": [{"id": "fx", "parameters": {"0": 0.25, "10": 1.0, "2": 1}}]}],
        "master": {"id": "main-lr", "level": 0.0}})");
    ASSERT_FALSE(console.applySession(testing::toneToMainSession(), ui).is_null());
    const std::int64_t revision = app.impl().revision;
    EXPECT_TRUE(both(state(0)));
    EXPECT_TRUE(both(state(0))) << "from the kept text";
    EXPECT_TRUE(both(state(-1)));
    EXPECT_FALSE(both(state(revision)));
    EXPECT_TRUE(both({{"id", 5}, {"method", "getControlState"}}));
    EXPECT_FALSE(both({{"id", 6}, {"method", "status"}}));
    EXPECT_FALSE(both({{"id", 7}, {"method", "getControlState"}, {"_remote", "yes"}}));
    EXPECT_FALSE(both({{"id", 8}}));

    // An edit steps the revision: the next text reply writes the edited document.
    const Json fader = {{"nodeId", "in1"},
                        {"key", "gainDb"},
                        {"value", -6.5},
                        {"uiPatch", {{"entityId", "in1"}, {"key", "level"}, {"value", -6.5}}}};
    ASSERT_FALSE(console.call("setParameter", fader).is_null());
    EXPECT_TRUE(both(state(revision)));
    const Application::TextReply edited = app.handleRequestWithUiText(state(0));
    ASSERT_NE(edited.uiStateText, nullptr);
    EXPECT_EQ(Json::parse(*edited.uiStateText).at("/channels/0/level"_json_pointer), -6.5);
}

TEST(ControlState, TakeCounterDeltaAgainstTheBaseline) {
    HeadlessConsole console;
    auto& a = console.app->impl();
    struct Case {
        Json baseline;
        std::uint64_t counter;
        std::uint64_t delta;
    };
    const Case cases[] = {
        {Json::object(), 12, 12},   // key absent
        {{{"xruns", 5}}, 12, 7},    // the usual difference
        {{{"xruns", 20}}, 3, 3},    // a backend restarted since: the counter itself
        {{{"xruns", 12}}, 12, 0},   //
        {{{"xruns", "5"}}, 12, 12}, // not a counter: counts as 0
        {Json::array({5}), 12, 12}, // not an object
        {{{"xruns", 18446744073709551615ULL}}, 18446744073709551615ULL, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baseline.dump());
        a.takeBaseline = c.baseline;
        EXPECT_EQ(a.takeCounterDelta("xruns", c.counter), c.delta);
    }
}

fs::path freshFolder(const std::string& name) {
    const auto folder =
        fs::temp_directory_path() / ("ruvi-state-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

RecorderTakeConfig takeOf(const fs::path& folder) {
    RecorderTakeConfig take;
    take.directory = (folder / "take").string();
    take.blockFrames = 4096;
    take.queueSlots = 128;
    take.tracks = {{"in1", "In 1", {0, 1}}};
    return take;
}

// The counters at the take's start, as the take planner records them.
Json baselineOf(const BackendStatus& status) {
    std::int64_t missing = 0, discontinuities = 0, startupMissing = 0;
    for (const EndpointStatus& stream : status.streams) {
        if (stream.capture) {
            missing += stream.missingFrames;
            discontinuities += stream.discontinuities;
            startupMissing += stream.startupMissingFrames;
        }
    }
    return {{"missingFrames", missing},
            {"discontinuities", discontinuities},
            {"startupMissingFrames", startupMissing},
            {"xruns", status.xruns},
            {"renderDeadlineOverruns", status.renderDeadlineOverruns}};
}

TEST(ControlState, CaptureHealthOfARunningTake) {
    HeadlessConsole console;
    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    const fs::path folder = freshFolder("health");
    auto& a = console.app->impl();
    ASSERT_TRUE(testing::eventually([&] { return a.backend.status().callbacks > 100; }));
    a.takeBaseline = baselineOf(a.backend.status());
    a.recorder.begin(takeOf(folder));
    a.recordingSampleRate = 48000;
    ASSERT_TRUE(testing::eventually([&] { return a.recorder.status().writtenFrames > 4800; }));

    Json s = console.call("status");
    const Json& rec = s.at("recording");
    EXPECT_EQ(rec.at("state"), "recording");
    EXPECT_TRUE(rec.at("active").get<bool>());
    EXPECT_GT(rec.at("frames").get<std::uint64_t>(), 4800u);
    EXPECT_EQ(rec.at("sampleRate"), 48000);
    EXPECT_EQ(rec.at("takeDirectory"), (folder / "take").string());
    EXPECT_EQ(rec.at("captureHealth"), Json::parse(R"({"missingFrames": 0, "discontinuities": 0,
        "startupMissingFrames": 0, "xruns": 0, "renderDeadlineOverruns": 0, "sourceLost": false,
        "error": "", "captureIssue": false})"));
    EXPECT_FALSE(rec.at("captureIssue").get<bool>());

    // A capture endpoint that stops delivering costs the take frames: the issue is raised.
    console.input->setStalled(true);
    ASSERT_TRUE(testing::eventually([&] {
        s = console.call("status");
        return s.at("recording").at("captureIssue").get<bool>();
    }));
    const Json& health = s.at("recording").at("captureHealth");
    EXPECT_GT(health.at("missingFrames").get<std::uint64_t>() +
                  health.at("discontinuities").get<std::uint64_t>(),
              0u);
    EXPECT_TRUE(s.at("recording").at("incomplete").get<bool>());
    EXPECT_EQ(s.at("recording").at("error"),
              "Audio acquisition reported missing frames or xruns; raw files are retained");
    a.recorder.stopAndDestroy();
    fs::remove_all(folder);
}

TEST(ControlState, ATakeWhoseDeviceDiesIsStoppedInTheBackground) {
    HeadlessConsole console;
    ASSERT_FALSE(console.applySession(testing::toneToMainSession()).is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    const fs::path folder = freshFolder("orphan");
    auto& a = console.app->impl();
    a.recorder.begin(takeOf(folder));
    console.output->remove();
    ASSERT_TRUE(testing::eventually([&] { return !a.backend.status().error.empty(); }));
    const Json s = console.call("status");
    EXPECT_FALSE(s.at("audio").at("running").get<bool>());
    EXPECT_FALSE(a.backend.status().running);
    // The same snapshot already shows the internal stop job.
    EXPECT_EQ(s.at("controlJob").at("busy"), true);
    EXPECT_EQ(s.at("controlJob").at("method"), "stopRecording");
    EXPECT_EQ(s.at("recording").at("state"), "finalizing");
    // It finishes on a later tick; its reply goes nowhere (the request came from inside).
    ASSERT_TRUE(testing::eventually([&] {
        (void)console.app->pollAsyncJob();
        return !console.app->jobRunning();
    }));
    EXPECT_EQ(console.call("status").at("controlJob").value("method", ""), "stopRecording");
    console.app.reset();
    fs::remove_all(folder);
}

} // namespace
} // namespace kestravon::ruvi
