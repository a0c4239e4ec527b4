// What the live controls do to the sound: a 1 kHz tone through a graph of real plug-ins, each
// control on a strip of its own with its own output lanes, the level measured before and after.
// The graph renders on this thread, block by block, as the device thread would run it.

#include "live_session_fixture.h"
#include "tone_rig.h"

#include <gtest/gtest.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace kestravon::ruvi {
namespace {

using namespace livetest;

// A mono strip on the tone with its own output lane.
Json toneStrip(const std::string& id, int lane) {
    return {{"id", id},
            {"kind", "input"},
            {"width", 1},
            {"source", {{"kind", "device"}, {"ports", {port("cap", 0)}}}},
            {"outputs", {port("play", lane)}}};
}

struct AudioConsole {
    Json native;
    Json ui;
};

AudioConsole audioConsole() {
    Json gain = toneStrip("gain", 0);
    Json mute = toneStrip("mute", 1);
    Json send = toneStrip("send", 2);
    send["routes"] = {{{"destinationId", "aux"}, {"gainDb", 0.0}}};
    Json aux = {{"id", "aux"},
                {"kind", "bus"},
                {"width", 2},
                {"outputs", {port("play", 2), port("play", 3)}}};
    send.erase("outputs");
    Json dca = toneStrip("dca", 4);
    dca["gainDb"] = -10.0;
    Json hpf = toneStrip("hpf", 5);
    Json comp = toneStrip("comp", 6);
    comp["inserts"] = {{{"id", "comp-fx"}, {"modulePath", "/usr/lib/vst3/ZamComp.vst3"}}};
    Json squash = toneStrip("squash", 7);
    squash["inserts"] = {{{"id", "squash-fx"},
                          {"modulePath", "/usr/lib/vst3/ZamComp.vst3"},
                          {"parameters", {{"7", 0.0}}}}}; // threshold at its floor
    Json verb = {{"id", "verb"},
                 {"kind", "input"},
                 {"width", 2},
                 {"source", {{"kind", "device"}, {"ports", {port("cap", 0), port("cap", 1)}}}},
                 {"outputs", {port("play", 8), port("play", 9)}},
                 {"inserts",
                  {{{"id", "verb-fx"},
                    {"modulePath", "/usr/lib/vst3/ZamVerb.vst3"},
                    {"parameters", {{"4", 1.0}}}}}}}; // fully wet
    Json main = {{"id", "main-lr"}, {"kind", "bus"}, {"width", 2}};
    AudioConsole console;
    console.native = {{"format", "kestravon-live-native-0.1"},
                      {"nodes", {gain, mute, send, aux, dca, hpf, comp, squash, verb, main}}};
    console.ui = Json::parse(R"({
        "schemaVersion": 2,
        "channels": [
            {"id": "gain", "level": 0}, {"id": "mute", "level": 0},
            {"id": "send", "level": 0, "sends": [{"busId": "aux", "level": 0, "pre": false}]},
            {"id": "dca", "level": -10}, {"id": "hpf", "level": 0},
            {"id": "comp", "level": 0, "inserts": [{"id": "comp-fx", "parameters": {}}]},
            {"id": "squash", "level": 0, "inserts": [{"id": "squash-fx", "parameters": {"7": 0.0}}]},
            {"id": "verb", "level": 0, "inserts": [{"id": "verb-fx", "parameters": {"4": 1.0}}]}],
        "aux": [{"id": "aux", "level": 0}],
        "master": {"id": "main-lr", "level": 0},
        "dcas": [{"id": "dca1", "level": 0, "mute": false, "members": ["dca"]}]})");
    return console;
}

// The second-order Butterworth high-pass the strip uses, at the tone, from its analog
// prototype with the bilinear transform's frequency warping.
double butterworthHighPassDb(double cutoffHz, double toneHz) {
    const double ratio =
        std::tan(std::numbers::pi * toneHz / kRate) / std::tan(std::numbers::pi * cutoffHz / kRate);
    const double r4 = std::pow(ratio, 4.0);
    return 10.0 * std::log10(r4 / (1.0 + r4));
}

// One console serves the whole suite: every test works on strips of its own. ZamVerb's
// convolution engine leaves allocations of its own behind with every instance, so the leak
// checker looks away while the console lives; the controls themselves are leak-checked by the
// document tests, which use no reverb.
class LiveAudio : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
#ifdef __SANITIZE_ADDRESS__
        __lsan_disable();
#endif
        app = headlessApplication().release();
        AudioConsole console = audioConsole();
        auto& impl = app->impl();
        std::string error;
        ASSERT_TRUE(impl.graph.applyGraph(console.native, toneDevice(), error)) << error;
        impl.nativeSession = console.native;
        impl.uiSession = console.ui;
        rig = new ToneRig(impl.graph);
    }

    static void TearDownTestSuite() {
        delete rig;
        delete app;
        rig = nullptr;
        app = nullptr;
#ifdef __SANITIZE_ADDRESS__
        __lsan_enable();
#endif
    }

    // The request passes and steps the revision by exactly one.
    static void expectStep(const std::string& method, const char* params) {
        SCOPED_TRACE(method + " " + params);
        const std::int64_t before = app->impl().revision;
        const Json reply = call(*app, method, Json::parse(params));
        ASSERT_TRUE(reply.at("ok").get<bool>()) << reply.dump();
        EXPECT_EQ(reply.at("/result/revision"_json_pointer), before + 1);
        EXPECT_EQ(app->impl().revision, before + 1);
    }

    static inline Application* app = nullptr;
    static inline ToneRig* rig = nullptr;
};

TEST_F(LiveAudio, EachControlChangesTheMeasuredLevelByWhatItSays) {
    struct Row {
        const char* what;
        int lane;
        std::vector<std::pair<const char*, const char*>> requests;
        double changeDb; // from the level before the requests
        double tolerance;
    };
    const double hpf = butterworthHighPassDb(2000.0, kToneHz);
    const std::vector<Row> rows = {
        {"fader -20 dB",
         0,
         {{"setParameter", R"({"nodeId": "gain", "key": "gainDb", "value": -20,
              "uiPatch": {"entityId": "gain", "key": "level", "value": -20}})"}},
         -20.0,
         0.1},
        {"send -6 dB to a bus on outputs 2/3",
         3,
         {{"setSendLevel", R"({"nodeId": "send", "destinationId": "aux", "gainDb": -6,
              "uiPatch": {"entityId": "send", "key": "sends", "value": [
                  {"busId": "aux", "level": -6, "pre": false}]}})"}},
         -6.0,
         0.1},
        {"DCA +4 over a strip at -10",
         4,
         {{"uiPatch", R"({"uiPatch": {"entityId": "dca1", "key": "level", "value": 4}})"}},
         4.0,
         0.1},
        // The fader moved without a patch stores -10 under the DCA, so re-sending the DCA
        // keeps -6 instead of jumping to -2.
        {"fader without a patch inside the DCA, then the DCA again",
         4,
         {{"setParameter", R"({"nodeId": "dca", "key": "gainDb", "value": -6})"},
          {"uiPatch", R"({"uiPatch": {"entityId": "dca1", "key": "level", "value": 4}})"}},
         0.0,
         0.1},
        {"high-pass at 2 kHz, the top of its range",
         5,
         {{"setStripProcessing",
           R"({"nodeId": "hpf", "processing": {"hpf": {"enabled": true, "frequencyHz": 2000}}})"}},
         hpf,
         0.2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const double before = rig->levelDb(row.lane);
        for (const auto& [method, params] : row.requests) {
            expectStep(method, params);
        }
        EXPECT_NEAR(rig->levelDb(row.lane) - before, row.changeDb, row.tolerance);
    }

    const double open = rig->levelDb(1);
    expectStep("setParameter", R"({"nodeId": "mute", "key": "mute", "value": true})");
    EXPECT_GT(open, -10.0);
    EXPECT_LT(rig->levelDb(1, 100.0, 20.0), -120.0) << "a muted strip is silent";
}

// A bypassed insert crossfades to the dry signal with a 5 ms time constant: most of the way
// there after 5 ms, at the dry level a few time constants later. The compressor squashes the
// tone by many dB, so the dry level is unmistakable; the reverb is bypassed the same way.
TEST_F(LiveAudio, BypassingAnInsertGivesTheDryLevelWithinAFewMilliseconds) {
    const double dry = 20.0 * std::log10(0.5 / std::sqrt(2.0));
    const double squashed = rig->levelDb(7, 300.0, 50.0);
    ASSERT_LT(squashed, dry - 3.0);
    expectStep("setInsertBypass", R"({"nodeId": "squash", "slotId": "squash-fx", "bypass": true,
        "uiPatch": {"entityId": "squash", "key": "inserts", "value": [
            {"id": "squash-fx", "parameters": {"7": 0.0}, "bypass": true}]}})");
    EXPECT_GT(rig->levelDb(7, 4.0, 2.0), (squashed + dry) / 2.0);
    EXPECT_NEAR(rig->levelDb(7, 25.0, 20.0), dry, 0.1);

    expectStep("setInsertBypass", R"({"nodeId": "verb", "slotId": "verb-fx", "bypass": true,
        "uiPatch": {"entityId": "verb", "key": "inserts", "value": [
            {"id": "verb-fx", "parameters": {"4": 1.0}, "bypass": true}]}})");
    EXPECT_NEAR(rig->levelDb(8, 30.0, 20.0), dry, 0.1);
}

TEST_F(LiveAudio, TheCompressorThresholdLowersTheLevelAndItsParametersAreListed) {
    const Json list =
        call(*app, "getVstParameters", Json::parse(R"({"nodeId": "comp", "slotId": "comp-fx"})"));
    ASSERT_TRUE(list.at("ok").get<bool>()) << list.dump();
    std::uint32_t threshold = UINT32_MAX;
    for (const Json& parameter : list.at("/result/parameters"_json_pointer)) {
        if (parameter.at("name") == "Threshold") {
            threshold = parameter.at("id").get<std::uint32_t>();
        }
    }
    ASSERT_NE(threshold, UINT32_MAX) << list.dump();
    const double before = rig->levelDb(6, 100.0);
    const std::string params = R"({"nodeId": "comp", "slotId": "comp-fx", "parameterId": )" +
                               std::to_string(threshold) + R"(, "value": 0.0})";
    expectStep("setVstParameter", params.c_str());
    EXPECT_LT(rig->levelDb(6, 300.0), before - 3.0);
    EXPECT_EQ(app->impl()
                  .nativeSession.at("/nodes/6/inserts/0/parameters"_json_pointer)
                  .at(std::to_string(threshold)),
              0.0);
}

} // namespace
} // namespace kestravon::ruvi
