#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

#include <gtest/gtest.h>

#include "engine/graph_compiler.h"
#include "graph_fixture.h"

namespace kestravon::ruvi {
namespace {

using namespace graphtest;

constexpr float kCentre = 0.70710677f;
const char* const kMaximizer = "/usr/lib/vst3/ZaMaximX2.vst3";

struct Rig {
    explicit Rig(const json& d)
        : graph(compileNativeGraph(d, deviceLayout())), inputs(graph->inputLanes),
          outputs(graph->outputLanes) {}

    void render(int frames) {
        for (int c = 0; c < graph->outputLanes; ++c) {
            std::fill_n(outputs.lane(c), frames, 0.0f);
        }
        graph->render(inputs.in(), outputs.data(), frames);
    }

    std::unique_ptr<PreparedGraph> graph;
    Lanes inputs;
    Lanes outputs;
};

// in1 through the maximizer, in2 plain, both to main.
json alignedPair(bool bypassed) {
    json in1 = monoInput("in1", 0);
    in1["inserts"] = {{{"id", "max"}, {"modulePath", kMaximizer}, {"bypass", bypassed}}};
    in1["routes"] = {route("main-lr")};
    json in2 = monoInput("in2", 1);
    in2["routes"] = {route("main-lr")};
    return description({in1, in2, mainBus()});
}

// Renders blocks of 128 and returns main's left lane.
std::vector<float> renderLeft(Rig& rig, int blocks) {
    std::vector<float> left;
    for (int block = 0; block < blocks; ++block) {
        rig.render(128);
        left.insert(left.end(), rig.outputs.lane(0), rig.outputs.lane(0) + 128);
        std::fill_n(rig.inputs.lane(0), 128, 0.0f);
        std::fill_n(rig.inputs.lane(1), 128, 0.0f);
    }
    return left;
}

std::vector<int> nonZeroFrames(const std::vector<float>& lane) {
    std::vector<int> frames;
    for (std::size_t f = 0; f < lane.size(); ++f) {
        if (std::fabs(lane[f]) > 1e-6f) {
            frames.push_back(static_cast<int>(f));
        }
    }
    return frames;
}

TEST(GraphInsertRender, ImpulsesThroughBothPathsMeetAtTheGraphLatency) {
    {
        SCOPED_TRACE("test plug-in delaying by 64");
        json d = alignedPair(false);
        d["nodes"][0]["inserts"][0]["modulePath"] = testPlugin("latency");
        Rig rig(d);
        ASSERT_EQ(rig.graph->latencySamples, 64);
        rig.inputs.lane(0)[0] = 0.5f;
        rig.inputs.lane(1)[0] = 0.5f;
        const std::vector<float> left = renderLeft(rig, 2);
        EXPECT_EQ(nonZeroFrames(left), std::vector<int>{64});
        EXPECT_NEAR(left[64], kCentre, 1e-6);
    }
    struct Case {
        const char* name;
        float in1;
        float in2;
        float expected;
    };
    const Case cases[] = {
        {"through the plug-in", 0.5f, 0.0f, 0.5f * kCentre},
        {"through the aligned dry strip", 0.0f, 0.5f, 0.5f * kCentre},
        {"both sum at one sample", 0.5f, 0.5f, kCentre},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(alignedPair(false));
        ASSERT_EQ(rig.graph->latencySamples, 480);
        rig.inputs.lane(0)[0] = c.in1;
        rig.inputs.lane(1)[0] = c.in2;
        const std::vector<float> left = renderLeft(rig, 8);
        EXPECT_EQ(nonZeroFrames(left), std::vector<int>{480});
        EXPECT_NEAR(left[480], c.expected, 1e-4);
    }
}

TEST(GraphInsertRender, ABypassedInsertPassesTheLatencyAlignedDrySignal) {
    Rig rig(alignedPair(true));
    EXPECT_EQ(rig.graph->nodes[0]->inserts[0]->bypassMix, 1.0);
    rig.inputs.lane(0)[3] = 0.25f;
    const std::vector<float> left = renderLeft(rig, 6);
    EXPECT_EQ(nonZeroFrames(left), std::vector<int>{483});
    EXPECT_FLOAT_EQ(left[483], 0.25f * kCentre) << "exactly the dry sample";
}

TEST(GraphInsertRender, BypassCrossfadesToTheAlignedDrySignal) {
    Rig rig(alignedPair(false));
    InsertSlot& slot = *rig.graph->nodes[0]->inserts[0];
    const auto sine = [](int n) {
        return 0.1f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 440.0 * n / 48000.0));
    };
    int written = 0;
    const auto renderSine = [&](int frames) {
        for (int f = 0; f < frames; ++f) {
            rig.inputs.lane(0)[f] = sine(written + f);
        }
        written += frames;
        rig.render(frames);
    };
    for (int block = 0; block < 10; ++block) {
        renderSine(128);
    }
    slot.bypass.store(true);
    renderSine(240);
    EXPECT_GT(slot.bypassMix, 0.55) << "one 5 ms time constant in";
    EXPECT_LT(slot.bypassMix, 0.70);
    for (int block = 0; block < 12; ++block) {
        renderSine(256);
    }
    EXPECT_EQ(slot.bypassMix, 1.0) << "settled within about 60 ms";
    for (int f = 0; f < 256; ++f) {
        const int n = written - 256 + f;
        ASSERT_NEAR(rig.outputs.lane(0)[f], sine(n - 480) * kCentre, 1e-6) << "frame " << f;
    }
    slot.bypass.store(false);
    renderSine(240);
    EXPECT_GT(slot.bypassMix, 0.30);
    EXPECT_LT(slot.bypassMix, 0.45);
}

// in1: a test plug-in that outputs NaN (fault parameter at 2 of 3), then a clean one; in2 plain.
json faultyChain() {
    json in1 = monoInput("in1", 0);
    in1["inserts"] = {
        {{"id", "bad"}, {"modulePath", testPlugin("basic")}, {"parameters", {{"2", 2.0 / 3.0}}}},
        {{"id", "after"}, {"modulePath", testPlugin("latency")}}};
    in1["routes"] = {route("main-lr")};
    in1["pan"] = -100;
    json in2 = monoInput("in2", 1);
    in2["pan"] = 100;
    in2["routes"] = {route("main-lr")};
    return description({in1, in2, mainBus()});
}

TEST(GraphInsertRender, AFaultedInsertSilencesOnlyItself) {
    Rig rig(faultyChain());
    std::fill_n(rig.inputs.lane(0), kBlockStride, 0.5f);
    std::fill_n(rig.inputs.lane(1), kBlockStride, 0.25f);
    for (int block = 0; block < 4; ++block) {
        rig.render(128);
    }
    GraphNode& in1 = *rig.graph->nodes[0];
    EXPECT_EQ(in1.inserts[0]->fault.load(), kInsertProcessingFailed);
    EXPECT_EQ(in1.inserts[1]->fault.load(), kInsertRunning) << "the next insert keeps running";
    EXPECT_NEAR(rig.outputs.lane(0)[127], 0.0f, 1e-9) << "in1 is silenced by its faulted insert";
    EXPECT_NEAR(rig.outputs.lane(1)[127], 0.25f, 1e-6) << "in2 and main keep running";

    // Bypassing the faulted insert brings the dry signal back.
    in1.inserts[0]->bypass.store(true);
    for (int block = 0; block < 30; ++block) {
        rig.render(128);
    }
    EXPECT_EQ(in1.inserts[0]->fault.load(), kInsertProcessingFailed) << "never processed again";
    EXPECT_NEAR(rig.outputs.lane(0)[127], 0.5f, 1e-6);
}

TEST(GraphInsertRender, AReconfigurationRequestSilencesTheInsert) {
    json in1 = monoInput("in1", 0);
    in1["inserts"] = {{{"id", "fx"}, {"modulePath", testPlugin("basic")}}};
    in1["routes"] = {route("main-lr")};
    Rig rig(description({in1, mainBus()}));
    std::fill_n(rig.inputs.lane(0), kBlockStride, 0.5f);
    rig.render(128);
    EXPECT_NEAR(rig.outputs.lane(0)[127], 0.5f * kCentre, 1e-6);
    const auto restart = testPluginKnob<int (*)(int)>("basic", "ruviTestplugRestart");
    ASSERT_NE(restart, nullptr);
    restart(1 << 3); // kLatencyChanged
    rig.render(128);
    EXPECT_EQ(rig.graph->nodes[0]->inserts[0]->fault.load(), kInsertNeedsReconfiguration);
    EXPECT_EQ(rig.outputs.lane(0)[0], 0.0f);
}

} // namespace
} // namespace kestravon::ruvi
