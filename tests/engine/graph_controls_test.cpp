#include "engine/graph_controls.h"

#include <algorithm>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/native_graph_engine.h"
#include "graph_fixture.h"

namespace kestravon::ruvi {
namespace {

using namespace graphtest;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const char* const kMaximizer = "/usr/lib/vst3/ZaMaximX2.vst3";

// in1 (lane 0, with the maximizer "max") -> main; a cue monitor on lanes 4 and 5.
json console() {
    json in1 = monoInput("in1", 0);
    in1["inserts"] = {{{"id", "max"}, {"modulePath", kMaximizer}}};
    in1["routes"] = {route("main-lr")};
    json cue = {{"id", "cue"}, {"kind", "monitor"}, {"width", 2}};
    cue["outputs"] = {port("play", 4), port("play", 5)};
    return description({in1, cue, mainBus()});
}

class GraphControls : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(engine.applyGraph(console(), deviceLayout(), error)) << error;
        std::fill_n(inputs.lane(0), kBlockStride, 0.5f);
    }
    void render(int blocks = 1) {
        for (int b = 0; b < blocks; ++b) {
            engine.render(inputs.in(), 8, outputs.data(), 8, 256, 48000.0);
        }
    }

    NativeGraphEngine engine;
    Lanes inputs{8};
    Lanes outputs{8};
    std::string error;
};

TEST_F(GraphControls, SetParameterRefusals) {
    struct Case {
        const char* node;
        const char* name;
        double value;
        const char* message;
    };
    const Case cases[] = {
        {"in1", "mute", 0.5, "Unsupported/out of range native parameter"},
        {"in1", "gain", 0.0, "Unsupported/out of range native parameter"},
        {"in1", "gainDb", 60.5, "Unsupported/out of range native parameter"},
        {"in1", "pan", kNaN, "Unsupported/out of range native parameter"},
        {"in1", "trimDb", -61.0, "Unsupported/out of range native parameter"},
        {"in1", "polarity", -1.0, "Unsupported/out of range native parameter"},
        {"in9", "solo", 1.0, "Node not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(engine.setParameter(c.node, c.name, c.value, error));
        EXPECT_EQ(error, c.message);
    }
    NativeGraphEngine empty;
    EXPECT_FALSE(empty.setParameter("in1", "gain", 0.0, error));
    EXPECT_EQ(error, "No prepared graph") << "checked before the name";
}

TEST_F(GraphControls, SetParameterReachesTheAudioThreadAtTheNextBlock) {
    render(4);
    const float before = engine.nodeMeters()[0].peakL;
    EXPECT_GT(before, 0.1f);
    ASSERT_TRUE(engine.setParameter("in1", "trimDb", -60.0, error)) << error;
    render(3); // past the maximizer's 480 samples
    EXPECT_LT(engine.nodeMeters()[0].peakL, before * 0.01f);
    ASSERT_TRUE(engine.setParameter("in1", "mute", 1.0, error));
    render(40);
    EXPECT_EQ(engine.nodeMeters()[0].peakL, 0.0f);
}

TEST_F(GraphControls, SendLevelRefusalsAndTheOffLevel) {
    EXPECT_FALSE(engine.setSendLevel("nowhere", "main-lr", 30.0, error));
    EXPECT_EQ(error, "Send gain out of range") << "range first, then the edge";
    EXPECT_FALSE(engine.setSendLevel("in1", "main-lr", kNaN, error));
    EXPECT_EQ(error, "Send gain out of range");
    EXPECT_FALSE(engine.setSendLevel("main-lr", "in1", 0.0, error));
    EXPECT_EQ(error, "Send not in prepared graph; apply routing first");
    NativeGraphEngine empty;
    EXPECT_FALSE(empty.setSendLevel("in1", "main-lr", 0.0, error));
    EXPECT_EQ(error, "Send not in prepared graph; apply routing first");

    render(4);
    EXPECT_GT(engine.nodeMeters()[2].peakL, 0.1f);
    ASSERT_TRUE(engine.setSendLevel("in1", "main-lr", -120.0, error));
    render(40);
    EXPECT_EQ(engine.nodeMeters()[2].peakL, 0.0f) << "-120 dB is a gain of 0";
}

TEST_F(GraphControls, InsertAndStripSetterRefusals) {
    EXPECT_FALSE(engine.setInsertBypass("in1", "other", true, error));
    EXPECT_EQ(error, "Applied insert missing");
    EXPECT_FALSE(engine.setInsertBypass("main-lr", "max", true, error));
    EXPECT_EQ(error, "Applied insert missing");
    EXPECT_TRUE(engine.setInsertBypass("in1", "max", true, error));

    const json invalid = {{"hpf", {{"frequencyHz", 10}}}};
    EXPECT_FALSE(engine.setStripProcessing("in1", invalid, error));
    EXPECT_EQ(error, "Strip parameter outside supported range");
    EXPECT_FALSE(engine.setStripProcessing("cue", json::object(), error));
    EXPECT_EQ(error, "Cue monitor strip processing is unavailable");
    EXPECT_FALSE(engine.setStripProcessing("in9", json::object(), error));
    EXPECT_EQ(error, "Applied strip missing");
    NativeGraphEngine empty;
    EXPECT_FALSE(empty.setStripProcessing("in1", invalid, error));
    EXPECT_EQ(error, "Strip parameter outside supported range") << "parse before lookup";
    EXPECT_FALSE(empty.setStripProcessing("in1", json::object(), error));
    EXPECT_EQ(error, "Applied strip missing");

    EXPECT_FALSE(engine.setVstParameter("in1", "other", 0, 0.5, error));
    EXPECT_EQ(error, "Insert not found");
    EXPECT_FALSE(engine.setVstParameter("in1", "max", 4000000, 0.5, error));
    EXPECT_EQ(error, "Invalid plugin parameter");
}

TEST_F(GraphControls, StripProcessingChangesShowInTheStripMeters) {
    const json loud = {
        {"compressor", {{"enabled", true}, {"thresholdDb", -40}, {"ratio", 10}, {"kneeDb", 0}}}};
    ASSERT_TRUE(engine.setStripProcessing("in1", loud, error)) << error;
    render(20);
    const json meters = engine.stripMetersJson();
    ASSERT_EQ(meters.size(), 2u) << "the cue monitor has no strip meter";
    EXPECT_EQ(meters[0]["nodeId"], "in1");
    EXPECT_EQ(meters[1]["nodeId"], "main-lr");
    EXPECT_NEAR(meters[0]["inputPeak"].get<double>(), 0.5, 1e-6);
    EXPECT_GT(meters[0]["compressorReductionDb"].get<double>(), 20.0);
    EXPECT_EQ(meters[0]["gateReductionDb"].get<double>(), 0.0);
}

TEST_F(GraphControls, ReportsDescribeTheAppliedGraph) {
    render(4);
    EXPECT_EQ(engine.latencySamples(), 480u);
    const std::vector<NodeMeter> meters = engine.nodeMeters();
    ASSERT_EQ(meters.size(), 3u);
    EXPECT_EQ(meters[0].nodeId, "in1");
    EXPECT_EQ(meters[0].latencySamples, 480);
    EXPECT_EQ(meters[1].nodeId, "cue");
    EXPECT_EQ(meters[2].latencySamples, 0);

    EXPECT_EQ(engine.insertStatusJson(),
              json::parse(R"([{"nodeId": "in1", "slotId": "max", "latencySamples": 480,
                               "fault": 0, "error": ""}])"));

    const json report = engine.insertParametersJson("in1", "max");
    EXPECT_EQ(report["latencySamples"], 480);
    EXPECT_EQ(report["fault"], 0);
    ASSERT_FALSE(report["parameters"].empty());
    const json first = report["parameters"][0];
    for (const char* key : {"id", "name", "unit", "normalized", "stepCount", "readOnly"}) {
        EXPECT_TRUE(first.contains(key)) << key;
    }
    const auto writable = std::find_if(report["parameters"].begin(), report["parameters"].end(),
                                       [](const json& p) { return !p["readOnly"].get<bool>(); });
    ASSERT_NE(writable, report["parameters"].end());
    const auto index = writable - report["parameters"].begin();
    ASSERT_TRUE(engine.setVstParameter("in1", "max", (*writable)["id"], 0.25, error)) << error;
    EXPECT_DOUBLE_EQ(
        engine.insertParametersJson("in1", "max")["parameters"][index]["normalized"].get<double>(),
        0.25)
        << "the live value";

    EXPECT_THROW(
        {
            try {
                engine.insertParametersJson("in1", "nope");
            } catch (const std::runtime_error& failure) {
                EXPECT_STREQ(failure.what(), "Insert not in applied graph");
                throw;
            }
        },
        std::runtime_error);

    const std::vector<AppliedInsertNode> applied = engine.appliedInserts();
    ASSERT_EQ(applied.size(), 3u);
    ASSERT_EQ(applied[0].slots.size(), 1u);
    EXPECT_EQ(applied[0].slots[0].id, "max");
    EXPECT_NE(applied[0].slots[0].effect, nullptr);
}

TEST_F(GraphControls, WithoutAGraphReportsAreEmpty) {
    NativeGraphEngine empty;
    EXPECT_EQ(empty.latencySamples(), 0u);
    EXPECT_TRUE(empty.nodeMeters().empty());
    EXPECT_EQ(empty.stripMetersJson(), json::array());
    EXPECT_EQ(empty.insertStatusJson(), json::array());
    EXPECT_TRUE(empty.pollParameterEdits().empty());
    EXPECT_TRUE(empty.appliedInserts().empty());
    EXPECT_THROW(empty.insertParametersJson("in1", "max"), std::runtime_error);
    EXPECT_FALSE(empty.resizeEditors(800, 600));
    empty.closeEditors();
}

TEST_F(GraphControls, EditorCallsPassThroughToTheInsert) {
    EXPECT_FALSE(engine.showEditor("in1", "nope", nullptr, error));
    EXPECT_EQ(error, "Applied insert missing");
    EXPECT_FALSE(engine.showEditor("in1", "max", nullptr, error));
    EXPECT_EQ(error, "A valid native parent window is required.") << "the plug-in host's text";
    EXPECT_FALSE(engine.resizeEditors(800, 600)) << "no editor is open";
    engine.closeEditors();
    EXPECT_TRUE(engine.pollParameterEdits().empty()) << "nothing was edited in an editor";
}

TEST(GraphControlReports, InsertStatusCarriesTheFaultTexts) {
    json in1 = monoInput("in1", 0);
    in1["inserts"] = {
        {{"id", "bad"}, {"modulePath", testPlugin("basic")}, {"parameters", {{"2", 2.0 / 3.0}}}}};
    in1["routes"] = {route("main-lr")};
    NativeGraphEngine engine;
    std::string error;
    ASSERT_TRUE(engine.applyGraph(description({in1, mainBus()}), deviceLayout(), error)) << error;
    Lanes inputs(8);
    Lanes outputs(8);
    std::fill_n(inputs.lane(0), 64, 0.5f);
    engine.render(inputs.in(), 8, outputs.data(), 8, 64, 48000.0);
    EXPECT_EQ(engine.insertStatusJson(),
              json::parse(R"([{"nodeId": "in1", "slotId": "bad", "latencySamples": 0, "fault": 1,
                  "error": "Plugin processing failed; insert silenced until reapply"}])"));
    EXPECT_EQ(engine.insertParametersJson("in1", "bad")["fault"], 1);
}

TEST(GraphControlReports, ParameterEditsArePolledRoundRobinWithABound) {
    // Three inserts on three strips; the first has 4096 parameters (4095 writable).
    const auto strip = [](const std::string& id, const std::string& plugin) {
        json s = monoInput(id, 0);
        s["inserts"] = {{{"id", id + "-fx"}, {"modulePath", testPlugin(plugin)}}};
        s["routes"] = {route("main-lr")};
        return s;
    };
    NativeGraphEngine engine;
    std::string error;
    ASSERT_TRUE(engine.applyGraph(description({strip("a", "params_4096"), strip("b", "basic"),
                                               strip("c", "latency"), mainBus()}),
                                  deviceLayout(), error))
        << error;
    using EditFn = void (*)(std::uint32_t, int, double, int);
    for (const char* plugin : {"params_4096", "basic", "latency"}) {
        const auto edit = testPluginKnob<EditFn>(plugin, "ruviTestplugEdit");
        ASSERT_NE(edit, nullptr) << plugin;
        // Parameter 1 is a read-only meter: the plug-in's edit of it is refused.
        edit(0, plugin == std::string("params_4096") ? 4096 : 4, 0.75, 0);
    }

    const std::vector<ParameterEdit> first = engine.pollParameterEdits();
    ASSERT_EQ(first.size(), kMaxParameterEditsPerPoll);
    EXPECT_EQ(first.front().nodeId, "a");
    EXPECT_EQ(first.front().slotId, "a-fx");
    EXPECT_EQ(first.front().value, 0.75);
    EXPECT_EQ(first[4094].slotId, "a-fx");
    EXPECT_EQ(first[4095].slotId, "b-fx") << "the bound cut b's edits short";

    const std::vector<ParameterEdit> second = engine.pollParameterEdits();
    ASSERT_EQ(second.size(), 5u);
    EXPECT_EQ(second[0].slotId, "c-fx") << "the next poll starts with the following insert";
    EXPECT_EQ(second[2].slotId, "c-fx");
    EXPECT_EQ(second[3].slotId, "b-fx") << "then b continues where the bound stopped it";
    EXPECT_EQ(second[4].slotId, "b-fx");
    EXPECT_TRUE(engine.pollParameterEdits().empty());
}

} // namespace
} // namespace kestravon::ruvi
