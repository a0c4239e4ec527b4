#include "vst3/vst3_effect.h"

#include "test_plugin_support.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

// Counting hooks for the real-time check: operator new and pthread_mutex_lock are replaced for
// the whole binary and count only while the calling thread has armed them. Sanitizer builds
// keep their own allocator and locks, so the check runs in the plain build.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define RUVI_COUNTING_HOOKS 1
// The replacement pair is malloc and free, which GCC cannot see through once inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
thread_local bool hooksArmed = false;
std::atomic<int> armedAllocations{0};
std::atomic<int> armedLocks{0};
using MutexLockFn = int (*)(pthread_mutex_t*);
std::atomic<MutexLockFn> realMutexLock{nullptr};
} // namespace

void* operator new(std::size_t size) {
    if (hooksArmed) {
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

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    MutexLockFn real = realMutexLock.load(std::memory_order_acquire);
    if (real == nullptr) {
        real = reinterpret_cast<MutexLockFn>(::dlsym(RTLD_NEXT, "pthread_mutex_lock"));
        realMutexLock.store(real, std::memory_order_release);
    }
    if (hooksArmed) {
        armedLocks.fetch_add(1, std::memory_order_relaxed);
    }
    return real(mutex);
}
#endif

namespace kestravon::ruvi {
namespace {

using testing::testplugBundle;
using testing::testplugProbe;
using testing::testplugSymbol;

constexpr std::uint32_t kGain = 0;
constexpr std::uint32_t kMeter = 1;
constexpr std::uint32_t kFault = 2;

// Planar buffers of one block, with the pointer arrays the host API takes.
struct Block {
    Block(int channels, int frames)
        : data(static_cast<std::size_t>(channels), std::vector<float>(frames)) {
        for (auto& channel : data) {
            pointers.push_back(channel.data());
        }
    }
    float* const* out() { return pointers.data(); }
    const float* const* in() const { return pointers.data(); }
    std::vector<std::vector<float>> data;
    std::vector<float*> pointers;
};

Block ramp(int channels, int frames, float scale = 1.0f) {
    Block block(channels, frames);
    for (int c = 0; c < channels; ++c) {
        for (int k = 0; k < frames; ++k) {
            block.data[c][k] = scale * static_cast<float>((k % 50) - 25) / 25.0f *
                               static_cast<float>(c + 1) * 0.5f;
        }
    }
    return block;
}

void openOrFail(Vst3Effect& effect, const std::string& plugin, int channels = 2,
                int maxBlock = 256) {
    std::string error;
    ASSERT_TRUE(effect.open(testplugBundle(plugin), 48000.0, maxBlock, channels, error)) << error;
}

TEST(Vst3EffectOpen, RefusalsCarryTheirMessages) {
    struct Case {
        std::string plugin;
        double rate;
        int maxBlock;
        int channels;
        int sidechain;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"basic", 7999.0, 128, 2, 0, "Unsupported host processing configuration."},
        {"basic", std::numeric_limits<double>::quiet_NaN(), 128, 2, 0,
         "Unsupported host processing configuration."},
        {"basic", 48000.0, 0, 2, 0, "Unsupported host processing configuration."},
        {"basic", 48000.0, 65537, 2, 0, "Unsupported host processing configuration."},
        {"basic", 48000.0, 128, 3, 0, "Unsupported host processing configuration."},
        {"basic", 48000.0, 128, 2, 3, "Unsupported host processing configuration."},
        {"basic", 48000.0, 128, 2, 1, "Requested external sidechain bus is absent."},
        {"no_mono_stereo", 48000.0, 128, 1, 0,
         "VST3 effect rejected mono and stereo bus arrangements."},
        {"no_mono_stereo", 48000.0, 128, 2, 0, "VST3 effect rejected stereo bus arrangement."},
        {"three_channels", 48000.0, 128, 2, 0, "Only mono/stereo main buses are supported."},
        {"params_4097", 48000.0, 128, 2, 0, "VST3 parameter count exceeds host bound."},
        {"duplicate_id", 48000.0, 128, 2, 0, "Duplicate VST3 parameter ID."},
        {"fail_processing", 48000.0, 128, 2, 0, "VST3 processing start failed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plugin + " -> " + c.message);
        Vst3Effect effect;
        std::string error = "stale";
        EXPECT_FALSE(effect.open(testplugBundle(c.plugin), c.rate, c.maxBlock, c.channels, error,
                                 c.sidechain));
        EXPECT_EQ(error, c.message);
        EXPECT_FALSE(effect.isOpen());
    }
}

TEST(Vst3EffectOpen, AcceptsTheBoundsAndSetProcessingNotImplemented) {
    // The test plug-in's setProcessing answers kNotImplemented, as the SDK's effect base does.
    Vst3Effect effect;
    std::string error;
    ASSERT_TRUE(effect.open(testplugBundle("params_4096"), 384000.0, 65536, 1, error)) << error;
    EXPECT_EQ(effect.parameters().size(), 4096u);
    ASSERT_TRUE(effect.open(testplugBundle("basic"), 8000.0, 1, 2, error)) << error;
    EXPECT_EQ(effect.latencySamples(), 0);
    ASSERT_TRUE(effect.open(testplugBundle("latency"), 48000.0, 128, 2, error)) << error;
    EXPECT_EQ(effect.latencySamples(), 64);
}

TEST(Vst3EffectOpen, FailedOpenKeepsTheHeldInstanceWorking) {
    Vst3Effect effect;
    openOrFail(effect, "basic");
    ASSERT_TRUE(effect.setParameter(kGain, 1.0)); // doubles the signal
    std::string error;
    EXPECT_FALSE(effect.open(testplugBundle("duplicate_id"), 48000.0, 128, 2, error));
    EXPECT_EQ(error, "Duplicate VST3 parameter ID.");
    ASSERT_TRUE(effect.isOpen());
    const Block input = ramp(2, 64);
    Block output(2, 64);
    ASSERT_TRUE(effect.process(input.in(), output.out(), 64));
    EXPECT_FLOAT_EQ(output.data[0][3], 2.0f * input.data[0][3]);
    EXPECT_EQ(effect.parameters()[kGain].normalized, 1.0);
}

TEST(Vst3EffectOpen, SingleComponentIsNeitherInitializedTwiceNorConnected) {
    Vst3Effect effect;
    openOrFail(effect, "single");
    TestplugProbe* probe = testplugProbe("single");
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->componentInitializes, 1);
    EXPECT_EQ(probe->connects, 0);
    const Block input = ramp(2, 32);
    Block output(2, 32);
    EXPECT_TRUE(effect.process(input.in(), output.out(), 32));
    EXPECT_EQ(output.data[1], input.data[1]);
}

TEST(Vst3EffectOpen, SeparateControllerIsConnectedBothWays) {
    Vst3Effect effect;
    openOrFail(effect, "basic");
    TestplugProbe* probe = testplugProbe("basic");
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->componentInitializes, 1);
    EXPECT_EQ(probe->controllerInitializes, 1);
    EXPECT_EQ(probe->connects, 2);
    // The host context names itself and forwards the interface-support query it offers.
    EXPECT_STREQ(probe->hostName, "KESTRAVON RUVI");
    EXPECT_EQ(probe->hostHasInterfaceSupport, 1);
    EXPECT_EQ(probe->hostHasComponentHandler, 1);
    const std::vector<Vst3Effect::ParameterInfo> parameters = effect.parameters();
    ASSERT_EQ(parameters.size(), 4u);
    EXPECT_EQ(parameters[0].title, "Gain");
    EXPECT_EQ(parameters[0].units, "dB");
    EXPECT_EQ(parameters[0].normalized, 0.5);
    EXPECT_TRUE(parameters[1].readOnly);
    EXPECT_EQ(parameters[2].stepCount, 3);
}

TEST(Vst3EffectProcess, MonoHostDrivesAStereoPlugin) {
    // Mono is refused by the stereo-only plug-in, so it runs in stereo: the host channel
    // feeds both inputs and the host hears the average of both outputs.
    Vst3Effect effect;
    openOrFail(effect, "stereo_only", 1);
    ASSERT_TRUE(effect.setParameter(kFault, 1.0 / 3.0)); // the plug-in silences its right output
    const Block input = ramp(1, 100);
    Block output(1, 100);
    ASSERT_TRUE(effect.process(input.in(), output.out(), 100));
    TestplugProbe* probe = testplugProbe("stereo_only");
    EXPECT_EQ(probe->mainInputChannels, 2);
    EXPECT_EQ(probe->mainOutputChannels, 2);
    for (int k = 0; k < 100; ++k) {
        ASSERT_FLOAT_EQ(output.data[0][k], input.data[0][k] * 0.5f) << k;
    }
}

TEST(Vst3EffectProcess, MonoPluginStaysMono) {
    Vst3Effect effect;
    openOrFail(effect, "basic", 1);
    const Block input = ramp(1, 16);
    Block output(1, 16);
    ASSERT_TRUE(effect.process(input.in(), output.out(), 16));
    EXPECT_EQ(testplugProbe("basic")->mainInputChannels, 1);
    EXPECT_EQ(output.data[0], input.data[0]);
}

TEST(Vst3EffectProcess, ParameterValuesReachTheProcessorOnceAtOffsetZero) {
    Vst3Effect effect;
    openOrFail(effect, "basic");
    TestplugProbe* probe = testplugProbe("basic");
    ASSERT_TRUE(effect.setParameter(kGain, 0.25));
    ASSERT_TRUE(effect.setParameter(kFault, -3.0)); // clamped to 0
    EXPECT_FALSE(effect.setParameter(kMeter, 0.5)); // read-only
    EXPECT_FALSE(effect.setParameter(99, 0.5));     // unknown
    EXPECT_FALSE(effect.setParameter(kGain, std::numeric_limits<double>::infinity()));

    const Block input = ramp(2, 64);
    Block output(2, 64);
    ASSERT_TRUE(effect.process(input.in(), output.out(), 64));
    ASSERT_EQ(probe->changeCount, 2);
    EXPECT_EQ(probe->changeIds[0], kGain);
    EXPECT_EQ(probe->changeValues[0], 0.25);
    EXPECT_EQ(probe->changeOffsets[0], 0);
    EXPECT_EQ(probe->changePoints[0], 1);
    EXPECT_EQ(probe->changeIds[1], kFault);
    EXPECT_EQ(probe->changeValues[1], 0.0);
    EXPECT_FLOAT_EQ(output.data[0][5], input.data[0][5] * 0.5f);

    ASSERT_TRUE(effect.process(input.in(), output.out(), 64));
    EXPECT_EQ(probe->changeCount, 0);

    // A zero-frame call with no buffers delivers waiting values only.
    ASSERT_TRUE(effect.setParameter(kGain, 0.75));
    EXPECT_TRUE(effect.process(nullptr, nullptr, 0));
    EXPECT_EQ(probe->lastFrames, 0);
    EXPECT_EQ(probe->changeCount, 1);
    // Plug-ins that read changes only with audio get it again with the next real block.
    ASSERT_TRUE(effect.process(input.in(), output.out(), 64));
    ASSERT_EQ(probe->changeCount, 1);
    EXPECT_EQ(probe->changeIds[0], kGain);
    EXPECT_EQ(probe->changeValues[0], 0.75);
    ASSERT_TRUE(effect.process(input.in(), output.out(), 64));
    EXPECT_EQ(probe->changeCount, 0);
}

TEST(Vst3EffectProcess, ProcessAllocatesNothingAndTakesNoLock) {
#ifndef RUVI_COUNTING_HOOKS
    GTEST_SKIP() << "counting hooks are off under sanitizers";
#else
    Vst3Effect effect;
    openOrFail(effect, "params_4096", 2, 512);
    auto edit = testplugSymbol<TestplugEditFn>("params_4096", "ruviTestplugEdit");
    const Block input = ramp(2, 512);
    Block output(2, 512);
    // The hooks themselves must see traffic, or a zero below would prove nothing.
    hooksArmed = true;
    { std::vector<int> probeAllocation(3); }
    std::mutex probeMutex;
    probeMutex.lock();
    probeMutex.unlock();
    hooksArmed = false;
    ASSERT_GT(armedAllocations.exchange(0), 0);
    ASSERT_GT(armedLocks.exchange(0), 0);

    for (int block = 0; block < 50; ++block) {
        for (std::uint32_t id = 0; id < 64; ++id) {
            effect.setParameter(id * 7, (block % 10) / 10.0);
        }
        edit(1000, 64, 0.5, 0);
        hooksArmed = true;
        const bool ok = effect.process(input.in(), output.out(), block % 2 == 0 ? 512 : 128);
        const bool flushed = effect.process(nullptr, nullptr, 0);
        hooksArmed = false;
        ASSERT_TRUE(ok && flushed);
    }
    EXPECT_EQ(armedAllocations.load(), 0);
    EXPECT_EQ(armedLocks.load(), 0);
#endif
}

TEST(Vst3EffectProcess, LatencyPluginDelaysByWhatItReports) {
    // Other folders rely on this bundle for delay compensation.
    Vst3Effect effect;
    openOrFail(effect, "latency", 2, 48);
    ASSERT_EQ(effect.latencySamples(), 64);
    Block input(2, 48);
    Block output(2, 48);
    std::vector<float> heard;
    for (int block = 0; block < 3; ++block) {
        input.data[0][0] = block == 0 ? 1.0f : 0.0f;
        ASSERT_TRUE(effect.process(input.in(), output.out(), 48));
        heard.insert(heard.end(), output.data[0].begin(), output.data[0].end());
    }
    for (std::size_t k = 0; k < heard.size(); ++k) {
        ASSERT_EQ(heard[k], k == 64 ? 1.0f : 0.0f) << k;
    }
}

TEST(Vst3EffectProcess, RefusedBlocksAreSilenced) {
    Vst3Effect effect;
    openOrFail(effect, "basic", 2, 64);
    const Block input = ramp(2, 80);

    Block tooLong(2, 80);
    for (auto& channel : tooLong.data) {
        std::fill(channel.begin(), channel.end(), 7.0f);
    }
    EXPECT_FALSE(effect.process(input.in(), tooLong.out(), 65));
    EXPECT_EQ(tooLong.data[0][63], 0.0f);
    EXPECT_EQ(tooLong.data[0][64], 7.0f); // at most maxBlock samples are touched

    Block output(2, 64);
    EXPECT_FALSE(effect.process(input.in(), nullptr, 16));
    EXPECT_FALSE(effect.process(input.in(), output.out(), -1));
    std::array<float*, 2> halfMissing = {output.data[0].data(), nullptr};
    output.data[0][0] = 1.0f;
    EXPECT_FALSE(effect.process(input.in(), halfMissing.data(), 16));
    EXPECT_EQ(output.data[0][0], 0.0f);

    Vst3Effect empty;
    output.data[0][0] = 1.0f;
    EXPECT_FALSE(empty.process(input.in(), output.out(), 16));
    EXPECT_EQ(output.data[0][0], 1.0f); // nothing is open: outputs untouched
}

TEST(Vst3EffectProcess, NonFiniteSamples) {
    Vst3Effect effect;
    openOrFail(effect, "basic");
    Block input = ramp(2, 32);
    input.data[0][4] = std::numeric_limits<float>::quiet_NaN();
    input.data[1][5] = -std::numeric_limits<float>::infinity();
    Block output(2, 32);
    ASSERT_TRUE(effect.process(input.in(), output.out(), 32));
    EXPECT_EQ(output.data[0][4], 0.0f);
    EXPECT_EQ(output.data[1][5], 0.0f);
    EXPECT_EQ(output.data[0][6], input.data[0][6]);

    // Silent and missing channels are flagged silent.
    Block quiet(2, 32);
    quiet.data[1][3] = 0.5f;
    ASSERT_TRUE(effect.process(quiet.in(), output.out(), 32));
    EXPECT_EQ(testplugProbe("basic")->inputSilence, 1u);
    ASSERT_TRUE(effect.process(nullptr, output.out(), 32));
    EXPECT_EQ(testplugProbe("basic")->inputSilence, 3u);

    for (double fault : {2.0 / 3.0, 1.0}) { // NaN, then infinity in the plug-in's output
        ASSERT_TRUE(effect.setParameter(kFault, fault));
        EXPECT_FALSE(effect.process(input.in(), output.out(), 32));
        for (const auto& channel : output.data) {
            for (float sample : channel) {
                ASSERT_EQ(sample, 0.0f);
            }
        }
    }
}

TEST(Vst3EffectProcess, RestartFlags) {
    struct Case {
        int flags;
        bool rebuild;
    };
    for (const Case c :
         {Case{1, true}, Case{2, true}, Case{4, false}, Case{8, true}, Case{16, false}}) {
        SCOPED_TRACE(c.flags);
        Vst3Effect effect;
        openOrFail(effect, "basic");
        auto restart = testplugSymbol<TestplugRestartFn>("basic", "ruviTestplugRestart");
        ASSERT_NE(restart, nullptr);
        EXPECT_EQ(restart(c.flags), 0);
        EXPECT_EQ(effect.needsReconfiguration(), c.rebuild);
        const Block input = ramp(2, 32);
        Block output = ramp(2, 32);
        EXPECT_EQ(effect.process(input.in(), output.out(), 32), !c.rebuild);
        if (c.rebuild) {
            EXPECT_EQ(output.data[0][1], 0.0f);
            // Waiting values still reach the processor, so a state capture can go on.
            EXPECT_TRUE(effect.process(nullptr, nullptr, 0));
        }
    }
}

TEST(Vst3EffectParameters, ParamValuesChangedReportsOnlyMovedValues) {
    Vst3Effect effect;
    openOrFail(effect, "basic");
    auto setOwn =
        testplugSymbol<TestplugControllerValueFn>("basic", "ruviTestplugSetControllerValue");
    auto restart = testplugSymbol<TestplugRestartFn>("basic", "ruviTestplugRestart");
    setOwn(3, 0.125);
    setOwn(kMeter, 0.9); // read-only: never re-read
    restart(4);
    const auto updates = effect.pollParameterChanges(16);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].id, 3u);
    EXPECT_EQ(updates[0].normalized, 0.125);
    EXPECT_FALSE(effect.needsReconfiguration());
    EXPECT_TRUE(effect.pollParameterChanges(16).empty()); // the flag was consumed

    const Block input = ramp(2, 8);
    Block output(2, 8);
    ASSERT_TRUE(effect.process(input.in(), output.out(), 8));
    TestplugProbe* probe = testplugProbe("basic");
    ASSERT_EQ(probe->changeCount, 1); // the re-read value also goes to the processor
    EXPECT_EQ(probe->changeIds[0], 3u);
}

TEST(Vst3EffectParameters, PluginEditsReachThePollRoundRobin) {
    Vst3Effect effect;
    openOrFail(effect, "params_4096");
    auto edit = testplugSymbol<TestplugEditFn>("params_4096", "ruviTestplugEdit");
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(effect.pollParameterChanges(0).empty());
    edit(10, 3000, 0.5, 0);                              // ids 10..3009
    EXPECT_TRUE(effect.pollParameterChanges(0).empty()); // consumes nothing

    std::vector<std::uint32_t> seen;
    for (int poll = 0; poll < 3; ++poll) {
        const auto updates = effect.pollParameterChanges(1000);
        ASSERT_EQ(updates.size(), 1000u) << poll;
        for (const auto& update : updates) {
            EXPECT_EQ(update.normalized, 0.5);
            seen.push_back(update.id);
        }
    }
    EXPECT_TRUE(effect.pollParameterChanges(1000).empty());
    ASSERT_EQ(seen.size(), 3000u);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], 10u + i);
    }

    // The next walk starts after the last visited parameter and wraps around.
    edit(5, 1, 0.25, 0);
    edit(3500, 1, 0.75, 0);
    const auto wrapped = effect.pollParameterChanges(1);
    ASSERT_EQ(wrapped.size(), 1u);
    EXPECT_EQ(wrapped[0].id, 3500u);
    const auto rest = effect.pollParameterChanges(10);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].id, 5u);
}

TEST(Vst3EffectParameters, PluginEditRules) {
    Vst3Effect effect;
    openOrFail(effect, "basic");
    auto edit = testplugSymbol<TestplugEditFn>("basic", "ruviTestplugEdit");
    edit(3, 1, 1.5, 0);      // clamped
    edit(kMeter, 1, 0.3, 0); // read-only: refused
    edit(77, 1, 0.3, 0);     // unknown: refused
    const auto updates = effect.pollParameterChanges(8);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].id, 3u);
    EXPECT_EQ(updates[0].normalized, 1.0);
    EXPECT_EQ(effect.parameters()[3].normalized, 1.0);
}

TEST(Vst3EffectParameters, HostValuesReachTheControllerOnPoll) {
    Vst3Effect effect;
    openOrFail(effect, "basic");
    auto controllerValue =
        testplugSymbol<TestplugControllerGetFn>("basic", "ruviTestplugControllerValue");
    ASSERT_TRUE(effect.setParameter(3, 0.625));
    EXPECT_EQ(controllerValue(3), 0.0);
    // Host changes are not reported back as plug-in edits, but the poll tells the controller.
    EXPECT_TRUE(effect.pollParameterChanges(8).empty());
    EXPECT_EQ(controllerValue(3), 0.625);
}

TEST(Vst3EffectThreading, EditsFromThePluginThreadReachThePoll) {
    Vst3Effect effect;
    openOrFail(effect, "basic");
    auto edit = testplugSymbol<TestplugEditFn>("basic", "ruviTestplugEdit");
    std::vector<Vst3Effect::ParameterUpdate> updates;
    std::thread audio([&effect] {
        const Block input = ramp(2, 64);
        Block output(2, 64);
        for (int block = 0; block < 200; ++block) {
            effect.process(input.in(), output.out(), 64);
        }
    });
    for (int round = 0; round < 50; ++round) {
        edit(0, 1, round / 100.0, 1); // performEdit on a thread of the plug-in's own
        const auto polled = effect.pollParameterChanges(8);
        updates.insert(updates.end(), polled.begin(), polled.end());
    }
    audio.join();
    ASSERT_FALSE(updates.empty());
    EXPECT_EQ(updates.back().id, kGain);
    EXPECT_EQ(updates.back().normalized, 0.49);
}

} // namespace
} // namespace kestravon::ruvi
