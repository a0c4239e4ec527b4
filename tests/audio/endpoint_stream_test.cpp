#include "audio/endpoint_stream.h"

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
using testing::trimmedQueue;

TEST(EndpointStream, RingIsSizedForTheResamplerTarget) {
    // 480-frame buffer, 48 kHz: the classic request of 18368 frames stands.
    const double t48 = resamplerTargetFrames(480, 48000, 48000, 48000, 128);
    EXPECT_DOUBLE_EQ(t48, 64.0 + 480 + 128);
    EXPECT_EQ(ringRequestFrames(480, t48), 18368u);
    // 192 kHz capture in a 48 kHz session with 4096-frame blocks and a 1920-frame buffer: the
    // target alone (64 + 2 x 4 x 4096) exceeds the classic request's 32768 frames.
    const double t192 = resamplerTargetFrames(1920, 192000, 192000, 48000, 4096);
    EXPECT_DOUBLE_EQ(t192, 64.0 + 2.0 * 4096 * 4);
    const std::uint64_t request = ringRequestFrames(1920, t192);
    EXPECT_EQ(request, static_cast<std::uint64_t>(2 * (t192 + 64.0)) + 1920);
    // Render ring at the session rate for a 44.1 kHz device: fractional frames kept.
    EXPECT_DOUBLE_EQ(resamplerTargetFrames(441, 48000, 44100, 48000, 100),
                     64.0 + std::max(441.0 * 48000 / 44100 + 100, 200.0));
}

// Runs a capture endpoint of the given format into a 48 kHz session and returns what the
// callback received on its first channel once primed.
struct CaptureRun {
    BackendStatus status;
    std::vector<float> output;
    std::uint64_t masterDryFrames = 0; // the output played without data (a stalled machine)
};

CaptureRun runCapture(VirtualEndpointSetup input, double seconds, int block = 128) {
    auto set = std::make_shared<VirtualEndpointSet>();
    set->add(input);
    auto out = endpoint("out", DataFlow::render);
    out.recordFrames = static_cast<std::uint64_t>(48000 * (seconds + 1));
    out.sharedBufferFrames = 2048;
    out.lowLatencyShared = false;
    auto output = set->add(out);
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    std::string error;
    EXPECT_TRUE(backend.start(config({"virtual:" + input.name}, {"virtual:out"}, "", 48000, block),
                              probeCallback, &probe, error))
        << error;
    runFor(seconds);
    CaptureRun run;
    // A scheduling stall of the machine may have just resynchronised the resampler: read the
    // status once it is primed again.
    eventually(
        [&] {
            run.status = backend.status();
            const EndpointStatus* s = streamOf(run.status, "virtual:" + input.name);
            return s == nullptr || s->primed || s->status != "running";
        },
        2.0);
    backend.stop();
    run.masterDryFrames = output->underrunFrames();
    const std::vector<float> recorded = output->recorded();
    for (std::size_t i = 0; i < recorded.size(); i += 2) {
        run.output.push_back(recorded[i]);
    }
    return run;
}

TEST(EndpointStreamThreading, HighRateDriftingCaptureDeliversItsToneAtTheSessionRate) {
    auto in = endpoint("in", DataFlow::capture, makeWaveFormat(false, 2, 96000, 24), "Fast In");
    in.driftPpm = 100.0;
    in.toneHz = 1000.0;
    in.amplitude = 0.5;
    in.lowLatencyShared = false;
    in.sharedBufferFrames = 2880;
    const CaptureRun run = runCapture(in, 2.0);
    const EndpointStatus* s = streamOf(run.status, "virtual:in");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->status, "running");
    EXPECT_EQ(s->sampleRate, 96000);
    EXPECT_EQ(s->name, "Fast In");
    EXPECT_EQ(s->periodFrames, 960);
    EXPECT_TRUE(s->primed);
    EXPECT_GT(s->startupMissingFrames, 0) << "silence until the resampler primes";
    EXPECT_NEAR(s->correctionPpm, 100.0, 1000.0);
    EXPECT_NEAR(s->targetQueueMilliseconds, (64.0 + 2880 + 256) * 1000.0 / 96000, 1e-9);
    EXPECT_GT(s->queueMilliseconds, 0.0);
    // This VM stalls whole vCPUs for up to about 100 ms under load: a stalled capture thread
    // starves the master for up to ~38 periods of 128 frames, each one xrun. A fault that keeps
    // the queue short glitches every period (750 in two seconds).
    EXPECT_LE(run.status.xruns, 50) << "bounded glitches in a two-second real-time run";
    const testing::ToneFit fit = testing::medianFit(run.output, 48000.0, 1000.0);
    EXPECT_NEAR(fit.frequency, 1000.1, 0.5);
    EXPECT_NEAR(fit.amplitude, 0.5, 0.01);
    EXPECT_LT(fit.thdPlusNoiseDb, -50.0);
    std::printf("96 kHz capture at +100 ppm through the backend: %.3f Hz, THD+N %.1f dB\n",
                fit.frequency, fit.thdPlusNoiseDb);
}

TEST(EndpointStreamThreading, HighRateCaptureWithLargeBlocksPrimes) {
    // 192 kHz into 48 kHz with 4096-frame blocks and a 10 ms device buffer: the priming fill
    // (32832 frames) is beyond the classic 32768-frame ring.
    auto in = endpoint("in", DataFlow::capture, makeWaveFormat(true, 2, 192000, 32));
    in.lowLatencyShared = false;
    in.sharedBufferFrames = 1920;
    in.defaultPeriod100ns = 100000;
    const CaptureRun run = runCapture(in, 1.5, 4096);
    const EndpointStatus* s = streamOf(run.status, "virtual:in");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->status, "running");
    EXPECT_TRUE(s->primed);
    // Once primed the queue never ran dry; it only passes over what its device delivered while
    // the master played without data.
    EXPECT_LE(s->missingFrames, static_cast<std::int64_t>(run.masterDryFrames));
}

TEST(EndpointStreamThreading, FailedLowLatencyInitFallsBackToTheClassicPeriod) {
    auto in = endpoint("in", DataFlow::capture);
    in.failLowLatencyInit = true;
    in.sharedBufferFrames = 1440;
    const CaptureRun run = runCapture(in, 0.5);
    const EndpointStatus* s = streamOf(run.status, "virtual:in");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->status, "running");
    EXPECT_FALSE(s->lowLatencyShared);
    EXPECT_EQ(s->periodFrames, 480);
    EXPECT_EQ(s->bufferFrames, 1440);
}

TEST(EndpointStreamThreading, PacketFlagsAreCountedAndSilentPacketsDecodeToZeros) {
    auto in = endpoint("in", DataFlow::capture, makeWaveFormat(false, 2, 48000, 16));
    in.signal = VirtualSignal::tone;
    in.amplitude = 0.5;
    in.lowLatencyShared = false;
    in.sharedBufferFrames = 1440;
    in.packetFlags = {
        {0, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY}, {0, AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR},
        {3, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY}, {4, AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR},
        {5, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY}, {6, AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR}};
    for (std::uint64_t p = 20; p < 40; ++p) {
        in.packetFlags.emplace_back(p, AUDCLNT_BUFFERFLAGS_SILENT);
    }
    const CaptureRun run = runCapture(in, 1.0);
    const EndpointStatus* s = streamOf(run.status, "virtual:in");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->startupDiscontinuities, 2);
    EXPECT_EQ(s->discontinuities, 4);
    EXPECT_GE(run.status.xruns, 2) << "discontinuities after the first packet are glitches";
    // Packets 20 to 39 (200 ms) were flagged silent: the output holds a silent stretch of
    // nearly that length between tone.
    std::size_t longestSilence = 0, current = 0;
    bool toneBefore = false;
    for (const float v : run.output) {
        if (v == 0.0f) {
            ++current;
        } else {
            if (toneBefore) {
                longestSilence = std::max(longestSilence, current);
            }
            toneBefore = true;
            current = 0;
        }
    }
    EXPECT_NEAR(static_cast<double>(longestSilence), 9600.0, 200.0);
}

TEST(EndpointStreamThreading, ExclusiveMasterRunsAtTheSessionRate) {
    auto set = std::make_shared<VirtualEndpointSet>();
    auto out = endpoint("out", DataFlow::render, makeWaveFormat(false, 2, 44100, 24), "Hw Out");
    out.recordFrames = 48000;
    auto device = set->add(out);
    WasapiBackend backend(catalogueOf(set));
    AudioDeviceConfig cfg = config({}, {"virtual:out"}, "", 48000, 256);
    cfg.outputs[0].exclusive = true;
    Probe probe;
    probe.toneHz = 500.0;
    std::string error;
    ASSERT_TRUE(backend.start(cfg, probeCallback, &probe, error)) << error;
    ASSERT_TRUE(eventually([&] { return device->framesReleased() >= 48000; }));
    const BackendStatus s = backend.status();
    backend.stop();
    ASSERT_EQ(s.streams.size(), 1u);
    EXPECT_EQ(s.streams[0].sampleRate, 48000) << "the stream's rate follows the session";
    EXPECT_EQ(s.streams[0].bufferFrames, 256);
    EXPECT_EQ(s.streams[0].periodFrames, 256);
    EXPECT_EQ(device->sampleRate(), 48000);
    EXPECT_EQ(probe.maxFrames.load(), 256);
    EXPECT_EQ(probe.minFrames.load(), 256) << "exclusive mode writes whole buffers";
    EXPECT_DOUBLE_EQ(probe.sampleRate.load(), 48000.0);
    std::vector<float> left;
    const std::vector<float> rec = device->recorded();
    for (std::size_t i = 0; i < rec.size(); i += 2) {
        left.push_back(rec[i]);
    }
    const testing::ToneFit fit = testing::medianFit(left, 48000.0, 500.0);
    EXPECT_NEAR(fit.frequency, 500.0, 0.05);
    EXPECT_LT(fit.thdPlusNoiseDb, -100.0) << "24-bit output";
}

// A capture "in" and two outputs, "out" (the clock master) and "second".
std::shared_ptr<VirtualEndpointSet> inputAndTwoOutputs() {
    auto set = std::make_shared<VirtualEndpointSet>();
    set->add(endpoint("in", DataFlow::capture));
    set->add(endpoint("out", DataFlow::render));
    set->add(endpoint("second", DataFlow::render));
    return set;
}

void startInputAndTwoOutputs(WasapiBackend& backend, Probe& probe) {
    std::string error;
    ASSERT_TRUE(backend.start(config({"virtual:in"}, {"virtual:out", "virtual:second"}),
                              probeCallback, &probe, error))
        << error;
}

TEST(EndpointStreamThreading, MasterRemovalHaltsTheBackendAndTheOthersEndStopped) {
    const auto set = inputAndTwoOutputs();
    const auto master = set->find("virtual:out");
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    ASSERT_NO_FATAL_FAILURE(startInputAndTwoOutputs(backend, probe));
    ASSERT_TRUE(eventually([&] { return probe.calls.load() > 50; }));
    master->remove();
    ASSERT_TRUE(eventually([&] {
        const BackendStatus s = backend.status();
        return !s.running && streamOf(s, "virtual:in")->status == "stopped" &&
               streamOf(s, "virtual:second")->status == "stopped";
    })) << "other endpoints leave at their next wake-up";
    const BackendStatus s = backend.status();
    EXPECT_EQ(streamOf(s, "virtual:out")->status, "fault HRESULT 0x88890004");
    EXPECT_EQ(s.error, "fault HRESULT 0x88890004 (virtual:out)");
    EXPECT_GE(s.xruns, 1);

    // A halted backend starts again once the device is back; the old threads are joined first.
    std::string again;
    EXPECT_FALSE(
        backend.start(config({"virtual:in"}, {"virtual:out"}), probeCallback, &probe, again));
    EXPECT_EQ(again, "Selected endpoint absent from current device catalogue or wrong "
                     "direction: virtual:out");
    ASSERT_TRUE(
        backend.start(config({"virtual:in"}, {"virtual:second"}), probeCallback, &probe, again))
        << again;
    EXPECT_TRUE(backend.status().running);
    EXPECT_EQ(backend.status().error, "");
}

TEST(EndpointStreamThreading, ALateStreamThreadCostsAGlitchNotLatency) {
    // One endpoint's thread is not scheduled for 80 ms while its device keeps time: a capture
    // device keeps its backlog and hands it over at once, an output plays without data while
    // its queue fills. A queue left holding the stretch would hold it for minutes at the fill
    // correction's 500 ppm.
    // Audio a queue passes over is reported as missing, so a take knows of the gap.
    struct Case {
        std::string late, watched;
    };
    const Case cases[] = {
        {"virtual:in", "virtual:in"},         // the master finds the backlog after a dry queue
        {"virtual:second", "virtual:second"}, // the output reports the time it played dry
        {"virtual:out", "virtual:in"},        // the master did not take the capture meanwhile
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.late);
        const auto set = inputAndTwoOutputs();
        WasapiBackend backend(catalogueOf(set));
        Probe probe;
        ASSERT_NO_FATAL_FAILURE(startInputAndTwoOutputs(backend, probe));
        ASSERT_TRUE(eventually([&] {
            const BackendStatus s = backend.status();
            return streamOf(s, "virtual:in")->primed && streamOf(s, "virtual:second")->primed;
        }));
        runFor(0.2);
        set->find(c.late)->setLate(true);
        runFor(0.08);
        set->find(c.late)->setLate(false);
        // The backlog arrives, and a queue that kept it would keep it for minutes.
        runFor(0.3);
        // The queue its consumer publishes, the bound and the glitch count, read together. A
        // loaded machine may stall the threads again; the queue must come back all the same.
        double ms = 0.0, trimmed = 0.0;
        std::int64_t xruns = 0;
        const bool back = eventually(
            [&] {
                const BackendStatus s = backend.status();
                const EndpointStatus* e = streamOf(s, c.watched);
                ms = e->queueMilliseconds;
                trimmed = trimmedQueue(*e);
                xruns = s.xruns;
                return xruns >= 1 && ms <= trimmed;
            },
            2.0);
        EXPECT_TRUE(back) << "queue " << ms << " ms, trimmed beyond " << trimmed << " ms, xruns "
                          << xruns;
        const BackendStatus s = backend.status();
        EXPECT_TRUE(s.running);
        EXPECT_GT(streamOf(s, c.watched)->missingFrames, 0);
        backend.stop();
    }
}

TEST(EndpointStreamThreading, StalledMasterEventTimesOut) {
    auto set = std::make_shared<VirtualEndpointSet>();
    auto master = set->add(endpoint("out", DataFlow::render));
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    std::string error;
    ASSERT_TRUE(backend.start(config({}, {"virtual:out"}), probeCallback, &probe, error));
    ASSERT_TRUE(eventually([&] { return probe.calls.load() > 10; }));
    master->setStalled(true);
    // The stalled thread's own time-out is 2 s; the ceiling is for one that never fires.
    ASSERT_TRUE(eventually([&] { return !backend.status().running; }, 30.0));
    EXPECT_EQ(backend.status().streams[0].status, "fault HRESULT 0x800705b4");
}

TEST(EndpointStreamThreading, StopWhileASecondaryWaitsForItsRingEndsStopped) {
    auto set = std::make_shared<VirtualEndpointSet>();
    auto master = set->add(endpoint("out", DataFlow::render));
    set->add(endpoint("second", DataFlow::render));
    master->setStalled(true); // the master never feeds the secondary's ring
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    std::string error;
    ASSERT_TRUE(
        backend.start(config({}, {"virtual:out", "virtual:second"}), probeCallback, &probe, error));
    runFor(0.3);
    backend.stop();
    const BackendStatus s = backend.status();
    EXPECT_FALSE(s.running);
    EXPECT_EQ(streamOf(s, "virtual:second")->status, "stopped");
    EXPECT_EQ(streamOf(s, "virtual:out")->status, "stopped") << "a stop never reads as a fault";
    EXPECT_EQ(s.error, "");
    EXPECT_EQ(probe.calls.load(), 0);
}

TEST(EndpointStreamThreading, CaptureRemovalSilencesOnlyThatEndpoint) {
    auto set = std::make_shared<VirtualEndpointSet>();
    auto in = endpoint("in", DataFlow::capture);
    in.amplitude = 0.5;
    auto input = set->add(in);
    set->add(endpoint("out", DataFlow::render));
    WasapiBackend backend(catalogueOf(set));
    Probe probe;
    std::string error;
    ASSERT_TRUE(
        backend.start(config({"virtual:in"}, {"virtual:out"}), probeCallback, &probe, error));
    ASSERT_TRUE(eventually([&] { return probe.lastInputPeak.load() > 0.4f; }));
    input->remove();
    ASSERT_TRUE(eventually(
        [&] { return backend.status().streams[0].status == "fault HRESULT 0x88890004"; }));
    const std::int64_t calls = probe.calls.load();
    ASSERT_TRUE(eventually([&] { return probe.calls.load() > calls + 20; }));
    EXPECT_EQ(probe.lastInputPeak.load(), 0.0f);
    EXPECT_EQ(probe.inputCount.load(), 2) << "a faulted endpoint keeps its channels";
    const BackendStatus s = backend.status();
    EXPECT_TRUE(s.running);
    EXPECT_EQ(s.error, "fault HRESULT 0x88890004 (virtual:in)");
}

} // namespace
} // namespace kestravon::ruvi
