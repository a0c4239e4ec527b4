// The live-control methods through handleRequest: what they refuse, and what they write into the
// held documents when they pass. The sound they make is measured in live_audio_test.cpp.

#include "live_session_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace kestravon::ruvi {
namespace {

using namespace livetest;

struct Refusal {
    const char* method;
    const char* params;
    const char* error;
};

void expectRefusals(Application& app, std::initializer_list<Refusal> rows) {
    for (const Refusal& row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.params);
        const Held before = held(app);
        const Json reply = call(app, row.method, Json::parse(row.params));
        EXPECT_FALSE(reply.at("ok").get<bool>());
        EXPECT_EQ(reply.value("error", std::string()), row.error);
        EXPECT_TRUE(held(app) == before) << "documents or revision changed";
    }
}

constexpr const char* kTypeNumber = "[json.exception.type_error.302] type must be number, but is ";

TEST(LiveControls, RefusalsLeaveBothDocumentsAndTheRevisionAsTheyWere) {
    auto app = headlessApplication();
    holdSession(*app, liveNative(), liveUi());
    const std::string longName(193, 'n');
    const std::string nameRow =
        R"({"uiPatch": {"entityId": "ch1", "key": "name", "value": ")" + longName + R"("}})";
    Json scenes = Json::array();
    for (int k = 10; k < 43; ++k) {
        scenes.push_back({{"id", "scene-" + std::to_string(k)}});
    }
    const std::string thirtyThreeScenes =
        Json{{"uiPatch", {{"entityId", "session"}, {"key", "scenes"}, {"value", scenes}}}}.dump();
    expectRefusals(
        *app,
        {
            // setParameter
            {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": -6,
            "uiPatch": {"entityId": "ch2", "key": "level", "value": -10}})",
             "Scalar patch identity mismatch"},
            {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": -6,
            "uiPatch": {"entityId": "ch1", "key": "gainDb", "value": -10}})",
             "Scalar patch identity mismatch"},
            {"setParameter", R"({"nodeId": "ch1", "key": "pan", "value": 10,
            "uiPatch": {"entityId": "ch1", "key": "pan", "value": "10"}})",
             "Expected finite scalar"},
            {"setParameter", R"({"nodeId": "ch2", "key": "gainDb", "value": -90,
            "uiPatch": {"entityId": "ch2", "key": "level", "value": -90}})",
             "Fader outside range"},
            {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": -6,
            "uiPatch": {"entityId": "ch1", "key": "level", "value": -9}})",
             "Fader and native DCA gain differ"},
            {"setParameter", R"({"nodeId": "ch1", "key": "pan", "value": 10,
            "uiPatch": {"entityId": "ch1", "key": "pan", "value": 20}})",
             "Scalar patch differs from audio"},
            {"setParameter", R"({"nodeId": "ch1", "key": "solo", "value": 1,
            "uiPatch": {"entityId": "ch1", "key": "solo", "value": false}})",
             "Scalar patch differs from audio"},
            {"setParameter", R"({"nodeId": "ch1", "key": "polarity", "value": 1,
            "uiPatch": {"entityId": "ch1", "key": "polarity", "value": 1}})",
             "Expected boolean scalar"},
            {"setParameter", R"({"nodeId": "ch2", "key": "mute", "value": true,
            "uiPatch": {"entityId": "ch2", "key": "mute", "value": false}})",
             "Mute and native DCA state differ"},
            {"setParameter", R"({"nodeId": "native-only", "key": "pan", "value": 5})",
             "Shared scalar strip missing"},
            // Without a patch a fader in a DCA is judged by the engine, as outside any DCA.
            {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": 61})",
             "Unsupported/out of range native parameter"},
            {"setParameter", R"({"nodeId": "ch2", "key": "gainDb", "value": 61})",
             "Unsupported/out of range native parameter"},
            {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": -120.5})",
             "Unsupported/out of range native parameter"},
            {"setParameter", R"({"nodeId": "ch2", "key": "mute", "value": 0.5})",
             "Unsupported/out of range native parameter"},
            {"setParameter", R"({"nodeId": "ch2", "key": "gain", "value": 0})",
             "Unsupported/out of range native parameter"},
            {"setParameter", R"({"nodeId": "ch2", "key": "pan", "value": "left"})",
             (std::string(kTypeNumber) + "string").c_str()},
            // setStripProcessing
            {"setStripProcessing", R"({"nodeId": "ch1", "processing": {"hpf": {"enabled": 1}}})",
             "Processor enabled must be boolean"},
            {"setStripProcessing", R"({"nodeId": "ch1", "processing": {"hpf": {"enabled": true}},
            "uiPatch": {"entityId": "ch1", "key": "stripProcessing", "value": {}}})",
             "Strip UI patch differs from audio"},
            {"setStripProcessing", R"({"nodeId": "ch1", "processing": {},
            "uiPatch": {"entityId": "ch1", "key": "stripProcessing", "value": 3}})",
             "Strip UI patch differs from audio"},
            {"setStripProcessing", R"({"nodeId": "native-only", "processing": {}})",
             "Shared strip missing"},
            {"setStripProcessing", R"({"nodeId": "ui-only", "processing": {}})",
             "Native strip missing"},
            // setVstParameter
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": 4294967296,
            "value": 0.5})",
             "Invalid VST parameter ID"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": -1,
            "value": 0.5})",
             "Invalid VST parameter ID"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": 2.5,
            "value": 0.5})",
             "Invalid VST parameter ID"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": "1",
            "value": 0.5})",
             "Invalid VST parameter ID"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": 0,
            "value": 1.01})",
             "Normalized VST value outside [0,1]"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": 0,
            "value": true})",
             "Normalized VST value outside [0,1]"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": 0,
            "value": 0.5, "uiPatch": {"entityId": "ch1", "key": "sends", "value": []}})",
             "Invalid plugin UI patch"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": 0,
            "value": 0.5, "uiPatch": {"entityId": "ch1", "key": "inserts", "value": [
                {"id": "comp1", "parameters": {"0": 0.5}}, {"id": "fx-off", "parameters": {"9": 1}}]}})",
             "Plugin patch changes unrelated settings"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "nope", "parameterId": 0,
            "value": 0.5, "uiPatch": {"entityId": "ch1", "key": "inserts", "value": []}})",
             "Plugin patch changes unrelated settings"},
            {"setVstParameter", R"({"nodeId": "native-only", "slotId": "comp1", "parameterId": 0,
            "value": 0.5, "uiPatch": {"entityId": "native-only", "key": "inserts", "value": []}})",
             "Shared plugin strip missing"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "nope", "parameterId": 0,
            "value": 0.5})",
             "Shared plugin slot missing"},
            {"setVstParameter", R"({"nodeId": "ch1", "slotId": "fx-off", "parameterId": 0,
            "value": 0.5})",
             "Insert not found"},
            // setInsertBypass
            {"setInsertBypass", R"({"nodeId": "ch1", "slotId": "comp1", "bypass": 1})",
             "[json.exception.type_error.302] type must be boolean, but is number"},
            {"setInsertBypass", R"({"nodeId": "ch1", "slotId": "nope", "bypass": true})",
             "Applied plugin missing"},
            {"setInsertBypass", R"({"nodeId": "ch1", "slotId": "comp1", "bypass": true,
            "uiPatch": {"entityId": "ch1", "key": "inserts", "value": [
                {"id": "comp1", "parameters": {}, "bypass": true}]}})",
             "Bypass patch changes unrelated settings"},
            {"setInsertBypass", R"({"nodeId": "native-only", "slotId": "comp1", "bypass": true})",
             "Shared plugin strip missing"},
            {"setInsertBypass", R"({"nodeId": "ch1", "slotId": "fx-off", "bypass": true})",
             "Applied insert missing"},
            // setSendLevel
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "ghost", "gainDb": -6})",
             "Send not in prepared session; apply routing first"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch2", "key": "sends", "value": []}})",
             "Invalid shared send patch"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": {}}})",
             "Invalid shared sends"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
                {"busId": "aux1", "level": -6, "pre": true},
                {"busId": "aux1", "level": -6, "pre": true}]}})",
             "Invalid shared send value"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
                {"busId": "aux1", "level": 11, "pre": true}]}})",
             "Invalid shared send value"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
                {"busId": "aux1", "level": -6, "pre": true, "connected": 1}]}})",
             "Invalid shared send value"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
                {"busId": "aux1", "level": -5, "pre": true}]}})",
             "Shared/native send gains differ"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
                {"busId": "aux1", "level": -6, "pre": false}]}})",
             "Send tap or connection changed; apply routing first"},
            {"setSendLevel", R"({"nodeId": "ch2", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch2", "key": "sends", "value": [
                {"busId": "aux1", "level": -6, "pre": false, "connected": true}]}})",
             "Send tap or connection changed; apply routing first"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
                {"busId": "aux1", "level": -6, "pre": true, "connected": false}]}})",
             "Send tap or connection changed; apply routing first"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
                {"busId": "main-lr", "level": -6, "pre": true}]}})",
             "Shared send destination missing"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
                {"busId": "aux1", "level": -6, "pre": true},
                {"busId": "aux2", "level": 0, "pre": true}]}})",
             "Send patch changes unrelated settings"},
            {"setSendLevel", R"({"nodeId": "native-only", "destinationId": "main-lr", "gainDb": -6,
            "uiPatch": {"entityId": "native-only", "key": "sends", "value": [
                {"busId": "main-lr", "level": -6, "pre": false}]}})",
             "Shared send source missing"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": 30})",
             "Send gain out of range"},
            {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": false})",
             (std::string(kTypeNumber) + "boolean").c_str()},
            // uiPatch: the general path, in its order of checks
            {"uiPatch", R"({"uiPatch": {"entityId": "ch1", "key": "cueMode", "value": "PFL"}})",
             "Session configuration patch identity mismatch"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "recorder", "value":
            {"mode": "stereo", "tap": "rawInput", "mainArmed": true}}})",
             "Invalid recorder preferences"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "recorder", "value":
            {"mode": "mono", "tap": "rawInput", "mainArmed": true, "directory": ""}}})",
             "Invalid recorder preferences"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "cueMode", "value": "XFL"}})",
             "Invalid cue mode"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "currentScene",
            "value": "scene-7"}})",
             "Invalid current scene"},
            {"uiPatch", R"({"uiPatch": {"entityId": "ch1", "key": "level", "value": -6}})",
             "Unsupported shared field; audio controls require their native RPC"},
            {"uiPatch", R"({"uiPatch": {"entityId": "ch1", "key": "arm", "value": 1}})",
             "Arm must be boolean"},
            {"uiPatch", nameRow.c_str(), "Invalid strip name"},
            {"uiPatch", R"({"_remote": true,
            "uiPatch": {"entityId": "session", "key": "device", "value": {}}})",
             "Device selection and recording folder are local-only"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "safe",
            "value": {"levels": true, "processing": false, "routing": false}}})",
             "Invalid scene safes"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "scenes", "value": {}}})",
             "Invalid scenes"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "scenes",
            "value": ["scene-01"]}})",
             "Invalid scenes"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "scenes",
            "value": [{"id": "scene-1"}]}})",
             "Invalid scenes"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "device", "value": "hw"}})",
             "Invalid configuration"},
            // Device preferences hold what the device screen keeps, nothing else.
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "device",
            "value": {"outputs": [], "notes": "x"}}})",
             "Invalid configuration"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "device",
            "value": {"inputs": [{"id": "in:1", "label": "x"}]}}})",
             "Invalid configuration"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "device",
            "value": {"requestedRate": "48000"}}})",
             "Invalid configuration"},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "name", "value": "Show"}})",
             "Invalid session patch"},
            {"uiPatch", R"({"uiPatch": {"entityId": "ghost", "key": "arm", "value": true}})",
             "Shared entity missing"},
            // a stale revision refuses every editing method before anything else
            {"setParameter", R"({"baseRevision": 5, "nodeId": "ch1", "key": "pan", "value": 0})",
             "Shared session changed; refresh before editing"},
            {"setStripProcessing", R"({"baseRevision": 5, "nodeId": "ch1", "processing": {}})",
             "Shared session changed; refresh before editing"},
            {"setVstParameter", R"({"baseRevision": 5, "nodeId": "ch1", "slotId": "comp1",
            "parameterId": 7, "value": 0.5})",
             "Shared session changed; refresh before editing"},
            {"setInsertBypass", R"({"baseRevision": 5, "nodeId": "ch1", "slotId": "comp1",
            "bypass": true})",
             "Shared session changed; refresh before editing"},
            {"setSendLevel", R"({"baseRevision": 5, "nodeId": "ch1", "destinationId": "aux1",
            "gainDb": -6})",
             "Shared routing changed; refresh before editing a send"},
            {"uiPatch", R"({"baseRevision": 5,
            "uiPatch": {"entityId": "ch1", "key": "arm", "value": true}})",
             "Shared session changed; refresh before editing"},
            {"captureScene", R"({"baseRevision": 5, "sceneId": "scene-01", "name": "A"})",
             "Shared session changed; refresh before editing"},
            {"recallScene", R"({"baseRevision": 5, "sceneId": "scene-01"})",
             "Shared session changed; refresh before editing"},
            {"setSendLevel", R"({"baseRevision": "0", "nodeId": "ch1", "destinationId": "aux1",
            "gainDb": -6})",
             (std::string(kTypeNumber) + "string").c_str()},
            {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "scenes",
            "value": [{"id": "scene-01"}, {"id": "scene-01"}]}})",
             "Invalid scenes"},
            {"uiPatch", thirtyThreeScenes.c_str(), "Invalid scenes"},
            // uiPatch: the DCA path
            {"uiPatch", R"({"uiPatch": {"entityId": "dca1", "key": "level", "value": 10.5}})",
             "Invalid DCA fader"},
            {"uiPatch", R"({"uiPatch": {"entityId": "dca1", "key": "mute", "value": 1}})",
             "Invalid DCA mute"},
            {"uiPatch", R"({"uiPatch": {"entityId": "dca-ghost", "key": "level", "value": 0}})",
             "DCA member strip missing"},
            {"uiPatch", R"({"uiPatch": {"entityId": "dca-ui", "key": "mute", "value": true}})",
             "Native DCA member missing"},
        });
}

TEST(LiveControls, WithoutAGraphOrADocumentTheSettersSayWhatIsMissing) {
    auto app = headlessApplication();
    expectRefusals(
        *app, {
                  {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": -6})",
                   "No prepared graph"},
                  {"setStripProcessing", R"({"nodeId": "ch1", "processing": {}})",
                   "Native strip missing"},
                  {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": 0,
            "value": 0.5})",
                   "Insert not found"},
                  {"getVstParameters", R"({"nodeId": "ch1", "slotId": "comp1"})",
                   "Insert not in applied graph"},
                  {"setInsertBypass", R"({"nodeId": "ch1", "slotId": "comp1", "bypass": true})",
                   "Shared plugin strip missing"},
                  {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6})",
                   "Send not in prepared session; apply routing first"},
                  {"uiPatch", R"({"uiPatch": {"entityId": "ch1", "key": "arm", "value": true}})",
                   "No shared UI session applied"},
              });
    // Documents held but no graph: the engine is the one that refuses.
    app->impl().nativeSession = liveNative();
    app->impl().uiSession = liveUi();
    expectRefusals(
        *app, {
                  {"setParameter", R"({"nodeId": "ch2", "key": "pan", "value": 10})",
                   "No prepared graph"},
                  {"setStripProcessing", R"({"nodeId": "ch1", "processing": {}})",
                   "Applied strip missing"},
                  {"setInsertBypass", R"({"nodeId": "ch1", "slotId": "comp1", "bypass": true})",
                   "Applied insert missing"},
                  {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -6})",
                   "Send not in prepared graph; apply routing first"},
                  {"uiPatch", R"({"uiPatch": {"entityId": "dca1", "key": "level", "value": 0}})",
                   "Apply a graph before DCA control"},
              });
}

// Each row passes and leaves these members where the row says; the revision steps by one.
TEST(LiveControls, AcceptedEditsWriteBothDocuments) {
    struct Case {
        const char* method;
        const char* params;
        const char* uiPointer; // "" when the UI document is not checked
        const char* uiValue;
        const char* nativePointer;
        const char* nativeValue;
    };
    const Case cases[] = {
        // In dca1 at +4: engine -6 is a UI level of -10, with or without a patch.
        {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": -6,
            "uiPatch": {"entityId": "ch1", "key": "level", "value": -10}})",
         "/channels/0/level", "-10", "/nodes/0/gainDb", "-6"},
        {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": -2})", "/channels/0/level",
         "-6", "/nodes/0/mute", "false"},
        {"setParameter", R"({"nodeId": "ch2", "key": "gainDb", "value": -3})", "/channels/1/level",
         "-3", "/nodes/1/gainDb", "-3"},
        // Off and far down inside a DCA, without a patch, as outside one: the UI level is what
        // remains under the DCA, below the UI's own range, and the member plays muted.
        {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": -120})",
         "/channels/0/level", "-124", "/nodes/0/gainDb", "-120"},
        {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": -100})",
         "/channels/0/level", "-104", "/nodes/0/mute", "true"},
        {"setParameter", R"({"nodeId": "ch1", "key": "gainDb", "value": 20})", "/channels/0/level",
         "16", "/nodes/0/gainDb", "20"},
        {"setParameter", R"({"nodeId": "ch2", "key": "gainDb", "value": -120})",
         "/channels/1/level", "-120", "/nodes/1/gainDb", "-120"},
        {"setParameter", R"({"nodeId": "ch2", "key": "gainDb", "value": -80,
            "uiPatch": {"entityId": "ch2", "key": "level", "value": -80}})",
         "/channels/1/level", "-80", "/nodes/1/mute", "true"},
        {"setParameter", R"({"nodeId": "ch2", "key": "mute", "value": 1})", "/channels/1/mute",
         "false", "/nodes/1/mute", "true"},
        {"setParameter", R"({"nodeId": "ch1", "key": "polarity", "value": 1,
            "uiPatch": {"entityId": "ch1", "key": "polarity", "value": true}})",
         "/channels/0/polarity", "true", "/nodes/0/polarity", "true"},
        {"setParameter", R"({"nodeId": "ch1", "key": "trimDb", "value": 6})", "/channels/0/trim",
         "6", "/nodes/0/trimDb", "6"},
        {"setStripProcessing", R"({"nodeId": "ch2", "processing": {"hpf": {"enabled": true,
            "frequencyHz": 120}}, "uiPatch": {"entityId": "ch2", "key": "stripProcessing",
            "value": {"hpf": {"frequencyHz": 120.0, "enabled": true}}}})",
         "/channels/1/stripProcessing/hpf/frequencyHz", "120", "/nodes/1/stripProcessing/hpf",
         R"({"enabled": true, "frequencyHz": 120.0})"},
        {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": 7,
            "value": 1})",
         "/channels/0/inserts/0/parameters/7", "1", "/nodes/0/inserts/0/parameters/7", "1"},
        {"setVstParameter", R"({"nodeId": "ch1", "slotId": "comp1", "parameterId": 7,
            "value": 0.25, "uiPatch": {"entityId": "ch1", "key": "inserts", "value": [
                {"id": "comp1", "parameters": {"7": 0.25}}, {"id": "fx-off", "parameters": {}}]}})",
         "/channels/0/inserts/0/parameters/7", "0.25", "/nodes/0/inserts/0/parameters/7", "0.25"},
        {"setInsertBypass", R"({"nodeId": "ch2", "slotId": "gate1", "bypass": true,
            "uiPatch": {"entityId": "ch2", "key": "inserts", "value": [
                {"id": "gate1", "parameters": {}, "bypass": true}]}})",
         "/channels/1/inserts/0/bypass", "true", "/nodes/1/inserts/0/bypass", "true"},
        {"setSendLevel", R"({"nodeId": "ch1", "destinationId": "aux1", "gainDb": -120,
            "uiPatch": {"entityId": "ch1", "key": "sends", "value": [
                {"busId": "aux1", "level": -80, "pre": true}]}})",
         "/channels/0/sends/0/level", "-80", "/nodes/0/routes/1/gainDb", "-120"},
        // A raw-input send needs only the route when no patch describes it.
        {"setSendLevel", R"({"nodeId": "ch2", "destinationId": "aux1", "gainDb": 3})",
         "/channels/1/sends/0/level", "-10", "/nodes/1/routes/1/gainDb", "3"},
        {"uiPatch", R"({"uiPatch": {"entityId": "session", "key": "currentScene", "value": ""}})",
         "/currentScene", R"("")", "/nodes/0/gainDb", "-6"},
        {"uiPatch", R"({"uiPatch": {"entityId": "dca1", "key": "arm", "value": true}})",
         "/dcas/0/arm", "true", "/nodes/0/gainDb", "-6"},
        // The DCA path moves the member's engine gain and mute.
        {"uiPatch", R"({"uiPatch": {"entityId": "dca1", "key": "level", "value": -2}})",
         "/dcas/0/level", "-2", "/nodes/0/gainDb", "-12"},
        {"uiPatch", R"({"uiPatch": {"entityId": "dca1", "key": "mute", "value": true}})",
         "/dcas/0/mute", "true", "/nodes/0/mute", "true"},
    };
    // One graph serves every row; the documents and the revision start afresh for each.
    auto app = headlessApplication();
    holdSession(*app, liveNative(), liveUi());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.params);
        app->impl().nativeSession = liveNative();
        app->impl().uiSession = liveUi();
        app->impl().revision = 0;
        const Json reply = call(*app, c.method, Json::parse(c.params));
        ASSERT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
        EXPECT_EQ(reply.at("result"), Json::parse(R"({"updated": true, "revision": 1})"));
        const auto& impl = app->impl();
        EXPECT_EQ(impl.uiSession.at(Json::json_pointer(c.uiPointer)), Json::parse(c.uiValue));
        EXPECT_EQ(impl.nativeSession.at(Json::json_pointer(c.nativePointer)),
                  Json::parse(c.nativeValue));
    }
}

TEST(LiveControls, EditsWithoutAUiDocumentTouchOnlyTheNativeDescription) {
    auto app = headlessApplication();
    holdSession(*app, liveNative(), Json());
    EXPECT_TRUE(call(*app, "setParameter", Json::parse(R"({"nodeId": "native-only",
        "key": "pan", "value": -30})"))
                    .at("ok")
                    .get<bool>());
    EXPECT_TRUE(call(*app, "setVstParameter", Json::parse(R"({"nodeId": "ch1",
        "slotId": "comp1", "parameterId": 7, "value": 0.5})"))
                    .at("ok")
                    .get<bool>());
    const auto& impl = app->impl();
    EXPECT_EQ(impl.nativeSession.at("/nodes/2/pan"_json_pointer), -30.0);
    EXPECT_EQ(impl.nativeSession.at("/nodes/0/inserts/0/parameters/7"_json_pointer), 0.5);
    EXPECT_TRUE(impl.uiSession.is_null());
    EXPECT_EQ(impl.revision, 2);
}

TEST(LiveControls, AUiPatchOfSessionMembersAndStripsIsStoredAsSent) {
    auto app = headlessApplication();
    Json ui = liveUi();
    ui["scenes"] = Json::parse(R"([{"id": "scene-01", "name": "A", "snapshot": {}},
        {"id": "scene-999999", "name": "B", "snapshot": {"channels": []}}])");
    holdSession(*app, liveNative(), ui);
    const char* patches[] = {
        R"({"entityId": "session", "key": "cueMode", "value": "AFL"})",
        R"({"entityId": "session", "key": "safe", "value":
            {"levels": true, "processing": false, "routing": false, "fx": false}})",
        R"({"entityId": "session", "key": "recorder", "value": {"mode": "stereo",
            "tap": "postFader", "mainArmed": false, "directory": ""}})",
        R"({"entityId": "session", "key": "device", "value": {"outputs": []}})",
        R"({"entityId": "main-lr", "key": "name", "value": "Front of house"})",
        R"({"entityId": "ch2", "key": "arm", "value": true})",
        R"({"entityId": "session", "key": "device", "value": {"inputs": [{"id": "in:1"}],
            "outputs": [{"id": "out:1", "exclusive": true}], "masterOutputId": "out:1",
            "requestedRate": 48000, "requestedBlock": 128, "autoStart": false}})",
        // The held list renamed and reordered, each snapshot as it was.
        R"({"entityId": "session", "key": "scenes", "value": [
            {"id": "scene-999999", "name": "B2", "snapshot": {"channels": []}},
            {"id": "scene-01", "name": "A", "snapshot": {}}]})",
        R"({"entityId": "session", "key": "currentScene", "value": "scene-01"})",
    };
    std::int64_t revision = 0;
    for (const char* text : patches) {
        SCOPED_TRACE(text);
        const Json patch = Json::parse(text);
        const Json reply = call(*app, "uiPatch", {{"uiPatch", patch}});
        ASSERT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
        EXPECT_EQ(reply.at("/result/revision"_json_pointer), ++revision);
    }
    const Json& held = app->impl().uiSession;
    EXPECT_EQ(held.at("cueMode"), "AFL");
    EXPECT_EQ(held.at("/recorder/tap"_json_pointer), "postFader");
    EXPECT_EQ(held.at("/master/name"_json_pointer), "Front of house");
    EXPECT_EQ(held.at("/channels/1/arm"_json_pointer), true);
    EXPECT_EQ(held.at("/scenes/0/name"_json_pointer), "B2");
    // A remote client may still move faders through the DCA path.
    const Json remote = app->handleRequest(Json::parse(R"({"id": 2, "method": "uiPatch",
        "_remote": true, "params": {"uiPatch": {"entityId": "dca1", "key": "level",
        "value": 0}}})"));
    EXPECT_TRUE(remote.at("ok").get<bool>()) << remote.dump();
}

TEST(LiveControls, GetVstParametersListsThePluginsParametersAndChangesNothing) {
    auto app = headlessApplication();
    holdSession(*app, liveNative(), liveUi());
    const Held before = held(*app);
    const Json reply =
        call(*app, "getVstParameters", Json::parse(R"({"nodeId": "ch1", "slotId": "comp1"})"));
    ASSERT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
    const Json& list = reply.at("/result/parameters"_json_pointer);
    ASSERT_FALSE(list.empty());
    bool threshold = false;
    for (const Json& parameter : list) {
        threshold =
            threshold || parameter.at("name").get<std::string>().find("hresh") != std::string::npos;
    }
    EXPECT_TRUE(threshold) << list.dump();
    EXPECT_TRUE(held(*app) == before);
}

// A session applied without "native" is its own description: the members of the request are
// taken off it, so the UI document never lands inside the native description (and from there in
// scene states and files).
TEST(LiveControls, ASessionAppliedWithoutNativeKeepsTheRequestOutOfTheDescription) {
    auto app = headlessApplication();
    EndpointInfo output;
    output.id = "virtual:test-out";
    output.channels = 2;
    output.sampleRate = 48000;
    output.available = true;
    app->impl().devices = {output};
    Json params = liveNative();
    params["uiState"] = liveUi();
    params["baseRevision"] = 0;
    const Json reply = app->handleRequest(
        {{"id", 3}, {"method", "applySession"}, {"_remote", true}, {"params", params}});
    ASSERT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
    const auto& impl = app->impl();
    for (const char* request : {"uiState", "baseRevision", "_remote"}) {
        EXPECT_FALSE(impl.nativeSession.contains(request)) << request;
    }
    EXPECT_EQ(impl.nativeSession.at("nodes"), liveNative().at("nodes"));
    EXPECT_EQ(impl.uiSession, liveUi());
    const Json edit = call(*app, "setParameter", Json::parse(R"({"nodeId": "ch2", "key": "pan",
        "value": 30, "uiPatch": {"entityId": "ch2", "key": "pan", "value": 30}})"));
    EXPECT_TRUE(edit.at("ok").get<bool>()) << edit.dump();
    EXPECT_FALSE(impl.nativeSession.contains("uiState"));
}

// While a recording job prepares its take, the armed tracks must hold still; every other live
// edit, the DCA faders included, goes on.
TEST(LiveControls, ArmingWaitsForRecordingPreparationWhileOtherEditsGoOn) {
    auto app = headlessApplication();
    holdSession(*app, liveNative(), liveUi());
    auto& impl = app->impl();
    impl.job = std::make_unique<Application::AsyncJob>();
    impl.job->method = "startRecording";
    impl.job->recordingJob = true;
    expectRefusals(*app, {{"uiPatch", R"({"uiPatch": {"entityId": "ch1", "key": "arm",
                              "value": true}})",
                           "Wait for recording preparation before changing armed tracks"}});
    for (const char* patch : {R"({"entityId": "ch1", "key": "name", "value": "Lead"})",
                              R"({"entityId": "dca1", "key": "level", "value": 0})"}) {
        const Json reply = call(*app, "uiPatch", {{"uiPatch", Json::parse(patch)}});
        EXPECT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
    }
    EXPECT_TRUE(call(*app, "setParameter", Json::parse(R"({"nodeId": "ch2", "key": "pan",
        "value": 10})"))
                    .at("ok")
                    .get<bool>());
    impl.job.reset();
}

} // namespace
} // namespace kestravon::ruvi
