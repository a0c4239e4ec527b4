// The shared session document: revision checks, scene ids, the fold of plug-in editor edits,
// the parameter sync and the payload capture, on a headless Application with real plug-ins.

#include "app/session_document.h"

#include "app/application.h"
#include "app/application_impl.h"

#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"
#include "tests/app/app_test_support.h"
#include "tests/app/live_session_fixture.h"
#include "tests/app/session_test_files.h"
#include "tests/vst3/plugins/test_plugin_probe.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

std::string testplugModule(const std::string& name) {
    return std::string(RUVI_TESTPLUG_DIR) + "/ruvi_testplug_" + name +
           ".vst3/Contents/x86_64-linux/ruvi_testplug_" + name + ".so";
}

// A knob of the loaded test plug-in (null when it is not loaded).
template <typename Fn> Fn testplugKnob(const std::string& name, const char* symbol) {
    void* handle = ::dlopen(testplugModule(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return nullptr;
    }
    void* address = ::dlsym(handle, symbol);
    ::dlclose(handle); // the graph's instance keeps the module loaded
    return reinterpret_cast<Fn>(address);
}

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(SessionDocument, BaseRevisionChecks) {
    const std::string stale = "Shared session changed; refresh before editing";
    struct Case {
        const char* params;
        std::int64_t revision;
        std::string error; // "" passes
    };
    const Case cases[] = {
        {R"({})", 5, ""},
        {R"([{"baseRevision": 4}])", 5, ""}, // not an object: nothing to check
        {R"(null)", 5, ""},
        {R"({"baseRevision": 5})", 5, ""},
        {R"({"baseRevision": 4})", 5, stale},
        {R"({"baseRevision": 5.9})", 5, ""}, // a float is truncated
        {R"({"baseRevision": 4.999})", 5, stale},
        {R"({"baseRevision": -1})", -1, ""}, // integers compare exactly as 64-bit values
        {R"({"baseRevision": 18446744073709551615})", -1, stale},
        {R"({"baseRevision": -0.5})", 0, stale},
        {R"({"baseRevision": 1e300})", 0, stale},
        {R"({"baseRevision": 18446744073709551616.0})", 0, stale},
        {R"({"baseRevision": "5"})", 5, "type must be number, but is string"},
        {R"({"baseRevision": true})", 1, "type must be number, but is boolean"},
        {R"({"baseRevision": null})", 0, "type must be number, but is null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        const std::string error =
            errorOf([&] { checkBaseRevision(Json::parse(c.params), c.revision); });
        if (c.error.empty() || c.error == stale) {
            EXPECT_EQ(error, c.error);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(SessionDocument, SceneIds) {
    for (const char* valid : {"scene-01", "scene-000000", "scene-99", "scene-12345"}) {
        EXPECT_TRUE(isValidSceneId(valid)) << valid;
    }
    for (const char* invalid : {"scene-1", "scene-1234567", "Scene-01", "scene-0a", "scene-",
                                "scene-+1", "scene- 1", "scene_01", "", "xscene-01"}) {
        EXPECT_FALSE(isValidSceneId(invalid)) << invalid;
    }
    EXPECT_FALSE(isValidSceneId(std::string_view("scene-0\0", 8)));
}

TEST(SessionDocument, AnEditReachesEveryMatchingInsertOfItsTarget) {
    const ParameterEdit edit{"in1", "fx", 3, 0.5};
    struct Case {
        const char* target;
        const char* after;
        bool changed;
    };
    const Case cases[] = {
        // Every insert with the slot id, not only the first; others untouched.
        {R"({"id": "in1", "inserts": [{"id": "fx"}, {"id": "eq"}, {"id": "fx", "parameters": {"1": 0.1}}]})",
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"3": 0.5}}, {"id": "eq"},
             {"id": "fx", "parameters": {"1": 0.1, "3": 0.5}}]})",
         true},
        // "parameters" that are not an object start again empty.
        {R"({"id": "in1", "inserts": [{"id": "fx", "parameters": "odd"}]})",
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"3": 0.5}}]})", true},
        // An equal value, integer or float, is no change.
        {R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"3": 0.5}}]})",
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"3": 0.5}}]})", false},
        // Other nodes, targets without inserts and malformed inserts are left alone.
        {R"({"id": "in2", "inserts": [{"id": "fx"}]})",
         R"({"id": "in2", "inserts": [{"id": "fx"}]})", false},
        {R"({"id": "in1"})", R"({"id": "in1"})", false},
        {R"({"id": "in1", "inserts": {"id": "fx"}})", R"({"id": "in1", "inserts": {"id": "fx"}})",
         false},
        {R"({"id": "in1", "inserts": [7, {"id": 3}, {"id": "fx"}]})",
         R"({"id": "in1", "inserts": [7, {"id": 3}, {"id": "fx", "parameters": {"3": 0.5}}]})",
         true},
        {R"("in1")", R"("in1")", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        Json target = Json::parse(c.target);
        bool changed = false;
        applyParameterEdit(edit, "3", changed, target);
        EXPECT_EQ(target, Json::parse(c.after));
        EXPECT_EQ(changed, c.changed);
    }
}

TEST(SessionDocument, StripsTakeTheNodeParametersTheyShow) {
    const Json node = Json::parse(R"({"id": "in1", "inserts": [
        {"id": "fx", "parameters": {"0": 0.25}}, {"id": "eq"}, 5]})");
    struct Case {
        const char* strip;
        const char* synced; // after syncNodeParametersToStrip
        bool changed;
        const char* copied; // after copyNodeParametersToStrip
    };
    const Case cases[] = {
        {R"({"id": "in1", "inserts": [{"id": "fx"}, {"id": "eq", "parameters": {"9": 1}}]})",
         // The sync copies only what the node has; the capture copy gives "eq" an empty map.
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}, {"id": "eq", "parameters": {"9": 1}}]})",
         true,
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}, {"id": "eq", "parameters": {}}]})"},
        {R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}]})",
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}]})", false,
         R"({"id": "in1", "inserts": [{"id": "fx", "parameters": {"0": 0.25}}]})"},
        {R"({"id": "in2", "inserts": [{"id": "fx"}]})",
         R"({"id": "in2", "inserts": [{"id": "fx"}]})", false,
         R"({"id": "in2", "inserts": [{"id": "fx"}]})"},
        {R"({"id": "in1", "inserts": [true, {"id": ["fx"]}]})",
         R"({"id": "in1", "inserts": [true, {"id": ["fx"]}]})", false,
         R"({"id": "in1", "inserts": [true, {"id": ["fx"]}]})"},
    };
    const Json native = {{"nodes", Json::array({7, node})}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strip);
        Json synced = Json::parse(c.strip);
        bool changed = false;
        syncNodeParametersToStrip(node, changed, synced);
        EXPECT_EQ(synced, Json::parse(c.synced));
        EXPECT_EQ(changed, c.changed);
        Json copied = Json::parse(c.strip);
        copyNodeParametersToStrip(native, copied);
        EXPECT_EQ(copied, Json::parse(c.copied));
    }
}

// ---- the fold of plug-in editor edits

using EditFn = void (*)(std::uint32_t firstId, int count, double value, int onThread);

// in1 carries the test plug-in as insert "fx"; the UI strip of in1 shows it.
Json foldNative() {
    return Json::parse(R"({"format": "kestravon-live-native-0.1", "sampleRate": 48000, "nodes": [
        {"id": "in1", "kind": "input", "width": 2,
         "inserts": [{"id": "fx", "modulePath": ")" +
                       std::string(RUVI_TESTPLUG_DIR) +
                       R"(/ruvi_testplug_basic.vst3", "parameters": {}}],
         "routes": [{"destinationId": "main-lr"}]},
        {"id": "main-lr", "kind": "bus", "width": 2}]})");
}

Json foldUi() {
    return Json::parse(R"({"schemaVersion": 2, "channels": [
        {"id": "in1", "level": 0, "inserts": [{"id": "fx", "parameters": {}}]}]})");
}

// The held documents with value `value` under parameter `key` of every insert "fx" of in1.
Json withFxParameter(Json document, const char* pointer, const std::string& key, double value) {
    document[Json::json_pointer(pointer)]["parameters"][key] = value;
    return document;
}

TEST(SessionDocument, AnEditorEditFoldsIntoBothDocumentsInOneRevisionStep) {
    auto app = livetest::headlessApplication();
    livetest::holdSession(*app, foldNative(), foldUi());
    auto& impl = app->impl();
    const auto edit = testplugKnob<EditFn>("basic", "ruviTestplugEdit");
    ASSERT_NE(edit, nullptr);
    const std::int64_t start = impl.revision;

    Json native = withFxParameter(foldNative(), "/nodes/0/inserts/0", "0", 0.75);
    Json ui = withFxParameter(foldUi(), "/channels/0/inserts/0", "0", 0.75);
    edit(0, 1, 0.75, 0);
    ASSERT_TRUE(livetest::call(*app, "status", Json::object()).at("ok").get<bool>());
    EXPECT_EQ(impl.nativeSession, native);
    EXPECT_EQ(impl.uiSession, ui);
    EXPECT_EQ(impl.revision, start + 1);

    // The editor repeats the value it already sent: nothing changes, no step.
    edit(0, 1, 0.75, 0);
    ASSERT_TRUE(livetest::call(*app, "status", Json::object()).at("ok").get<bool>());
    EXPECT_EQ(impl.nativeSession, native);
    EXPECT_EQ(impl.uiSession, ui);
    EXPECT_EQ(impl.revision, start + 1);

    // Two values at once from the editor's own thread: still one step, both values written.
    edit(2, 2, 0.5, 1);
    const Json state = livetest::call(*app, "getControlState", {{"after", start + 1}});
    ASSERT_TRUE(state.at("ok").get<bool>()) << state.dump();
    for (const char* key : {"2", "3"}) {
        native = withFxParameter(native, "/nodes/0/inserts/0", key, 0.5);
        ui = withFxParameter(ui, "/channels/0/inserts/0", key, 0.5);
    }
    EXPECT_EQ(impl.nativeSession, native);
    EXPECT_EQ(impl.uiSession, ui);
    EXPECT_EQ(impl.revision, start + 2);
    // The reply carries the revision after the fold, so the client's revision is stale and the
    // changed UI document comes along.
    EXPECT_EQ(state.at("/result/revision"_json_pointer), start + 2);
    EXPECT_EQ(state.at("/result/uiState"_json_pointer), ui);
}

// Entries a page or a file put into the documents that no walk can use: the edit still reaches
// every strip and node that can take it, and the malformed ones stay as they were.
TEST(SessionDocument, MalformedEntriesNeitherLoseNorBlockAnEdit) {
    const auto edit = [] { return testplugKnob<EditFn>("basic", "ruviTestplugEdit"); };
    const Json junkNodes = Json::parse(R"([7, "in1", null, {"id": 5, "inserts": [{"id": "fx"}]},
        {"id": "in1", "inserts": {"id": "fx"}}])");
    struct Case {
        const char* name;
        Json ui;    // the held UI document
        Json after; // the UI document once the edit folded
    };
    const Json good = foldUi();
    const Case cases[] = {
        {"no UI document", nullptr, nullptr},
        {"UI document that is not an object", Json::array({good}), Json::array({good})},
        {"strips that are not objects beside the one that shows in1",
         Json::parse(R"({"schemaVersion": 2,
             "channels": [5, "in1", null, {"id": ["in1"]},
                          {"id": "in1", "inserts": [3, {"id": 1}, {"id": "fx"}]}],
             "aux": {"id": "in1", "inserts": [{"id": "fx"}]},
             "master": "in1", "dcas": [1, {"id": "dca1", "members": "in1"}]})"),
         Json::parse(R"({"schemaVersion": 2,
             "channels": [5, "in1", null, {"id": ["in1"]},
                          {"id": "in1", "inserts": [3, {"id": 1},
                                                    {"id": "fx", "parameters": {"0": 0.25}}]}],
             "aux": {"id": "in1", "inserts": [{"id": "fx"}]},
             "master": "in1", "dcas": [1, {"id": "dca1", "members": "in1"}]})")},
        {"a strip of in1 whose inserts are not an array",
         Json::parse(R"({"schemaVersion": 2, "channels": [{"id": "in1", "inserts": "fx"}]})"),
         Json::parse(R"({"schemaVersion": 2, "channels": [{"id": "in1", "inserts": "fx"}]})")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto app = livetest::headlessApplication();
        livetest::holdSession(*app, foldNative(), c.ui);
        auto& impl = app->impl();
        for (const Json& junk : junkNodes) {
            impl.nativeSession["nodes"].push_back(junk);
        }
        const Json nativeBefore = impl.nativeSession;
        const std::int64_t start = impl.revision;
        ASSERT_NE(edit(), nullptr);
        edit()(0, 1, 0.25, 0);
        ASSERT_TRUE(livetest::call(*app, "status", Json::object()).at("ok").get<bool>());
        EXPECT_EQ(impl.nativeSession,
                  withFxParameter(nativeBefore, "/nodes/0/inserts/0", "0", 0.25));
        EXPECT_EQ(impl.uiSession, c.after);
        EXPECT_EQ(impl.revision, start + 1);
        // The next edit folds as well: the documents did not break the fold.
        edit()(0, 1, 0.5, 0);
        ASSERT_TRUE(livetest::call(*app, "status", Json::object()).at("ok").get<bool>());
        EXPECT_EQ(impl.nativeSession.at("/nodes/0/inserts/0/parameters/0"_json_pointer), 0.5);
        EXPECT_EQ(impl.revision, start + 2);
    }
}

// ---- plug-in state capture, insert by insert

// The held description may carry entries the compiler never saw (a file, a page's patch): the
// capture walks past them and still captures every real insert beside them.
TEST(SessionDocument, InsertStatesAreCapturedBesideMalformedEntries) {
    auto app = livetest::headlessApplication();
    livetest::holdSession(*app, livetest::liveNative(), livetest::liveUi());
    auto& impl = app->impl();
    Json& nodes = impl.nativeSession["nodes"];
    for (const Json& junk : Json::parse(R"([42, {"noId": true}, {"id": 7}, "comp1"])")) {
        nodes[0]["inserts"].push_back(junk);
    }
    for (const Json& junk : Json::parse(R"([7, "ch1", null, {"id": 5},
        {"id": "ch1", "inserts": {"id": "comp1"}},
        {"id": "ch1", "inserts": [{"id": "comp1", "note": "a second description of ch1"}]}])")) {
        nodes.push_back(junk);
    }
    const Json before = impl.nativeSession;
    ASSERT_NO_THROW(impl.captureInsertStatesPerInsert());
    const Json& after = impl.nativeSession;

    const auto expectCaptured = [](const Json& insert) {
        ASSERT_TRUE(insert.contains("stateHex")) << insert.dump();
        const std::string hex = insert.at("stateHex").get<std::string>();
        EXPECT_FALSE(hex.empty());
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
        ASSERT_TRUE(insert.at("parameters").is_object());
        EXPECT_FALSE(insert.at("parameters").empty());
    };
    const Json& comp = after.at("/nodes/0/inserts/0"_json_pointer);
    expectCaptured(comp);
    expectCaptured(after.at("/nodes/1/inserts/0"_json_pointer)); // ZamGateX2 on ch2
    // Every description of ch1 takes the same fresh state.
    const Json& second = after.at("nodes").back().at("inserts")[0];
    EXPECT_EQ(second.at("stateHex"), comp.at("stateHex"));
    EXPECT_EQ(second.at("parameters"), comp.at("parameters"));
    EXPECT_EQ(second.at("note"), "a second description of ch1");

    // Nothing else moved: with the captured inserts put back as they were, the description is
    // the one held before.
    Json restored = after;
    for (const char* pointer : {"/nodes/0/inserts/0", "/nodes/1/inserts/0"}) {
        restored[Json::json_pointer(pointer)] = before[Json::json_pointer(pointer)];
    }
    restored["nodes"].back()["inserts"][0] = before["nodes"].back()["inserts"][0];
    EXPECT_EQ(restored, before);
}

// Stopping audio keeps what captured even when one insert cannot be captured; saving needs every
// insert, so it fails as a whole and leaves the held description alone.
TEST(SessionDocument, StopKeepsEachCapturedStateWhileSaveFailsWhole) {
    testing::HeadlessConsole console;
    const Json in1 = testing::compressorAndTestPluginStrip();
    const Json ui = Json::parse(R"({"schemaVersion": 2, "channels": [{"id": "in1",
        "inserts": [{"id": "comp", "parameters": {}}, {"id": "big", "parameters": {}}]}]})");
    ASSERT_FALSE(
        console.applySession(testing::nativeDescription(Json::array({in1, testing::mainBus()})), ui)
            .is_null());
    ASSERT_FALSE(console.call("startAudio", console.startParams()).is_null());
    // The knob lives in the loaded plug-in, which goes when the last graph holding it does.
    using ModeFn = void (*)(int);
    const auto setMode = [](int mode) {
        const auto knob =
            testing::testPluginSymbol<ModeFn>("basic", "ruviTestplugSetComponentStateMode");
        ASSERT_NE(knob, nullptr);
        knob(mode);
    };
    auto& impl = console.app->impl();

    // The start captured both inserts; a new compressor setting makes its next capture differ.
    const Json started = impl.nativeSession.at("/nodes/0/inserts"_json_pointer);
    ASSERT_TRUE(started[1].contains("stateHex"));
    const Json listed = console.call("getVstParameters", {{"nodeId", "in1"}, {"slotId", "comp"}});
    ASSERT_FALSE(listed.value("parameters", Json::array()).empty()) << listed.dump();
    Json knob; // the first writable, continuous parameter
    for (const Json& parameter : listed.at("parameters")) {
        if (knob.is_null() && !parameter.at("readOnly").get<bool>() &&
            parameter.at("stepCount") == 0) {
            knob = parameter;
        }
    }
    ASSERT_FALSE(knob.is_null()) << listed.dump();
    const double moved = knob.at("normalized").get<double>() < 0.5 ? 0.9 : 0.1;
    ASSERT_FALSE(console
                     .call("setVstParameter", {{"nodeId", "in1"},
                                               {"slotId", "comp"},
                                               {"parameterId", knob.at("id")},
                                               {"value", moved}})
                     .is_null());

    // The plug-in takes the value into its own state in a block of audio (a flush with no audio
    // may pass it over), so let a few blocks run.
    const auto callbacks = [&] {
        return console.call("status").at("/audio/callbacks"_json_pointer).get<std::int64_t>();
    };
    const std::int64_t setAt = callbacks();
    ASSERT_TRUE(testing::eventually([&] { return callbacks() >= setAt + 4; }));
    setMode(2); // a state too large to keep; the stop clears the graph, and the module with it
    const auto stopped = console.app->beginAsyncRequest({{"id", 4}, {"method", "stopAudio"}});
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(*stopped, Json::parse(R"({"id": 4, "ok": false, "error":
        "VST3 insert big: Cannot capture plugin state: VST3 component state capture failed."})"));
    EXPECT_FALSE(console.app->jobRunning());
    const Json& inserts = impl.nativeSession.at("/nodes/0/inserts"_json_pointer);
    EXPECT_NE(inserts[0].at("stateHex"), started[0].at("stateHex"))
        << "the compressor's fresh state was thrown away";
    EXPECT_EQ(inserts[1].at("stateHex"), started[1].at("stateHex"));
    const Json status = console.call("status");
    EXPECT_FALSE(status.at("/audio/running"_json_pointer).get<bool>());
    EXPECT_TRUE(status.at("inserts").empty()) << "the stop clears the graph";

    // With a graph applied again, a save that cannot capture "big" keeps every document.
    ASSERT_FALSE(console.applySession(impl.nativeSession).is_null());
    const livetest::Held before = livetest::held(*console.app);
    testing::TempFolder folder;
    setMode(2);
    const std::string error = console.refusal("saveSession", {{"path", folder.file("s.json")}});
    setMode(0);
    EXPECT_EQ(error, "Cannot capture plugin state: VST3 component state capture failed.");
    EXPECT_TRUE(livetest::held(*console.app) == before);
    EXPECT_FALSE(std::filesystem::exists(folder.file("s.json")));
}

} // namespace
} // namespace kestravon::ruvi
