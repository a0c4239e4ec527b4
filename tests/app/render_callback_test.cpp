// The render callback's block checks, its recorder tap and its real-time discipline, and the
// planned channel layout.

#include "app/application.h"
#include "app/application_impl.h"
#include "app/render_callback.h"

#include "tests/app/app_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

// A counting allocator for the real-time check: operator new is replaced for the whole binary
// and counts only on a thread that armed it. Sanitizer builds keep their own allocator.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define RUVI_COUNTING_ALLOCATOR 1
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
thread_local bool allocationsArmed = false;
std::atomic<int> armedAllocations{0};
} // namespace

void* operator new(std::size_t size) {
    if (allocationsArmed) {
        armedAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
#endif

namespace kestravon::ruvi {
namespace {

using testing::catalogueOf;
using testing::Json;

constexpr std::size_t kStride = 8192; // room for a block longer than the system limit

EndpointInfo info(const std::string& id, bool capture, int channels, bool available = true,
                  int rate = 48000) {
    EndpointInfo e;
    e.id = id;
    e.name = id + " name";
    e.physicalUnitId = id;
    e.capture = capture;
    e.channels = channels;
    e.sampleRate = rate;
    e.available = available;
    return e;
}

// Planar test buffers: `inputs` channels of DC 0.5 on channel 0 (silence elsewhere) and two
// outputs prefilled with a sentinel, so an untouched output is told from a silenced one.
struct Block {
    explicit Block(int inputs)
        : in(static_cast<std::size_t>(inputs) * kStride, 0.0f), out(2 * kStride, 7.0f) {
        std::fill_n(in.begin(), kStride, 0.5f);
        for (int c = 0; c < inputs; ++c) {
            inPtr.push_back(in.data() + static_cast<std::size_t>(c) * kStride);
        }
        outPtr = {out.data(), out.data() + kStride};
    }
    void reset() { std::fill(out.begin(), out.end(), 7.0f); }
    std::vector<float> in;
    std::vector<float> out;
    std::vector<const float*> inPtr;
    std::vector<float*> outPtr;
};

// An Application with no devices, a graph of one mono strip on physical input 0 into main-lr
// compiled for `physical` capture channels plus `lanes` playback lanes, and those lanes marked
// loaded (the bank itself is empty, so they render silence).
struct RenderRig {
    RenderRig(int physical, std::uint32_t lanes)
        : app(catalogueOf(std::make_shared<VirtualEndpointSet>())), a(app.impl()) {
        const BackendStatus layout =
            buildPhysicalChannelLayout({info("cap", true, physical), info("out", false, 2)}, 48000);
        Json description = testing::nativeDescription(
            Json::array({{{"id", "in1"},
                          {"kind", "input"},
                          {"source",
                           {{"kind", "device"},
                            {"ports", Json::array({{{"deviceId", "cap"}, {"channel", 0}}})}}},
                          {"routes", Json::array({{{"destinationId", "main-lr"}}})}},
                         testing::mainBus("out")}));
        description["playbackChannels"] = lanes;
        std::string error;
        EXPECT_TRUE(a.graph.applyGraph(description, layout, error)) << error;
        a.playbackChannels = lanes;
    }

    // A take of physical lane 0, so every tapped block shows as accepted frames.
    void beginTake(const std::filesystem::path& folder) {
        std::filesystem::create_directories(folder);
        RecorderTakeConfig take;
        take.directory = (folder / "take").string();
        take.blockFrames = static_cast<std::uint32_t>(kStride);
        take.queueSlots = 16;
        take.tracks = {{"t1", "Track 1", {0}}};
        a.recorder.begin(take);
    }

    void call(Block& b, int inputCount, int frames, int outputCount = 2) {
        audioRenderCallback(&a, b.inPtr.data(), inputCount, b.outPtr.data(), outputCount, frames,
                            48000.0);
    }

    Application app;
    Application::Impl& a;
};

std::filesystem::path freshFolder(const std::string& name) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("ruvi-render-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

TEST(RenderCallback, BlockLimitsWithPlaybackLanes) {
    struct Case {
        const char* name;
        int physical;
        std::uint32_t lanes;
        int inputCount; // as handed to the callback
        int frames;
        bool renders;  // the graph ran: epoch advanced and the strip reached the output
        bool tapped;   // the recorder received the physical inputs
        bool silenced; // outputs overwritten with zeros (a refused block that is not negative)
    };
    const Case cases[] = {
        {"4096 frames", 2, 2, 2, 4096, true, true, false},
        {"4097 frames", 2, 2, 2, 4097, false, true, true},
        {"negative frames", 2, 2, 2, -1, false, false, false},
        {"zero frames", 2, 2, 2, 0, false, false, false},
        {"negative input count", 2, 2, -1, 128, false, false, true},
        {"256 lanes in all", 128, 128, 128, 128, true, true, false},
        {"257 lanes in all", 128, 128, 129, 128, false, true, true},
    };
    const auto folder = freshFolder("limits");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RenderRig rig(c.physical, c.lanes);
        rig.beginTake(folder / c.name);
        Block b(std::max(c.inputCount, c.physical) + 1);
        const std::uint64_t epoch = rig.a.graph.retiredEpoch();
        rig.call(b, c.inputCount, c.frames);
        const bool ranGraph = rig.a.graph.retiredEpoch() != epoch;
        if (c.frames == 0) {
            // A zero-frame block still reaches the graph (which renders nothing).
            EXPECT_TRUE(ranGraph);
        } else {
            EXPECT_EQ(ranGraph, c.renders);
        }
        if (c.renders) {
            EXPECT_GT(b.out[0], 0.3f);
            EXPECT_GT(b.out[kStride + static_cast<std::size_t>(c.frames) - 1], 0.3f);
        }
        if (c.silenced) {
            const auto n = static_cast<std::size_t>(c.frames);
            EXPECT_EQ(*std::max_element(b.out.begin(), b.out.begin() + static_cast<long>(n)), 0.0f);
            EXPECT_EQ(b.out[kStride + n - 1], 0.0f);
            EXPECT_EQ(b.out[n], 7.0f) << "wrote past the block";
        }
        if (!c.renders && !c.silenced) {
            EXPECT_EQ(b.out[0], 7.0f);
        }
        EXPECT_EQ(rig.a.recorder.status().acceptedFrames,
                  c.tapped ? static_cast<std::uint64_t>(c.frames) : 0u);
        rig.a.recorder.stopAndDestroy();
    }
    std::filesystem::remove_all(folder);
}

TEST(RenderCallback, WithoutPlaybackTheGraphGetsTheInputsAsTheyCame) {
    RenderRig rig(2, 0);
    Block b(3);
    rig.call(b, 2, 256);
    EXPECT_FLOAT_EQ(b.out[255], 0.5f * 0.70710677f); // a mono strip panned centre
    // The graph's own limits decide here: a block over 4096 frames is left to it, untouched.
    b.reset();
    const std::uint64_t epoch = rig.a.graph.retiredEpoch();
    rig.call(b, 2, 4097);
    EXPECT_EQ(rig.a.graph.retiredEpoch(), epoch);
    EXPECT_EQ(b.out[0], 7.0f);
}

TEST(RenderCallback, SilenceSkipsANullOutputTableAndNullChannels) {
    RenderRig rig(2, 2);
    Block b(3);
    audioRenderCallback(&rig.a, b.inPtr.data(), 2, nullptr, 2, 5000, 48000.0);
    float* outputs[3] = {b.out.data(), nullptr, b.out.data() + kStride};
    audioRenderCallback(&rig.a, b.inPtr.data(), 2, outputs, 3, 5000, 48000.0);
    EXPECT_EQ(b.out[4999], 0.0f);
    EXPECT_EQ(b.out[kStride + 4999], 0.0f);
}

TEST(RenderCallback, AllocatesNothingOver10000Callbacks) {
#ifndef RUVI_COUNTING_ALLOCATOR
    GTEST_SKIP() << "the counting allocator is off under sanitizers";
#else
    RenderRig withLanes(2, 2);
    RenderRig physicalOnly(2, 0);
    const auto folder = freshFolder("alloc");
    withLanes.beginTake(folder);
    Block b(3);
    // The hook must see traffic, or a zero below would prove nothing.
    allocationsArmed = true;
    { std::vector<int> probe(3); }
    allocationsArmed = false;
    ASSERT_EQ(armedAllocations.exchange(0), 1);

    allocationsArmed = true;
    for (int i = 0; i < 10000; ++i) {
        withLanes.call(b, 2, 128);
        physicalOnly.call(b, 2, 128);
        if (i % 100 == 0) {
            withLanes.call(b, 2, 4097); // refused
        }
    }
    allocationsArmed = false;
    EXPECT_EQ(armedAllocations.load(), 0);
    EXPECT_GT(b.out[127], 0.3f);
    withLanes.a.recorder.stopAndDestroy();
    std::filesystem::remove_all(folder);
#endif
}

TEST(PhysicalChannelLayout, AvailableEndpointsTakeConsecutiveLanesPerDirection) {
    const BackendStatus layout =
        buildPhysicalChannelLayout({info("cap-a", true, 2), info("cap-b", true, 8, false),
                                    info("out-a", false, 2), info("out-b", false, 6, true, 44100)},
                                   96000);
    EXPECT_FALSE(layout.running);
    EXPECT_EQ(layout.sampleRate, 96000);
    EXPECT_EQ(layout.blockFrames, 0);
    EXPECT_EQ(layout.inputChannels, 2);
    EXPECT_EQ(layout.outputChannels, 8);
    ASSERT_EQ(layout.streams.size(), 3u);
    EXPECT_EQ(layout.streams[0].id, "cap-a");
    EXPECT_EQ(layout.streams[0].name, "cap-a name");
    EXPECT_TRUE(layout.streams[0].capture);
    EXPECT_EQ(layout.streams[0].firstChannel, 0);
    EXPECT_EQ(layout.streams[1].id, "out-a");
    EXPECT_EQ(layout.streams[1].firstChannel, 0);
    EXPECT_EQ(layout.streams[2].firstChannel, 2);
    EXPECT_EQ(layout.streams[2].channels, 6);
    EXPECT_EQ(layout.streams[2].sampleRate, 44100); // the endpoint's own rate
    EXPECT_EQ(layout.streams[2].status, "");

    for (const auto& devices :
         {std::vector<EndpointInfo>{}, std::vector<EndpointInfo>{info("x", true, 2, false)}}) {
        const BackendStatus empty = buildPhysicalChannelLayout(devices, 44100);
        EXPECT_TRUE(empty.streams.empty());
        EXPECT_EQ(empty.inputChannels + empty.outputChannels, 0);
        EXPECT_EQ(empty.sampleRate, 44100);
    }
}

} // namespace
} // namespace kestravon::ruvi
