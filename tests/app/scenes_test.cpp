// Scene capture and recall through handleRequest: what a recall restores, what the safes keep,
// and the refusals, each leaving the held documents as they were.

#include "live_session_fixture.h"
#include "tone_rig.h"

#include <gtest/gtest.h>

#include <string>

namespace kestravon::ruvi {
namespace {

using namespace livetest;

Json sceneNative() {
    return Json::parse(R"({
        "format": "kestravon-live-native-0.1",
        "nodes": [
            {"id": "ch1", "kind": "input", "width": 1, "gainDb": 0,
             "inserts": [{"id": "eq1", "modulePath": "/usr/lib/vst3/ZamEQ2.vst3"}],
             "routes": [{"destinationId": "main-lr"}, {"destinationId": "aux1", "gainDb": -10}]},
            {"id": "ch2", "kind": "input", "width": 1, "gainDb": -6, "pan": 20,
             "routes": [{"destinationId": "main-lr"}]},
            {"id": "aux1", "kind": "bus", "width": 2, "routes": [{"destinationId": "main-lr"}]},
            {"id": "main-lr", "kind": "bus", "width": 2}
        ]})");
}

Json sceneUi() {
    return Json::parse(R"({
        "schemaVersion": 2,
        "channels": [
            {"id": "ch1", "name": "Vox", "level": 0, "mute": false,
             "inserts": [{"id": "eq1", "parameters": {}}],
             "sends": [{"busId": "aux1", "level": -10, "pre": false}]},
            {"id": "ch2", "name": "Gtr", "level": -10, "mute": false, "pan": 20}
        ],
        "aux": [{"id": "aux1", "level": 0}],
        "master": {"id": "main-lr", "level": 0},
        "dcas": [{"id": "dca1", "level": 4, "mute": false, "members": ["ch2"]}],
        "device": {"outputs": []}
    })");
}

class Scenes : public ::testing::Test {
protected:
    void SetUp() override {
        app = headlessApplication();
        holdSession(*app, sceneNative(), sceneUi());
        // A recall plans its layout from the known endpoints; this console uses none.
        EndpointInfo output;
        output.id = "virtual:test-out";
        output.channels = 2;
        output.sampleRate = 48000;
        output.available = true;
        app->impl().devices = {output};
        const Json list =
            call(*app, "getVstParameters", Json::parse(R"({"nodeId": "ch1", "slotId": "eq1"})"));
        ASSERT_TRUE(list.at("ok").get<bool>()) << list.dump();
        for (const Json& parameter : list.at("/result/parameters"_json_pointer)) {
            if (!parameter.at("readOnly").get<bool>() &&
                parameter.at("name") != "Current Program") {
                eqParameter = parameter.at("id").get<std::uint32_t>();
                eqValue = parameter.at("normalized").get<double>();
                break;
            }
        }
    }

    Json ok(const std::string& method, const Json& params) {
        const Json reply = call(*app, method, params);
        EXPECT_TRUE(reply.at("ok").get<bool>()) << method << " " << reply.dump();
        return reply.value("result", Json());
    }

    std::string refusal(const std::string& method, const Json& params) {
        const Held before = held(*app);
        const Json reply = call(*app, method, params);
        EXPECT_FALSE(reply.at("ok").get<bool>());
        EXPECT_TRUE(held(*app) == before) << method << " changed the held documents";
        return reply.value("error", std::string());
    }

    // Moves faders (one under a DCA), a send and an EQ parameter away from the captured scene.
    void changeEverything() {
        ok("setParameter", Json::parse(R"({"nodeId": "ch1", "key": "gainDb", "value": -12,
            "uiPatch": {"entityId": "ch1", "key": "level", "value": -12}})"));
        ok("setParameter", Json::parse(R"({"nodeId": "ch2", "key": "gainDb", "value": -20})"));
        ok("setParameter", Json::parse(R"({"nodeId": "ch1", "key": "pan", "value": 30})"));
        ok("setSendLevel", Json::parse(R"({"nodeId": "ch1", "destinationId": "aux1",
            "gainDb": -3, "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
            {"busId": "aux1", "level": -3, "pre": false}]}})"));
        ok("setVstParameter", {{"nodeId", "ch1"},
                               {"slotId", "eq1"},
                               {"parameterId", eqParameter},
                               {"value", eqValue > 0.5 ? 0.1 : 0.9}});
    }

    static Json allOpen() {
        return Json::parse(R"({"levels": false, "processing": false, "routing": false,
            "fx": false})");
    }

    std::unique_ptr<Application> app;
    std::uint32_t eqParameter = 0;
    double eqValue = 0.0;
};

TEST_F(Scenes, CaptureStoresTheEntryAndTheStateAndMakesItCurrent) {
    const Json stored = ok("captureScene", Json::parse(R"({"sceneId": "scene-01",
        "name": "Opener"})"));
    EXPECT_EQ(stored.at("stored"), true);
    EXPECT_EQ(stored.at("revision"), 1);
    const auto& impl = app->impl();
    EXPECT_EQ(stored.at("uiState"), impl.uiSession);
    EXPECT_EQ(impl.uiSession.at("currentScene"), "scene-01");
    const Json& entry = impl.uiSession.at("/scenes/0"_json_pointer);
    EXPECT_EQ(entry.at("name"), "Opener");
    EXPECT_FALSE(entry.at("snapshot").contains("device")) << "session members stay out";
    EXPECT_FALSE(entry.at("snapshot").contains("scenes"));
    EXPECT_EQ(entry.at("/snapshot/channels/0/name"_json_pointer), "Vox");
    const Json& state = impl.sceneStates.at("scene-01");
    EXPECT_EQ(state.at("uiState"), impl.uiSession);
    EXPECT_EQ(state.at("native"), impl.nativeSession);
    EXPECT_TRUE(state.at("/native/nodes/0/inserts/0"_json_pointer).contains("stateHex"));
}

TEST_F(Scenes, RecallRestoresFadersSendsAndPluginStateExactly) {
    ok("captureScene", Json::parse(R"({"sceneId": "scene-01", "name": "A"})"));
    const Json captured = app->impl().sceneStates.at("scene-01");
    changeEverything();
    const Json recalled = ok("recallScene", {{"sceneId", "scene-01"}, {"safe", allOpen()}});
    EXPECT_EQ(recalled.at("recalled"), true);
    const auto& impl = app->impl();
    EXPECT_EQ(recalled.at("revision"), impl.revision);
    EXPECT_EQ(impl.nativeSession.at("/nodes/0/gainDb"_json_pointer), 0.0);
    // ch2 plays its own -10 plus the DCA's +4.
    EXPECT_EQ(impl.nativeSession.at("/nodes/1/gainDb"_json_pointer), -6.0);
    EXPECT_EQ(impl.nativeSession.at("/nodes/0/routes/1/gainDb"_json_pointer), -10);
    EXPECT_EQ(impl.uiSession.at("/channels/0/level"_json_pointer), 0);
    EXPECT_EQ(impl.uiSession.at("/channels/1/level"_json_pointer), -10);
    EXPECT_EQ(impl.uiSession.at("/channels/0/sends/0/level"_json_pointer), -10);
    EXPECT_EQ(impl.uiSession.at("safe"), allOpen());
    // A field the scene's node lacks goes; a field the scene's strip lacks stays.
    EXPECT_FALSE(impl.nativeSession.at("/nodes/0"_json_pointer).contains("pan"));
    EXPECT_EQ(impl.uiSession.at("/channels/0/pan"_json_pointer), 30.0);
    EXPECT_FALSE(impl.nativeSession.contains("uiState"));
    // The insert comes back from the captured state, byte for byte.
    EXPECT_EQ(impl.nativeSession.at("/nodes/0/inserts/0/stateHex"_json_pointer),
              captured.at("/native/nodes/0/inserts/0/stateHex"_json_pointer));
    EXPECT_EQ(impl.nativeSession.at("/nodes/0/inserts/0/parameters"_json_pointer),
              captured.at("/native/nodes/0/inserts/0/parameters"_json_pointer));
    const Json live =
        call(*app, "getVstParameters", Json::parse(R"({"nodeId": "ch1", "slotId": "eq1"})"));
    for (const Json& parameter : live.at("/result/parameters"_json_pointer)) {
        if (parameter.at("id") == eqParameter) {
            EXPECT_NEAR(parameter.at("normalized").get<double>(), eqValue, 1e-6)
                << "the plug-in itself holds the scene's value";
        }
    }
}

TEST_F(Scenes, LevelsSafeKeepsTheFadersButRecomputesTheNativeGains) {
    ok("captureScene", Json::parse(R"({"sceneId": "scene-01", "name": "A"})"));
    changeEverything();
    // The DCA moves in the UI document only, so the native gain is stale until the recall.
    app->impl().uiSession["dcas"][0]["level"] = 0;
    Json safes = allOpen();
    safes["levels"] = true;
    ok("recallScene", {{"sceneId", "scene-01"}, {"safe", safes}});
    const auto& impl = app->impl();
    EXPECT_EQ(impl.uiSession.at("/channels/0/level"_json_pointer), -12.0);
    EXPECT_EQ(impl.uiSession.at("/channels/1/level"_json_pointer), -24.0);
    EXPECT_EQ(impl.nativeSession.at("/nodes/0/gainDb"_json_pointer), -12.0);
    EXPECT_EQ(impl.nativeSession.at("/nodes/1/gainDb"_json_pointer), -24.0);
    // Sends are routing, which was open.
    EXPECT_EQ(impl.nativeSession.at("/nodes/0/routes/1/gainDb"_json_pointer), -10);
}

TEST_F(Scenes, ASafeGroupIsTakenFromTheRequestThenFromTheDocument) {
    ok("captureScene", Json::parse(R"({"sceneId": "scene-01", "name": "A"})"));
    changeEverything();
    Json safes = allOpen();
    safes["routing"] = true;
    app->impl().uiSession["safe"] = safes;
    ok("recallScene", {{"sceneId", "scene-01"}});
    const auto& impl = app->impl();
    EXPECT_EQ(impl.nativeSession.at("/nodes/0/routes/1/gainDb"_json_pointer), -3.0);
    EXPECT_EQ(impl.nativeSession.at("/nodes/0/gainDb"_json_pointer), 0.0);
}

TEST_F(Scenes, RefusalsGiveTheirTextsAndChangeNothing) {
    EXPECT_EQ(refusal("recallScene", Json::parse(R"({"sceneId": "scene-01"})")),
              "Scene has no captured native state");
    for (const char* params :
         {R"({"sceneId": "scene-1", "name": "A"})", R"({"sceneId": "scene-01", "name": ""})"}) {
        EXPECT_EQ(refusal("captureScene", Json::parse(params)), "Invalid scene identity or name");
    }
    EXPECT_EQ(refusal("captureScene", {{"sceneId", "scene-01"}, {"name", std::string(193, 'x')}}),
              "Invalid scene identity or name");
    ok("captureScene", Json::parse(R"({"sceneId": "scene-01", "name": "A"})"));

    for (const Json& safes :
         {Json::parse(R"({"levels": true, "processing": false, "routing": false})"),
          Json::parse(R"({"levels": 1, "processing": false, "routing": false, "fx": false})"),
          Json::parse("[]")}) {
        EXPECT_EQ(refusal("recallScene", {{"sceneId", "scene-01"}, {"safe", safes}}),
                  "Invalid scene recall safes")
            << safes.dump();
    }
    // Neither the request nor the document names the safes.
    EXPECT_EQ(refusal("recallScene", Json::parse(R"({"sceneId": "scene-01"})")),
              "Invalid scene recall safes");

    auto& impl = app->impl();
    const Json native = impl.nativeSession;
    impl.nativeSession["nodes"].push_back({{"id", "ch3"}, {"kind", "input"}, {"width", 1}});
    EXPECT_EQ(refusal("recallScene", {{"sceneId", "scene-01"}, {"safe", allOpen()}}),
              "Scene channel layout differs; open a complete session for a different band setup");
    impl.nativeSession = native;
    impl.nativeSession["nodes"][1]["width"] = 2;
    EXPECT_EQ(refusal("recallScene", {{"sceneId", "scene-01"}, {"safe", allOpen()}}),
              "Scene channel layout differs");
    impl.nativeSession = native;
    impl.nativeSession["nodes"][1]["id"] = "ch9";
    EXPECT_EQ(refusal("recallScene", {{"sceneId", "scene-01"}, {"safe", allOpen()}}),
              "Scene channel layout differs");
}

TEST_F(Scenes, ThirtyTwoScenesAtMostButAnExistingOneIsReplaced) {
    for (int k = 10; k < 42; ++k) {
        ok("captureScene", {{"sceneId", "scene-" + std::to_string(k)}, {"name", "S"}});
    }
    EXPECT_EQ(refusal("captureScene", Json::parse(R"({"sceneId": "scene-42", "name": "S"})")),
              "Maximum 32 scenes");
    ok("captureScene", Json::parse(R"({"sceneId": "scene-20", "name": "Again"})"));
    const auto& impl = app->impl();
    EXPECT_EQ(impl.uiSession.at("scenes").size(), 32u);
    EXPECT_EQ(impl.uiSession.at("/scenes/10/name"_json_pointer), "Again") << "kept its place";
    EXPECT_EQ(impl.sceneStates.size(), 32u);
}

Json toneNode(const std::string& id, int lane) {
    Json node = {
        {"id", id},
        {"kind", "input"},
        {"width", 1},
        {"source", {{"kind", "device"}, {"ports", {{{"deviceId", "cap"}, {"channel", 0}}}}}}};
    if (lane >= 0) {
        node["outputs"] = {{{"deviceId", "play"}, {"channel", lane}}};
    }
    return node;
}

// The sound of a recalled scene: strip "a" (ZamEQ2, in a DCA) on lane 0, strip "b" sending to a
// bus on lanes 2 and 3.
TEST(SceneSound, RecallBringsBackTheMeasuredLevelsAndTheLevelsSafeKeepsTheFader) {
    auto app = headlessApplication();
    Json a = toneNode("a", 0);
    a["inserts"] = {{{"id", "eq"}, {"modulePath", "/usr/lib/vst3/ZamEQ2.vst3"}}};
    Json b = toneNode("b", -1);
    b["routes"] = {{{"destinationId", "aux"}, {"gainDb", 0.0}}};
    const Json aux = {
        {"id", "aux"},
        {"kind", "bus"},
        {"width", 2},
        {"outputs",
         {{{"deviceId", "play"}, {"channel", 2}}, {{"deviceId", "play"}, {"channel", 3}}}}};
    const Json main = {{"id", "main-lr"}, {"kind", "bus"}, {"width", 2}};
    const Json native = {{"format", "kestravon-live-native-0.1"}, {"nodes", {a, b, aux, main}}};
    const Json ui = Json::parse(R"({"schemaVersion": 2,
        "channels": [{"id": "a", "level": -2, "inserts": [{"id": "eq", "parameters": {}}]},
                     {"id": "b", "level": 0, "sends": [{"busId": "aux", "level": 0, "pre": false}]}],
        "aux": [{"id": "aux", "level": 0}],
        "dcas": [{"id": "d", "level": 2, "mute": false, "members": ["a"]}]})");
    auto& impl = app->impl();
    std::string error;
    ASSERT_TRUE(impl.graph.applyGraph(native, toneDevice(), error)) << error;
    impl.nativeSession = native;
    impl.uiSession = ui;
    impl.devices = toneDevices();
    ToneRig rig(impl.graph);
    const double strip = rig.levelDb(0);
    const double send = rig.levelDb(2);

    const auto ok = [&](const char* method, const Json& params) {
        const Json reply = call(*app, method, params);
        ASSERT_TRUE(reply.at("ok").get<bool>()) << method << " " << reply.dump();
    };
    const Json open = Json::parse(R"({"levels": false, "processing": false, "routing": false,
        "fx": false})");
    ok("captureScene", Json::parse(R"({"sceneId": "scene-01", "name": "A"})"));
    ok("setParameter", Json::parse(R"({"nodeId": "a", "key": "gainDb", "value": -12,
        "uiPatch": {"entityId": "a", "key": "level", "value": -14}})"));
    ok("setSendLevel", Json::parse(R"({"nodeId": "b", "destinationId": "aux", "gainDb": -6,
        "uiPatch": {"entityId": "b", "key": "sends", "value": [
        {"busId": "aux", "level": -6, "pre": false}]}})"));
    // ZamEQ2's master gain, from its middle (0 dB) down.
    ok("setVstParameter", Json::parse(R"({"nodeId": "a", "slotId": "eq", "parameterId": 13,
        "value": 0.25})"));
    const double moved = rig.levelDb(0, 100.0);
    ASSERT_LT(moved, strip - 12.5) << "the EQ must take its share off too";
    ASSERT_NEAR(rig.levelDb(2), send - 6.0, 0.1);

    ok("recallScene", {{"sceneId", "scene-01"}, {"safe", open}});
    EXPECT_NEAR(rig.levelDb(0, 100.0), strip, 0.1);
    EXPECT_NEAR(rig.levelDb(2), send, 0.1);

    // With the levels safe the fader stays where it was moved, and so does the sound.
    ok("setParameter", Json::parse(R"({"nodeId": "a", "key": "gainDb", "value": -12,
        "uiPatch": {"entityId": "a", "key": "level", "value": -14}})"));
    Json safe = open;
    safe["levels"] = true;
    ok("recallScene", {{"sceneId", "scene-01"}, {"safe", safe}});
    EXPECT_NEAR(rig.levelDb(0, 100.0), strip - 12.0, 0.1);
    EXPECT_EQ(impl.uiSession.at("/channels/0/level"_json_pointer), -14);
}

} // namespace
} // namespace kestravon::ruvi
