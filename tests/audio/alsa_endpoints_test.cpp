#include "audio/alsa_endpoints.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "audio/performance_counter.h"
#include "backend_test_support.h"
#include "pipewire_session.h"
#include "tests/support/tone_analysis.h"

namespace kestravon::ruvi {
namespace {

using testing::config;
using testing::eventually;
using testing::runFor;
using testing::streamOf;

TEST(AlsaEndpoints, ErrorsMapToTheClosestResult) {
    EXPECT_EQ(hresultFromAlsa(-EBUSY), AUDCLNT_E_DEVICE_IN_USE);
    EXPECT_EQ(hresultFromAlsa(-ENODEV), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(hresultFromAlsa(-ENOENT), hresult(0x80070002u));
    EXPECT_EQ(hresultFromAlsa(-EINVAL), hresult(0x80070016u));
}

// What the callback heard and when it ran, kept in storage sized before the start.
struct Recorder {
    explicit Recorder(std::size_t frames, std::size_t calls) : input(frames), callTimes(calls) {}
    std::vector<float> input;
    std::atomic<std::size_t> inputFrames{0};
    std::vector<std::int64_t> callTimes;
    std::atomic<std::size_t> callCount{0};
    double phase = 0.0;
};

void recordingCallback(void* user, const float* const* inputs, std::int32_t inputCount,
                       float* const* outputs, std::int32_t outputCount, std::int32_t frames,
                       double sampleRate) {
    auto& r = *static_cast<Recorder*>(user);
    const std::size_t call = r.callCount.load(std::memory_order_relaxed);
    if (call < r.callTimes.size()) {
        r.callTimes[call] = monotonicNanoseconds();
        r.callCount.store(call + 1, std::memory_order_release);
    }
    const std::size_t at = r.inputFrames.load(std::memory_order_relaxed);
    if (inputCount > 0 && at + static_cast<std::size_t>(frames) <= r.input.size()) {
        std::copy_n(inputs[0], frames, r.input.begin() + static_cast<std::ptrdiff_t>(at));
        r.inputFrames.store(at + static_cast<std::size_t>(frames), std::memory_order_release);
    }
    for (int i = 0; i < frames; ++i) {
        const auto v = static_cast<float>(0.25 * std::sin(r.phase));
        r.phase = std::fmod(r.phase + 2.0 * 3.14159265358979323846 * 1000.0 / sampleRate,
                            2.0 * 3.14159265358979323846);
        for (int c = 0; c < outputCount; ++c) {
            outputs[c][i] = v;
        }
    }
}

// Callbacks per second as the slope of a least-squares line through their times.
double callbackRate(const Recorder& r, std::size_t skip) {
    const std::size_t n = r.callCount.load(std::memory_order_acquire);
    double st = 0, sk = 0, stt = 0, stk = 0;
    const double count = static_cast<double>(n - skip);
    for (std::size_t k = skip; k < n; ++k) {
        const double t = static_cast<double>(r.callTimes[k] - r.callTimes[skip]) * 1e-9;
        st += t;
        sk += static_cast<double>(k);
        stt += t * t;
        stk += t * static_cast<double>(k);
    }
    return (count * stk - st * sk) / (count * stt - st * st);
}

class AlsaEndpointsIntegration : public ::testing::Test {
protected:
    static void SetUpTestSuite() { session_ = new testing::PipeWireSession(); }
    static void TearDownTestSuite() {
        delete session_;
        session_ = nullptr;
    }
    void SetUp() override {
        if (!session_->failure().empty()) {
            GTEST_SKIP() << "PipeWire session could not start here: " << session_->failure();
        }
    }
    static testing::PipeWireSession* session_;
};

testing::PipeWireSession* AlsaEndpointsIntegration::session_ = nullptr;

const std::string kSinkA = "alsa:playback:pipewire:NODE=ruvi-null-a";
const std::string kMonitorA = "alsa:monitor:pipewire:NODE=ruvi-null-a";
const std::string kSinkB = "alsa:playback:pipewire:NODE=ruvi-null-b";

TEST_F(AlsaEndpointsIntegration, NullSinksAndTheirMonitorsAreListed) {
    EndpointCatalogue catalogue({std::make_shared<AlsaEndpointProvider>()});
    std::vector<EndpointInfo> list;
    std::string error;
    enumerateEndpoints(catalogue, list, error);
    EXPECT_EQ(error, "");
    int found = 0;
    for (const EndpointInfo& e : list) {
        if (e.id == kSinkA || e.id == kMonitorA || e.id == kSinkB) {
            ++found;
            EXPECT_TRUE(e.available) << e.id;
            EXPECT_EQ(e.channels, 2) << e.id;
            EXPECT_EQ(e.sampleRate, 48000) << e.id;
            EXPECT_EQ(e.capture, e.id == kMonitorA) << e.id;
        }
        if (e.id == kMonitorA) {
            EXPECT_EQ(e.name, "Monitor of RUVI Null A");
        }
    }
    EXPECT_EQ(found, 3);
}

TEST_F(AlsaEndpointsIntegration, ToneToANullSinkComesBackFromItsMonitor) {
    WasapiBackend backend(
        std::make_shared<EndpointCatalogue>(std::vector<std::shared_ptr<AudioEndpointProvider>>{
            std::make_shared<AlsaEndpointProvider>()}));
    Recorder recorder(48000 * 5, 48000 * 5 / 128);
    std::string error;
    ASSERT_TRUE(backend.start(config({kMonitorA}, {kSinkA}), recordingCallback, &recorder, error))
        << error;
    ASSERT_TRUE(eventually(
        [&] { return recorder.inputFrames.load(std::memory_order_acquire) >= 48000 * 3; }, 10.0));
    const BackendStatus s = backend.status();
    backend.stop();
    EXPECT_TRUE(s.running);
    const EndpointStatus* sink = streamOf(s, kSinkA);
    const EndpointStatus* monitor = streamOf(s, kMonitorA);
    ASSERT_NE(sink, nullptr);
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(sink->status, "running");
    EXPECT_EQ(monitor->status, "running");
    EXPECT_TRUE(sink->lowLatencyShared);
    EXPECT_EQ(sink->periodFrames, 128);
    EXPECT_TRUE(monitor->primed);
    const std::size_t frames = recorder.inputFrames.load(std::memory_order_acquire);
    const std::vector<float> last(recorder.input.begin() +
                                      static_cast<std::ptrdiff_t>(frames - 96000),
                                  recorder.input.begin() + static_cast<std::ptrdiff_t>(frames));
    // The server drops the cycles of a client that the loaded machine stalls, so single windows
    // may hold a gap: the median judges pitch and level, the cleanest window the path itself.
    testing::ToneFit best;
    const testing::ToneFit fit = testing::medianFit(last, 48000.0, 1000.0, &best);
    std::printf("null sink monitor: %.3f Hz, amplitude %.4f, THD+N %.1f dB, xruns %lld\n",
                fit.frequency, fit.amplitude, fit.thdPlusNoiseDb, static_cast<long long>(s.xruns));
    EXPECT_NEAR(fit.frequency, 1000.0, 0.5);
    EXPECT_NEAR(fit.amplitude, 0.25, 0.01);
    EXPECT_LT(best.thdPlusNoiseDb, -60.0);
    // With a server endpoint as clock master the callbacks follow the server's clock, which
    // skips the cycles a stalled client misses; reported, not asserted.
    std::printf("callbacks with the null sink as master: %.2f per second (nominal 375)\n",
                callbackRate(recorder, 375));
}

TEST_F(AlsaEndpointsIntegration, AggregateOfVirtualAndAlsaEndpointsKeepsTheMasterRate) {
    // The virtual master gets 85 ms of buffer so that the loaded machine's stalls do not make
    // it play frames that were never rendered: the count then follows its clock alone.
    auto set = std::make_shared<VirtualEndpointSet>();
    VirtualEndpointSetup output;
    output.name = "output";
    output.sharedBufferFrames = 4096;
    set->add(output);
    VirtualEndpointSetup input;
    input.name = "tone-input";
    input.flow = DataFlow::capture;
    set->add(input);
    WasapiBackend backend(
        std::make_shared<EndpointCatalogue>(std::vector<std::shared_ptr<AudioEndpointProvider>>{
            set, std::make_shared<AlsaEndpointProvider>()}));
    Recorder recorder(48000 * 8, 48000 * 8 / 128);
    std::string error;
    AudioDeviceConfig cfg = config({"virtual:tone-input"}, {"virtual:output", kSinkB});
    ASSERT_TRUE(backend.start(cfg, recordingCallback, &recorder, error)) << error;
    runFor(6.0);
    const BackendStatus s = backend.status();
    backend.stop();
    const double rate = callbackRate(recorder, 375);
    std::printf("callback rate of the virtual and ALSA aggregate: %.4f per second (nominal 375)\n",
                rate);
    EXPECT_NEAR(rate, 48000.0 / 128.0, 0.001 * 48000.0 / 128.0);
    EXPECT_TRUE(s.running);
    EXPECT_EQ(s.inputChannels, 2);
    EXPECT_EQ(s.outputChannels, 4);
    const EndpointStatus* alsa = streamOf(s, kSinkB);
    ASSERT_NE(alsa, nullptr);
    EXPECT_EQ(alsa->status, "running");
    EXPECT_TRUE(alsa->primed) << "the server endpoint is fed through its ring";
    EXPECT_EQ(alsa->firstChannel, 2);
    EXPECT_GT(alsa->targetQueueMilliseconds, 0.0);
    EXPECT_TRUE(streamOf(s, "virtual:tone-input")->primed);
    const std::size_t frames = recorder.inputFrames.load(std::memory_order_acquire);
    ASSERT_GT(frames, 48000u * 4);
    const std::vector<float> last(recorder.input.begin() +
                                      static_cast<std::ptrdiff_t>(frames - 96000),
                                  recorder.input.begin() + static_cast<std::ptrdiff_t>(frames));
    EXPECT_NEAR(testing::fitTone(last, 48000.0, 1000.0).frequency, 1000.0, 0.5)
        << "the virtual test tone crosses into the server's clock domain";
}

TEST_F(AlsaEndpointsIntegration, ServerEndpointsRefuseExclusiveMode) {
    WasapiBackend backend(
        std::make_shared<EndpointCatalogue>(std::vector<std::shared_ptr<AudioEndpointProvider>>{
            std::make_shared<AlsaEndpointProvider>()}));
    AudioDeviceConfig cfg = config({}, {kSinkA});
    cfg.outputs[0].exclusive = true;
    Recorder recorder(0, 0);
    std::string error;
    EXPECT_FALSE(backend.start(cfg, recordingCallback, &recorder, error));
    EXPECT_EQ(error, "Could not prepare audio output \"RUVI Null A\" (HRESULT 0x8889000e).");
}

} // namespace
} // namespace kestravon::ruvi
