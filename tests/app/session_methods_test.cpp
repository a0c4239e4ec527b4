// The structural session methods and the playback transport, through the request gate of a
// headless console: what they refuse, in which order, and what a refusal leaves alone.

#include "app/application_impl.h"

#include "tests/app/app_test_support.h"
#include "tests/app/live_session_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestravon::ruvi {
namespace {

using testing::HeadlessConsole;
using testing::Json;

struct Refusal {
    const char* what;
    std::string method;
    Json params;
    std::string error;
};

// Each row is refused with its text; the held documents, the scene bank and the revision are
// byte-identical afterwards.
void expectRefusals(HeadlessConsole& console, const std::vector<Refusal>& rows) {
    for (const Refusal& row : rows) {
        SCOPED_TRACE(std::string(row.what) + ": " + row.method + " " + row.params.dump());
        const livetest::Held before = livetest::held(*console.app);
        EXPECT_EQ(console.refusal(row.method, row.params), row.error);
        EXPECT_TRUE(livetest::held(*console.app) == before) << "documents or revision changed";
    }
}

Json sharedUi() {
    return Json::parse(R"({"schemaVersion": 2, "channels": [{"id": "in1", "level": 0}]})");
}

// The tone session with a UI document and one stored scene, so that a refusal has every held
// document to lose.
void holdToneSession(HeadlessConsole& console) {
    ASSERT_FALSE(console.applySession(testing::toneToMainSession(), sharedUi()).is_null());
    console.app->impl().sceneStates["scene-01"] = {{"native", testing::toneToMainSession()},
                                                   {"uiState", sharedUi()}};
}

constexpr const char* kFrameText = "Playback frame must be a nonnegative integer";
constexpr const char* kStale = "Shared session changed; refresh before structural transaction";

TEST(SessionMethods, RefusalsWhileStoppedLeaveEveryDocumentAlone) {
    HeadlessConsole console;
    holdToneSession(console);
    const std::int64_t revision = console.app->impl().revision;
    const Json tone = testing::toneToMainSession();
    const auto withUi = [&](Json ui, Json base = nullptr) {
        Json params = {{"native", tone}, {"uiState", std::move(ui)}};
        if (!base.is_null()) {
            params["baseRevision"] = std::move(base);
        }
        return params;
    };
    Json unknownDestination = tone;
    unknownDestination["nodes"][0]["routes"] = Json::array({{{"destinationId", "aux9"}}});
    Json networkSource = tone;
    networkSource["nodes"][0]["source"] = {{"kind", "network"}};
    Json fileSource = tone;
    fileSource["nodes"][0]["source"] = {
        {"kind", "file"}, {"fileId", "/tmp/none.wav"}, {"channels", Json::array({0, 1})}};

    expectRefusals(
        console,
        {
            {"stale base revision", "applySession", withUi(sharedUi(), revision - 1), kStale},
            {"base revision ahead", "applySession", withUi(sharedUi(), revision + 1), kStale},
            {"base revision as text", "applySession", withUi(sharedUi(), std::to_string(revision)),
             "[json.exception.type_error.302] type must be number, but is string"},
            // The revision is checked before the UI document itself.
            {"stale revision and a bad document", "applySession",
             withUi({{"schemaVersion", 1}}, revision - 1), kStale},
            {"schema 1", "applySession", withUi({{"schemaVersion", 1}}),
             "Invalid shared UI session"},
            {"schema as text", "applySession", withUi({{"schemaVersion", "2"}}),
             "Invalid shared UI session"},
            {"no schema", "applySession", withUi(Json::object()), "Invalid shared UI session"},
            {"UI document not an object", "applySession", withUi(Json::array({sharedUi()})),
             "Invalid shared UI session"},
            // A good UI document does not carry a description the engine refuses.
            {"route to a missing bus",
             "applySession",
             {{"native", unknownDestination}, {"uiState", sharedUi()}},
             "Route destination missing"},
            {"source the engine lacks",
             "applySession",
             {{"native", networkSource}},
             "Source kind not yet implemented by native graph"},
            {"file lanes that are not loaded",
             "applySession",
             {{"native", fileSource}},
             "Load the source WAV files on the host before applying this project"},
            {"params as the description",
             "applySession",
             {{"format", "kestravon-live-native-0.2"}, {"nodes", tone.at("nodes")}},
             "Unsupported native session format"},

            {"remote unload", "unloadPlayback", {{"_remote", true}}, "Unload playback locally"},
            {"remote flag that is not a boolean",
             "unloadPlayback",
             {{"_remote", "yes"}},
             "[json.exception.type_error.302] type must be boolean, but is string"},

            {"play without audio", "playPlayback", Json::object(),
             "Apply the file routing and start audio before playback"},
            {"seek without a frame", "seekPlayback", Json::object(),
             "[json.exception.out_of_range.403] key 'frame' not found"},
            {"seek to a fraction", "seekPlayback", {{"frame", 2.5}}, kFrameText},
            {"seek before the start", "seekPlayback", {{"frame", -1}}, kFrameText},
            {"seek to text", "seekPlayback", {{"frame", "0"}}, kFrameText},
            {"seek to a boolean", "seekPlayback", {{"frame", true}}, kFrameText},
            {"seek with nothing loaded",
             "seekPlayback",
             {{"frame", 0}},
             "Playback position outside loaded timeline"},
            {"loop without enabled", "setPlaybackLoop", Json::object(),
             "[json.exception.out_of_range.403] key 'enabled' not found"},
            {"loop enabled as a number",
             "setPlaybackLoop",
             {{"enabled", 1}},
             "Loop enabled must be boolean"},
            {"loop enabled as text",
             "setPlaybackLoop",
             {{"enabled", "true"}},
             "Loop enabled must be boolean"},
            {"loop end before zero",
             "setPlaybackLoop",
             {{"enabled", true}, {"endFrame", -1}},
             kFrameText},
            {"loop start as a fraction",
             "setPlaybackLoop",
             {{"enabled", false}, {"startFrame", 1.5}},
             kFrameText},
            // Even switching the loop off needs a region inside loaded audio.
            {"loop with nothing loaded",
             "setPlaybackLoop",
             {{"enabled", false}},
             "Invalid playback loop region"},
        });

    // A refused apply leaves the applied graph: audio still starts on the held session.
    EXPECT_TRUE(console.call("startAudio", console.startParams())
                    .at("/audio/running"_json_pointer)
                    .get<bool>());
}

TEST(SessionMethods, RefusalsWhileAudioRuns) {
    HeadlessConsole console;
    holdToneSession(console);
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    const std::int64_t revision = console.app->impl().revision;
    expectRefusals(
        console,
        {
            {"apply while running",
             "applySession",
             {{"native", testing::toneToMainSession()},
              {"uiState", sharedUi()},
              {"baseRevision", revision}},
             "Stop audio and recording before changing routing, devices or the insert chain; "
             "faders, prepared sends and plugin parameters remain live"},
            // Running audio comes before the description is even read.
            {"apply nonsense while running",
             "applySession",
             {{"native", 5}},
             "Stop audio and recording before changing routing, devices or the insert chain; "
             "faders, prepared sends and plugin parameters remain live"},
            {"unload while running", "unloadPlayback", Json::object(),
             "Stop audio before unloading WAV files"},
            {"remote unload while running",
             "unloadPlayback",
             {{"_remote", true}},
             "Unload playback locally"},
            {"play with nothing loaded", "playPlayback", Json::object(),
             "Load WAV files before playback"},
        });
    // The gate's own "_remote" reaches unloadPlayback as well.
    const Json remote = console.app->handleRequest(
        {{"id", 9}, {"method", "unloadPlayback"}, {"_remote", true}, {"params", Json::object()}});
    EXPECT_EQ(remote, Json::parse(R"({"id": 9, "ok": false, "error": "Unload playback locally"})"));
    EXPECT_TRUE(console.call("status").at("/audio/running"_json_pointer).get<bool>());
}

// What applySession does with the UI document and the revision it is given.
TEST(SessionMethods, ApplySessionRevisionAndUiDocumentRules) {
    struct Case {
        const char* what;
        bool withUi;
        Json baseRevision; // null: absent; a number: added to the held revision
        bool uiReplaced;
    };
    const Case cases[] = {
        {"no UI document ignores a stale base revision", false, -1, false},
        {"no UI document, no base revision", false, nullptr, false},
        {"UI document without a base revision", true, nullptr, true},
        {"UI document at the held revision", true, 0, true},
        {"a float base revision is truncated", true, 0.75, true},
    };
    const Json next = {{"schemaVersion", 2}, {"channels", Json::array()}, {"title", "Next"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HeadlessConsole console;
        holdToneSession(console);
        auto& impl = console.app->impl();
        const std::int64_t revision = impl.revision;
        const Json scenes = impl.sceneStates;
        Json params = {{"native", testing::toneToMainSession()}};
        if (c.withUi) {
            params["uiState"] = next;
        }
        if (c.baseRevision.is_number_integer()) {
            params["baseRevision"] = revision + c.baseRevision.get<std::int64_t>();
        } else if (c.baseRevision.is_number()) {
            params["baseRevision"] = static_cast<double>(revision) + c.baseRevision.get<double>();
        }
        const Json result = console.call("applySession", params);
        EXPECT_EQ(result,
                  Json({{"applied", true}, {"latencySamples", 0}, {"revision", revision + 1}}));
        EXPECT_EQ(impl.revision, revision + 1);
        EXPECT_EQ(impl.uiSession, c.uiReplaced ? next : sharedUi());
        EXPECT_EQ(impl.sceneStates, scenes) << "the scene bank is not touched";
        EXPECT_FALSE(impl.nativeSession.contains("baseRevision"));
    }
}

} // namespace
} // namespace kestravon::ruvi
