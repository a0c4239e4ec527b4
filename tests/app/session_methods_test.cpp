// The structural session methods and the playback transport, through the request gate of a
// headless console: what they refuse, in which order, and what a refusal leaves alone.

#include "app/application_impl.h"

#include "app/session_file_store.h"
#include "tests/app/app_test_support.h"
#include "tests/app/live_session_fixture.h"
#include "tests/app/session_test_files.h"
#include "tests/vst3/plugins/test_plugin_memo.h"

#include <gtest/gtest.h>

#include <cerrno>
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

int failingFolderSync(const std::string&) {
    return EIO;
}

// A save whose folder cannot be flushed after the rename is still a save: the reply says so
// with a warning, and the held documents are what the file holds.
TEST(SessionMethods, ASaveWhoseFolderCannotBeFlushedIsReportedSavedWithAWarning) {
    testing::TempFolder folder;
    HeadlessConsole console;
    holdToneSession(console);
    auto& impl = console.app->impl();
    impl.uiSession.erase("scenes"); // the capture adds it, so the save changes the document
    impl.sceneStates = Json::object();
    const std::int64_t revision = impl.revision;
    const std::string path = folder.file("show.kestavel");
    setSessionFolderSync(&failingFolderSync);
    const Json reply = console.request("saveSession", {{"path", path}});
    setSessionFolderSync(nullptr);
    ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
    const Json& result = reply.at("result");
    EXPECT_EQ(result.at("saved"), true);
    EXPECT_EQ(result.at("revision"), revision + 1);
    EXPECT_TRUE(result.at("durabilityWarning").get<std::string>().starts_with("Session saved, "));
    EXPECT_EQ(loadSessionFile(path), Json({{"native", impl.nativeSession},
                                           {"uiState", impl.uiSession},
                                           {"sceneStates", impl.sceneStates}}));
    EXPECT_EQ(impl.uiSession.at("scenes"), Json::array());

    const Json flushed = console.call("saveSession", {{"path", path}});
    EXPECT_FALSE(flushed.contains("durabilityWarning"));
}

// The description the page builds from its UI document: each insert with its parameters but no
// saved state, and no block size.
Json pageStyle(Json native) {
    native.erase("maximumBlock");
    for (Json& node : native.at("nodes")) {
        if (node.contains("inserts")) {
            for (Json& insert : node.at("inserts")) {
                insert.erase("stateHex");
            }
        }
    }
    return native;
}

// An Apply built from the UI document keeps what a plug-in holds outside its parameters and the
// session's block size, through to the saved file; a moved insert or another module does not
// take a state that is not its own, and an insert that brings its own state keeps it.
TEST(SessionMethods, AnApplyFromThePageKeepsEachInsertsStateAndTheBlockSize) {
    testing::TempFolder folder;
    HeadlessConsole console;
    auto& impl = console.app->impl();
    const std::string memo = testing::testPluginBundle("memo");
    const auto savedNative = [&](const std::string& name) {
        const std::string path = folder.file(name);
        EXPECT_FALSE(console.call("saveSession", {{"path", path}}).is_null());
        return loadSessionFile(path).at("native");
    };
    const auto stateAt = [](const Json& native, std::size_t node) {
        return native.at("nodes").at(node).at("inserts").at(0).at("stateHex").get<std::string>();
    };

    // A session whose insert holds a note, opened for 128-frame blocks.
    Json native = testing::toneToMainSession(Json::array({testing::insertEntry("fx", memo)}));
    native["maximumBlock"] = 128;
    const Json ui = {{"schemaVersion", 2},
                     {"channels", Json::array({{{"id", "in1"}, {"inserts", Json::array()}}})}};
    ASSERT_FALSE(console.applySession(native, ui).is_null());
    const std::string fresh = stateAt(savedNative("fresh.kestavel"), 0);
    ASSERT_EQ(testing::memoOfState(fresh), "");
    native["nodes"][0]["inserts"][0]["stateHex"] = testing::stateWithMemo(fresh, "take 3 notes");
    native["nodes"][0]["inserts"][0]["parameters"] = {{"0", 0.25}};
    ASSERT_FALSE(console.applySession(native).is_null());
    const Json before = savedNative("before.kestavel");
    const std::string kept = stateAt(before, 0);
    ASSERT_EQ(testing::memoOfState(kept), "take 3 notes");

    // The page applies what it shows: the parameters, no state, no block size.
    const Json page = pageStyle(before);
    ASSERT_FALSE(console.applySession(page, impl.uiSession).is_null());
    const Json after = savedNative("after.kestavel");
    EXPECT_EQ(stateAt(after, 0), kept);
    EXPECT_EQ(after.at("maximumBlock"), 128);
    EXPECT_EQ(after.at("nodes").at(0).at("inserts").at(0).at("parameters").at("0"), 0.25);

    // A parameter the page changed is set on top of the kept state.
    Json edited = page;
    edited["nodes"][0]["inserts"][0]["parameters"]["0"] = 0.75;
    ASSERT_FALSE(console.applySession(edited).is_null());
    const Json editedSave = savedNative("edited.kestavel");
    EXPECT_EQ(testing::memoOfState(stateAt(editedSave, 0)), "take 3 notes");
    EXPECT_EQ(editedSave.at("nodes").at(0).at("inserts").at(0).at("parameters").at("0"), 0.75);
    ASSERT_FALSE(console.applySession(page).is_null());

    // Moved to the main bus, the insert starts from its defaults (and so stays there).
    Json moved = page;
    moved["nodes"][1]["inserts"] = moved["nodes"][0]["inserts"];
    moved["nodes"][0].erase("inserts");
    ASSERT_FALSE(console.applySession(moved).is_null());
    EXPECT_FALSE(impl.nativeSession.at("nodes").at(1).at("inserts").at(0).contains("stateHex"));
    EXPECT_EQ(testing::memoOfState(stateAt(savedNative("moved.kestavel"), 1)), "");
    ASSERT_FALSE(console.applySession(native).is_null());

    // Another module in the same slot opens with its own defaults: the memo state is not offered
    // to it (its restore would refuse a state of another class).
    Json other = pageStyle(savedNative("again.kestavel"));
    other["nodes"][0]["inserts"][0]["modulePath"] = testing::testPluginBundle("basic");
    ASSERT_FALSE(console.applySession(other).is_null());
    EXPECT_FALSE(impl.nativeSession.at("nodes").at(0).at("inserts").at(0).contains("stateHex"));
    ASSERT_FALSE(console.applySession(native).is_null());

    // An insert that brings a state of its own keeps it, and a block size that is given is used.
    Json own = pageStyle(savedNative("own.kestavel"));
    own["nodes"][0]["inserts"][0]["stateHex"] = testing::stateWithMemo(fresh, "its own");
    own["maximumBlock"] = 256;
    ASSERT_FALSE(console.applySession(own).is_null());
    const Json ownSave = savedNative("own-after.kestavel");
    EXPECT_EQ(testing::memoOfState(stateAt(ownSave, 0)), "its own");
    EXPECT_EQ(ownSave.at("maximumBlock"), 256);
}

} // namespace
} // namespace kestravon::ruvi
