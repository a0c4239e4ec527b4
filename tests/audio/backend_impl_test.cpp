#include "audio/backend_impl.h"

#include <gtest/gtest.h>

#include "backend_test_support.h"
#include "tests/support/tone_analysis.h"

namespace kestravon::ruvi {
namespace {

using testing::catalogueOf;
using testing::config;
using testing::endpoint;
using testing::eventually;
using testing::Probe;
using testing::probeCallback;
using testing::runFor;
using testing::streamOf;

TEST(MasterPeriodThreading, CallbackContractAndCounters) {
    auto set = VirtualEndpointSet::makeDefault();
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    std::string error;
    ASSERT_TRUE(backend.start(config({"virtual:tone-input"}, {"virtual:output"}), probeCallback,
                              &probe, error))
        << error;
    std::string again;
    EXPECT_FALSE(backend.start(config({}, {"virtual:output"}), probeCallback, &probe, again));
    EXPECT_EQ(again, "Backend already running; stop before reconfiguration.");

    runFor(0.5);
    const BackendStatus a = backend.status();
    runFor(2.0);
    const BackendStatus b = backend.status();
    // Long-run rate: the virtual clock catches up after late wake-ups, so the count follows
    // device time, not the number of wake-ups.
    const double perSecond = static_cast<double>(b.callbacks - a.callbacks) / 2.0;
    EXPECT_NEAR(perSecond, 48000.0 / 128.0, 0.05 * 48000.0 / 128.0);
    EXPECT_TRUE(b.running);
    EXPECT_EQ(b.sampleRate, 48000);
    EXPECT_EQ(b.blockFrames, 128);
    EXPECT_EQ(b.inputChannels, 2);
    EXPECT_EQ(b.outputChannels, 2);
    EXPECT_GT(b.maximumCallbackMs, 0.0);
    EXPECT_GT(b.maximumRenderWorkMs, 0.0);
    EXPECT_NEAR(b.reportedOutputMs, 128.0 / 48.0, 1e-3);
    EXPECT_EQ(probe.inputCount.load(), 2);
    EXPECT_EQ(probe.outputCount.load(), 2);
    EXPECT_EQ(probe.maxFrames.load(), 128);
    EXPECT_DOUBLE_EQ(probe.sampleRate.load(), 48000.0);
    ASSERT_EQ(b.streams.size(), 2u);
    const EndpointStatus& in = b.streams[0];
    const EndpointStatus& out = b.streams[1];
    EXPECT_EQ(in.id, "virtual:tone-input");
    EXPECT_EQ(in.name, "Virtual Test Tone");
    EXPECT_EQ(in.status, "running");
    EXPECT_TRUE(in.lowLatencyShared);
    EXPECT_EQ(in.periodFrames, 128);
    EXPECT_EQ(in.bufferFrames, 384);
    EXPECT_TRUE(in.primed);
    EXPECT_GT(in.startupMissingFrames, 0);
    EXPECT_EQ(b.startupMissingFrames, in.startupMissingFrames);
    EXPECT_NEAR(in.targetQueueMilliseconds, (64.0 + 384 + 128) / 48.0, 1e-9);
    EXPECT_EQ(out.firstChannel, 0);
    EXPECT_EQ(out.correctionPpm, 0.0);
    EXPECT_EQ(out.queueMilliseconds, 0.0);
    EXPECT_EQ(out.targetQueueMilliseconds, 0.0);
    EXPECT_TRUE(out.primed);
    EXPECT_NEAR(probe.lastInputPeak.load(), 0.1f, 0.01f) << "the test tone reaches the callback";

    backend.stop();
    const BackendStatus c = backend.status();
    EXPECT_FALSE(c.running);
    EXPECT_GE(c.callbacks, b.callbacks) << "counters survive the stop";
    EXPECT_EQ(c.streams[0].status, "stopped");
    EXPECT_EQ(c.streams[1].status, "stopped");
    EXPECT_EQ(c.error, "");
    EXPECT_EQ(c.sampleRate, 48000);
}

TEST(MasterPeriodThreading, SecondaryOutputGetsTheMixResampledAndSanitised) {
    auto set = std::make_shared<VirtualEndpointSet>();
    set->add(endpoint("out", DataFlow::render));
    auto second = endpoint("second", DataFlow::render, makeWaveFormat(false, 2, 44100, 16));
    second.driftPpm = -100.0;
    second.recordFrames = 3 * 44100;
    second.lowLatencyShared = false;
    auto device = set->add(second);
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    probe.toneHz = 1000.0;
    probe.nanChannel = 3; // the second endpoint's right channel
    std::string error;
    ASSERT_TRUE(
        backend.start(config({}, {"virtual:out", "virtual:second"}), probeCallback, &probe, error))
        << error;
    ASSERT_TRUE(eventually([&] { return device->framesReleased() >= 2 * 44100; }));
    BackendStatus s;
    eventually([&] {
        s = backend.status();
        return s.streams[1].primed;
    });
    backend.stop();
    const EndpointStatus* st = streamOf(s, "virtual:second");
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->status, "running");
    EXPECT_EQ(st->firstChannel, 2);
    EXPECT_EQ(st->sampleRate, 44100);
    EXPECT_TRUE(st->primed);
    EXPECT_NEAR(st->targetQueueMilliseconds, (64.0 + 1323.0 * 48000 / 44100 + 128) / 48.0, 1e-9);
    const std::vector<float> rec = device->recorded();
    std::vector<float> left;
    float rightPeak = 0.0f;
    for (std::size_t i = 0; i + 1 < rec.size(); i += 2) {
        left.push_back(rec[i]);
        rightPeak = std::max(rightPeak, std::fabs(rec[i + 1]));
    }
    EXPECT_EQ(rightPeak, 0.0f) << "NaN from the callback becomes silence";
    const testing::ToneFit fit = testing::medianFit(left, 44100.0, 1000.0);
    EXPECT_NEAR(fit.frequency, 1000.0, 0.6);
    EXPECT_NEAR(fit.amplitude, 0.25, 0.01);
}

TEST(MasterPeriodThreading, StalledSecondaryOutputFaultsAloneWithRingOverflow) {
    auto set = std::make_shared<VirtualEndpointSet>();
    set->add(endpoint("out", DataFlow::render));
    auto second = set->add(endpoint("second", DataFlow::render));
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    std::string error;
    ASSERT_TRUE(
        backend.start(config({}, {"virtual:out", "virtual:second"}), probeCallback, &probe, error));
    ASSERT_TRUE(eventually([&] { return backend.status().streams[1].primed; }));
    second->setStalled(true);
    ASSERT_TRUE(eventually(
        [&] { return backend.status().streams[1].status == "fault HRESULT 0x88890006"; }));
    const std::int64_t calls = probe.calls.load();
    ASSERT_TRUE(eventually([&] { return probe.calls.load() > calls + 50; }));
    runFor(2.5); // past the stalled thread's own 2-second event time-out
    const BackendStatus s = backend.status();
    EXPECT_TRUE(s.running);
    EXPECT_EQ(s.streams[0].status, "running");
    EXPECT_EQ(s.streams[1].status, "fault HRESULT 0x88890006") << "the first fault is kept";
    EXPECT_EQ(s.streams[1].missingFrames, 128) << "the chunk that no longer fitted";
    EXPECT_EQ(s.error, "fault HRESULT 0x88890006 (virtual:second)");
    EXPECT_GE(s.xruns, 1);
}

TEST(MasterPeriodThreading, AggregateChannelLimit) {
    for (const int extra : {0, 1}) {
        auto set = std::make_shared<VirtualEndpointSet>();
        std::vector<std::string> inputs;
        for (int i = 0; i < 4; ++i) {
            auto in = endpoint("wide" + std::to_string(i), DataFlow::capture,
                               makeWaveFormat(true, 64, 48000, 32));
            set->add(in);
            inputs.push_back("virtual:wide" + std::to_string(i));
        }
        if (extra > 0) {
            set->add(endpoint("one", DataFlow::capture, makeWaveFormat(true, 1, 48000, 32)));
            inputs.push_back("virtual:one");
        }
        set->add(endpoint("out", DataFlow::render));
        WasapiBackend backend(catalogueOf(set));
        Probe probe;
        std::string error;
        const bool started =
            backend.start(config(inputs, {"virtual:out"}), probeCallback, &probe, error);
        if (extra == 0) {
            ASSERT_TRUE(started) << error;
            ASSERT_TRUE(eventually([&] { return probe.calls.load() > 5; }));
            EXPECT_EQ(probe.inputCount.load(), 256);
            EXPECT_EQ(backend.status().streams[3].firstChannel, 192);
        } else {
            EXPECT_FALSE(started);
            EXPECT_EQ(error, "Negotiated aggregate exceeds prepared channel limit.");
            EXPECT_EQ(backend.status().error, error);
        }
    }
}

} // namespace
} // namespace kestravon::ruvi
