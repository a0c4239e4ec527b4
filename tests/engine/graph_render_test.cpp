#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "engine/graph_compiler.h"
#include "graph_fixture.h"

namespace kestravon::ruvi {
namespace {

using namespace graphtest;

constexpr float kCentre = 0.70710677f;

// A compiled graph with its device lanes; render() zeroes the outputs as the engine does.
struct Rig {
    explicit Rig(const json& d, BackendStatus layout = deviceLayout())
        : graph(compileNativeGraph(d, layout)), inputs(graph->inputLanes),
          outputs(graph->outputLanes) {}

    void render(int frames) {
        for (int c = 0; c < graph->outputLanes; ++c) {
            std::fill_n(outputs.lane(c), frames, 0.0f);
        }
        graph->render(inputs.in(), outputs.data(), frames);
    }
    void fillInput(int lane, float value) { std::fill_n(inputs.lane(lane), kBlockStride, value); }
    GraphNode& node(const std::string& id) { return *graph->findNode(id); }

    std::unique_ptr<PreparedGraph> graph;
    Lanes inputs;
    Lanes outputs;
};

json busOn(const std::string& id, int width, int firstLane) {
    json bus = {{"id", id}, {"kind", "bus"}, {"width", width}};
    bus["outputs"] = width == 2 ? json{port("play", firstLane), port("play", firstLane + 1)}
                                : json{port("play", firstLane)};
    return bus;
}

TEST(GraphRenderMixing, PanLawsAndWidthsAgainstGroundTruth) {
    struct Case {
        const char* name;
        int sourceWidth;
        int destinationWidth;
        double pan;
        float expectLeft;
        float expectRight;
    };
    // Mono sources carry 1.0; stereo sources carry 1.0 left and 0.5 right.
    const Case cases[] = {
        {"mono hard left", 1, 2, -100, 1.0f, 0.0f},
        {"mono centre", 1, 2, 0, kCentre, kCentre},
        {"mono hard right", 1, 2, 100, 0.0f, 1.0f},
        {"stereo balance right", 2, 2, 50, 0.5f, 0.5f},
        {"stereo balance left", 2, 2, -50, 1.0f, 0.25f},
        {"stereo centre", 2, 2, 0, 1.0f, 0.5f},
        {"stereo into mono averages", 2, 1, 80, 0.75f, 0.0f},
        {"mono into mono ignores pan", 1, 1, -60, 1.0f, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json strip = c.sourceWidth == 2 ? stereoInput("s", 0, 1) : monoInput("s", 0);
        strip["pan"] = c.pan;
        strip["routes"] = {route("dest")};
        Rig rig(description({strip, busOn("dest", c.destinationWidth, 2), mainBus()}));
        rig.fillInput(0, 1.0f);
        rig.fillInput(1, 0.5f);
        rig.render(128);
        EXPECT_NEAR(rig.outputs.lane(2)[127], c.expectLeft, 1e-6);
        EXPECT_NEAR(rig.outputs.lane(3)[127], c.expectRight, 1e-6);
        EXPECT_EQ(rig.outputs.lane(0)[127], 0.0f) << "nothing routed to main";
    }
}

json tappedStrip() {
    json strip = monoInput("s", 0);
    strip["trimDb"] = -6.020599913279624; // x 0.5
    strip["gainDb"] = -6.020599913279624; // x 0.5
    strip["routes"] = {route("raw", "rawInput"), route("pre", "preFader"), route("post")};
    return strip;
}

json tapDescription() {
    return description(
        {tappedStrip(), busOn("raw", 1, 2), busOn("pre", 1, 3), busOn("post", 1, 4), mainBus()});
}

TEST(GraphRenderMixing, TapsTakeTheSignalBeforeTrimBeforeAndAfterTheFader) {
    Rig rig(tapDescription());
    rig.fillInput(0, 1.0f);
    rig.render(64);
    EXPECT_NEAR(rig.outputs.lane(2)[63], 1.0f, 1e-6);
    EXPECT_NEAR(rig.outputs.lane(3)[63], 0.5f, 1e-6);
    EXPECT_NEAR(rig.outputs.lane(4)[63], 0.25f, 1e-6);
    EXPECT_NEAR(rig.node("s").peakL.load(), 0.25f, 1e-6);

    rig.node("s").polarity.store(1.0f);
    rig.render(64);
    EXPECT_NEAR(rig.outputs.lane(2)[0], 1.0f, 1e-6) << "raw input is before polarity";
    EXPECT_NEAR(rig.outputs.lane(3)[0], -0.5f, 1e-6) << "polarity switches at the block";
    EXPECT_NEAR(rig.outputs.lane(4)[0], -0.25f, 1e-6);
}

TEST(GraphRenderMixing, MuteSilencesEveryTapWithinTheSmoothingTime) {
    Rig rig(tapDescription());
    rig.fillInput(0, 1.0f);
    rig.render(128);
    rig.node("s").mute.store(1.0f);
    // 240 frames is one 5 ms time constant at 48 kHz.
    rig.render(240);
    for (int lane : {2, 3, 4}) {
        const float before = lane == 2 ? 1.0f : lane == 3 ? 0.5f : 0.25f;
        const float ratio = rig.outputs.lane(lane)[239] / before;
        EXPECT_GT(ratio, 0.30f) << "lane " << lane << " must glide, not jump";
        EXPECT_LT(ratio, 0.45f) << "lane " << lane;
    }
    for (int block = 0; block < 40; ++block) {
        rig.render(256);
    }
    for (int lane : {2, 3, 4}) {
        EXPECT_EQ(rig.outputs.lane(lane)[255], 0.0f) << "lane " << lane;
    }
    EXPECT_EQ(rig.node("s").peakL.load(), 0.0f);
}

TEST(GraphRenderMixing, MutedAtCompileStartsSilentOnThePostFaderPath) {
    json d = tapDescription();
    d["nodes"][0]["mute"] = true;
    Rig rig(d);
    rig.fillInput(0, 1.0f);
    rig.render(16);
    EXPECT_EQ(rig.outputs.lane(4)[0], 0.0f);
    EXPECT_GT(rig.outputs.lane(3)[0], 0.49f) << "pre-fader sends ramp out from their gain";
}

TEST(GraphRenderMixing, SoloFeedsThePreFaderSignalToTheCueMonitor) {
    json strip = monoInput("s", 0);
    strip["gainDb"] = -120;
    strip["solo"] = true;
    strip["routes"] = {route("main-lr")};
    json cue = {{"id", "cue"}, {"kind", "monitor"}, {"width", 2}};
    cue["outputs"] = {port("play", 4), port("play", 5)};
    Rig rig(description({strip, cue, mainBus()}));
    rig.fillInput(0, 1.0f);
    rig.render(128);
    EXPECT_EQ(rig.outputs.lane(0)[127], 0.0f);
    EXPECT_NEAR(rig.outputs.lane(4)[0], kCentre, 1e-6) << "no smoothing on the solo feed";
    EXPECT_NEAR(rig.outputs.lane(5)[127], kCentre, 1e-6);
    EXPECT_NEAR(rig.node("cue").peakR.load(), kCentre, 1e-6);

    rig.node("cue").gainDb.store(-6.0206f);
    rig.render(128);
    EXPECT_NEAR(rig.outputs.lane(4)[0], kCentre * 0.5f, 1e-5) << "cue gain is not smoothed";
    rig.node("s").solo.store(0.0f);
    rig.render(128);
    EXPECT_EQ(rig.outputs.lane(4)[0], 0.0f);
}

TEST(GraphRenderMixing, NonFiniteSourceSamplesReadAsSilence) {
    json strip = monoInput("s", 0);
    strip["routes"] = {route("main-lr")};
    Rig rig(description({strip, mainBus()}));
    rig.fillInput(0, 1.0f);
    rig.inputs.lane(0)[1] = std::numeric_limits<float>::quiet_NaN();
    rig.inputs.lane(0)[2] = -std::numeric_limits<float>::infinity();
    rig.render(8);
    EXPECT_NEAR(rig.outputs.lane(0)[0], kCentre, 1e-6);
    EXPECT_EQ(rig.outputs.lane(0)[1], 0.0f);
    EXPECT_EQ(rig.outputs.lane(1)[2], 0.0f);
    EXPECT_NEAR(rig.outputs.lane(1)[3], kCentre, 1e-6);
    EXPECT_NEAR(rig.node("s").strip.readMeters().inputPeak, 1.0f, 1e-6);
}

TEST(GraphRenderMixing, PartialBlocksTouchOnlyTheirFrames) {
    json strip = monoInput("s", 0);
    strip["routes"] = {route("main-lr")};
    json d = description({strip, mainBus()});
    d["maximumBlock"] = 256;
    Rig rig(d);
    rig.fillInput(0, 1.0f);
    std::fill_n(rig.outputs.lane(0), kBlockStride, 7.0f);
    GraphNode& main = rig.node("main-lr");
    std::fill(main.input.begin(), main.input.end(), 3.0f);
    std::fill_n(rig.outputs.lane(0), 100, 0.0f);
    rig.graph->render(rig.inputs.in(), rig.outputs.data(), 100);
    EXPECT_NEAR(rig.outputs.lane(0)[99], kCentre, 1e-6);
    EXPECT_EQ(rig.outputs.lane(0)[100], 7.0f);
    EXPECT_EQ(main.input[99], kCentre);
    EXPECT_EQ(main.input[100], 3.0f);
}

TEST(GraphRenderMixing, SendLevelChangesGlideAndSumIntoTheBus) {
    json a = monoInput("a", 0);
    json b = monoInput("b", 1);
    a["pan"] = -100;
    b["pan"] = -100;
    a["routes"] = {route("main-lr", "postFader", -120)};
    b["routes"] = {route("main-lr")};
    Rig rig(description({a, b, mainBus()}));
    rig.fillInput(0, 1.0f);
    rig.fillInput(1, 0.25f);
    rig.render(128);
    EXPECT_NEAR(rig.outputs.lane(0)[127], 0.25f, 1e-6);
    rig.graph->edges[0]->gain.store(1.0f);
    rig.render(240);
    EXPECT_NEAR(rig.outputs.lane(0)[239], 0.25f + (1.0f - std::exp(-1.0f)), 0.01f);
    for (int block = 0; block < 20; ++block) {
        rig.render(256);
    }
    EXPECT_NEAR(rig.outputs.lane(0)[255], 1.25f, 1e-6);
}

TEST(GraphRenderMixing, NodesSharingAnOutputLaneAdd) {
    json a = monoInput("a", 0);
    json b = monoInput("b", 1);
    a["outputs"] = {port("play", 6)};
    b["outputs"] = {port("play", 6)};
    b["gainDb"] = -6.020599913279624;
    Rig rig(description({a, b, mainBus()}));
    rig.fillInput(0, 0.5f);
    rig.fillInput(1, 1.0f);
    rig.render(32);
    EXPECT_NEAR(rig.outputs.lane(6)[31], 1.0f, 1e-6);
    EXPECT_EQ(rig.outputs.lane(7)[31], 0.0f);
}

} // namespace
} // namespace kestravon::ruvi
