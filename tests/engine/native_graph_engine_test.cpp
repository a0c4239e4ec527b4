#include "engine/native_graph_engine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include <gtest/gtest.h>

#include "graph_fixture.h"

namespace kestravon::ruvi {
namespace {

using namespace graphtest;

constexpr float kCentre = 0.70710677f;

json simpleGraph(double gainDb = 0.0, int maximumBlock = 4096) {
    json in1 = monoInput("in1", 0);
    in1["gainDb"] = gainDb;
    in1["routes"] = {route("main-lr")};
    json d = description({in1, mainBus()});
    d["maximumBlock"] = maximumBlock;
    return d;
}

// Device-sized lanes: 8 inputs carrying 1.0 on lane 0, 8 outputs.
struct Device {
    Device() : inputs(8), outputs(8) { std::fill_n(inputs.lane(0), kBlockStride, 1.0f); }
    void fillOutputs(float value) {
        std::fill(outputs.samples.begin(), outputs.samples.end(), value);
    }
    void render(NativeGraphEngine& engine, int frames, double rate = 48000.0, int inputCount = 8,
                int outputCount = 8) {
        engine.render(inputs.in(), inputCount, outputs.data(), outputCount, frames, rate);
    }
    Lanes inputs;
    Lanes outputs;
};

TEST(NativeGraphEngineRender, EntryChecksDecideBetweenRenderSilenceAndNothing) {
    struct Case {
        const char* name;
        int frames;
        double rate;
        int inputCount;
        int outputCount;
        float expectFirst; // output lane 0, frame 0
        bool epochAdvances;
    };
    const Case cases[] = {
        {"matching block renders", 128, 48000.0, 8, 8, kCentre, true},
        {"4097 frames touch nothing", 4097, 48000.0, 8, 8, 5.0f, false},
        {"negative output count touches nothing", 128, 48000.0, 8, -1, 5.0f, false},
        {"other rate is silent", 128, 96000.0, 8, 8, 0.0f, true},
        {"longer than the graph's block is silent", 512, 48000.0, 8, 8, 0.0f, true},
        {"other input lane count is silent", 128, 48000.0, 7, 8, 0.0f, true},
        {"other output lane count is silent", 128, 48000.0, 8, 6, 0.0f, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NativeGraphEngine engine;
        std::string error;
        ASSERT_TRUE(engine.applyGraph(simpleGraph(0.0, 256), deviceLayout(), error)) << error;
        Device device;
        device.fillOutputs(5.0f);
        device.render(engine, c.frames, c.rate, c.inputCount, c.outputCount);
        EXPECT_NEAR(device.outputs.lane(0)[0], c.expectFirst, 1e-6);
        EXPECT_EQ(engine.retiredEpoch(), c.epochAdvances ? 1u : 0u);
    }
}

TEST(NativeGraphEngineRender, WithoutAGraphOutputsSilenceAndAdvancesTheEpoch) {
    NativeGraphEngine engine;
    Device device;
    device.fillOutputs(5.0f);
    device.render(engine, 64);
    EXPECT_EQ(device.outputs.lane(3)[63], 0.0f);
    EXPECT_EQ(device.outputs.lane(3)[64], 5.0f) << "only the block's frames are zeroed";
    EXPECT_EQ(engine.retiredEpoch(), 1u);
    EXPECT_FALSE(engine.hasGraph());
}

TEST(NativeGraphEnginePublication, RetiresFourGraphsAndRefusesTheFifthUntilTwoCallbacks) {
    NativeGraphEngine engine;
    std::string error;
    ASSERT_TRUE(engine.applyGraph(simpleGraph(), deviceLayout(), error));
    EXPECT_EQ(engine.retiredCount(), 0u);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(engine.applyGraph(simpleGraph(-1.0 * i), deviceLayout(), error)) << error;
    }
    EXPECT_EQ(engine.retiredCount(), 4u);
    EXPECT_FALSE(engine.applyGraph(simpleGraph(), deviceLayout(), error));
    EXPECT_EQ(error, "Graph update busy until audio callback retires previous graph");

    Device device;
    device.render(engine, 32);
    EXPECT_EQ(engine.reclaimRetired(), 0u) << "one callback may still hold an old pointer";
    EXPECT_FALSE(engine.applyGraph(simpleGraph(), deviceLayout(), error));
    device.render(engine, 32);
    EXPECT_TRUE(engine.applyGraph(simpleGraph(), deviceLayout(), error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(engine.retiredCount(), 1u) << "the prune freed all four, the apply retired one";
    device.render(engine, 32);
    device.render(engine, 32);
    EXPECT_EQ(engine.reclaimRetired(), 1u);
}

TEST(NativeGraphEnginePublication, AFailedApplyLeavesThePreviousGraphRendering) {
    NativeGraphEngine engine;
    std::string error;
    ASSERT_TRUE(engine.applyGraph(simpleGraph(), deviceLayout(), error));
    json cyclic = simpleGraph();
    cyclic["nodes"][1]["routes"] = {route("in1")};
    EXPECT_FALSE(engine.applyGraph(cyclic, deviceLayout(), error));
    EXPECT_EQ(error, "Audio routing cycle rejected");
    EXPECT_EQ(engine.retiredCount(), 0u);
    Device device;
    device.render(engine, 16);
    EXPECT_NEAR(device.outputs.lane(1)[15], kCentre, 1e-6);
}

TEST(NativeGraphEnginePublication, ClearAndDropFreeWithoutWaiting) {
    NativeGraphEngine engine;
    std::string error;
    ASSERT_TRUE(engine.applyGraph(simpleGraph(), deviceLayout(), error));
    ASSERT_TRUE(engine.applyGraph(simpleGraph(), deviceLayout(), error));
    engine.dropRetired();
    EXPECT_EQ(engine.retiredCount(), 0u);
    EXPECT_TRUE(engine.hasGraph());
    ASSERT_TRUE(engine.applyGraph(simpleGraph(), deviceLayout(), error));
    engine.clear();
    EXPECT_FALSE(engine.hasGraph());
    EXPECT_EQ(engine.retiredCount(), 0u);
    EXPECT_EQ(engine.latencySamples(), 0u);
    Device device;
    device.fillOutputs(5.0f);
    device.render(engine, 16);
    EXPECT_EQ(device.outputs.lane(0)[0], 0.0f);
}

// One thread applies graphs and moves faders the way the UI does while another renders blocks
// the way the device's master thread does. Run under tsan and asan, this shows the hand-over
// has no race and never frees a graph the audio thread still renders.
TEST(NativeGraphEngineThreading, AppliesAndLiveChangesWhileTheAudioThreadRenders) {
    NativeGraphEngine engine;
    std::string error;
    ASSERT_TRUE(engine.applyGraph(simpleGraph(), deviceLayout(), error));
    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    std::atomic<bool> outOfRange{false};
    std::thread audio([&] {
        Device device;
        while (!stop.load()) {
            device.render(engine, 64);
            for (int c = 0; c < 2; ++c) {
                const float v = device.outputs.lane(c)[63];
                if (!std::isfinite(v) || std::fabs(v) > 1.0f) {
                    outOfRange.store(true);
                }
            }
            blocks.fetch_add(1);
        }
    });
    int applied = 0;
    int refused = 0;
    for (int i = 0; applied < 200; ++i) {
        json d = simpleGraph(-0.1 * (i % 60));
        if (i % 10 == 0) {
            // Every tenth graph hosts a plug-in, so its instance is freed by retirement too.
            d["nodes"][0]["inserts"] = {{{"id", "max"}, {"modulePath", testPlugin("latency")}}};
        }
        if (engine.applyGraph(d, deviceLayout(), error)) {
            ++applied;
        } else {
            ASSERT_EQ(error, "Graph update busy until audio callback retires previous graph");
            ++refused;
            std::this_thread::yield();
        }
        EXPECT_TRUE(engine.setParameter("in1", "pan", (i % 200) - 100.0, error)) << error;
        EXPECT_TRUE(engine.setParameter("in1", "mute", i % 2, error)) << error;
        EXPECT_TRUE(engine.setSendLevel("in1", "main-lr", -(i % 24), error)) << error;
        EXPECT_TRUE(engine.setStripProcessing(
            "in1", {{"compressor", {{"enabled", i % 3 == 0}, {"thresholdDb", -(i % 40)}}}}, error))
            << error;
        (void)engine.setInsertBypass("in1", "max", i % 4 == 0, error);
        (void)engine.insertStatusJson();
        (void)engine.nodeMeters();
        (void)engine.stripMetersJson();
        engine.reclaimRetired();
    }
    const long before = blocks.load();
    while (blocks.load() < before + 4) {
        std::this_thread::yield();
    }
    stop.store(true);
    audio.join();
    EXPECT_FALSE(outOfRange.load());
    engine.reclaimRetired();
    EXPECT_EQ(engine.retiredCount(), 0u) << "every replaced graph was freed after the callbacks";
}

} // namespace
} // namespace kestravon::ruvi
