#include "audio/alsa_endpoints.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio/performance_counter.h"
#include "awake_cpus.h"
#include "backend_test_support.h"
#include "pipewire_session.h"
#include "tests/support/tone_analysis.h"

namespace kestravon::ruvi {
namespace {

using testing::config;
using testing::eventually;
using testing::streamOf;
using testing::trimmedQueue;

TEST(AlsaEndpoints, ErrorsMapToTheClosestResult) {
    EXPECT_EQ(hresultFromAlsa(-EBUSY), AUDCLNT_E_DEVICE_IN_USE);
    EXPECT_EQ(hresultFromAlsa(-ENODEV), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(hresultFromAlsa(-ENOENT), hresult(0x80070002u));
    EXPECT_EQ(hresultFromAlsa(-EINVAL), hresult(0x80070016u));
}

// What the callback heard and when it ran, kept in storage sized before the
// start.
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

// Callbacks per second as the common slope of least-squares lines through their times, one line
// for each run of calls that came about a period apart. A stall of the machine ends a run, and so
// does each call of the burst that catches up after it (less than half a period after the one
// before): neither says anything about the long-run rate, a burst at the start of a run would
// steepen its line, and a stall longer than the master's buffer may shift every later call by
// what it lost, which one line through all calls would read as a slower clock. Runs shorter than
// `minimumRun` calls are left out.
double callbackRate(const Recorder& r, std::size_t skip) {
    constexpr std::size_t minimumRun = 64;
    constexpr double kOffBy = 0.005; // seconds an interval may differ from the typical one
    const std::size_t n = r.callCount.load(std::memory_order_acquire);
    if (n < skip + minimumRun) {
        return 0.0;
    }
    const auto at = [&](std::size_t k) {
        return static_cast<double>(r.callTimes[k] - r.callTimes[skip]) * 1e-9;
    };
    std::vector<double> intervals;
    for (std::size_t k = skip + 1; k < n; ++k) {
        intervals.push_back(at(k) - at(k - 1));
    }
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    const double typical = intervals[intervals.size() / 2];
    double stt = 0.0, stk = 0.0; // sums over the runs of centred t*t and t*k
    const auto addRun = [&](std::size_t first, std::size_t end) {
        if (end - first < minimumRun) {
            return;
        }
        double st = 0.0, sk = 0.0;
        for (std::size_t k = first; k < end; ++k) {
            st += at(k);
            sk += static_cast<double>(k);
        }
        const double count = static_cast<double>(end - first);
        for (std::size_t k = first; k < end; ++k) {
            const double t = at(k) - st / count;
            stt += t * t;
            stk += t * (static_cast<double>(k) - sk / count);
        }
    };
    std::size_t first = skip;
    for (std::size_t k = skip + 1; k < n; ++k) {
        const double interval = at(k) - at(k - 1);
        if (interval > typical + kOffBy || interval < 0.5 * typical) {
            addRun(first, k);
            first = k;
        }
    }
    addRun(first, n);
    return stt > 0.0 ? stk / stt : 0.0;
}

// Where the backend reported glitches while a recording ran: the input frames
// recorded when a status poll saw the xrun count grow, and by how much.
struct GlitchReport {
    std::size_t frame;
    std::int64_t xruns;
};

// The queues a recording's polls saw: per stream id, the shortest queue of the
// polls in the last half second. A queue that grows with every stall shows here,
// a momentary backlog that the next wakes take does not.
using LowestQueues = std::map<std::string, double>;

// Runs until the recorder holds `frames` input frames (at most `seconds`),
// polling the status every 5 ms for glitch reports; the final status closes the
// list.
BackendStatus recordWithReports(WasapiBackend& backend, const Recorder& recorder,
                                std::size_t frames, double seconds,
                                std::vector<GlitchReport>& reports,
                                LowestQueues* lowest = nullptr) {
    const auto recorded = [&] { return recorder.inputFrames.load(std::memory_order_acquire); };
    const std::int64_t end = monotonicNanoseconds() + static_cast<std::int64_t>(seconds * 1e9);
    std::int64_t seen = 0;
    BackendStatus s;
    std::vector<std::pair<std::int64_t, BackendStatus>> polls;
    for (;;) {
        const bool done = recorded() >= frames || monotonicNanoseconds() >= end;
        s = backend.status();
        polls.emplace_back(monotonicNanoseconds(), s);
        if (s.xruns != seen) {
            reports.push_back({recorded(), s.xruns - seen});
            seen = s.xruns;
        }
        if (done) {
            for (const auto& [at, poll] : polls) {
                if (lowest == nullptr || polls.back().first - at > 500'000'000) {
                    continue;
                }
                for (const EndpointStatus& e : poll.streams) {
                    const auto [it, fresh] = lowest->emplace(e.id, e.queueMilliseconds);
                    it->second = fresh ? it->second : std::min(it->second, e.queueMilliseconds);
                }
            }
            return s;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A recorded tone judged apart from its glitches. The last `span` frames are
// cut into 10 ms windows; a window that breaks the tone must lie within 300 ms
// of a glitch report (a poll can be late on a loaded machine, and a glitch
// reaches the recording through the capture queue). Pitch and level come from
// the longest run of whole windows, purity from the median of its 100 ms
// windows.
struct JudgedTone {
    testing::ToneFit fit;
    std::size_t brokenWindows = 0;
    std::size_t unexplainedWindows = 0;
    std::size_t unexplainedStretches = 0; // runs of overlapping or adjacent such windows
    std::size_t cleanFrames = 0;
};

JudgedTone judgeTone(const Recorder& recorder, std::size_t span, double amplitude,
                     const std::vector<GlitchReport>& reports) {
    constexpr std::size_t kWindow = 480;
    constexpr std::size_t kReach = 48000 * 3 / 10;
    const std::size_t frames = recorder.inputFrames.load(std::memory_order_acquire);
    const std::size_t first = frames - std::min(frames, span);
    const std::vector<float> last(recorder.input.begin() + static_cast<std::ptrdiff_t>(first),
                                  recorder.input.begin() + static_cast<std::ptrdiff_t>(frames));
    const std::vector<std::size_t> broken =
        testing::brokenToneWindows(last, 48000.0, 1000.0, amplitude, kWindow);
    JudgedTone out;
    out.brokenWindows = broken.size();
    std::size_t lastUnexplained = 0;
    for (const std::size_t w : broken) {
        const std::size_t at = first + w;
        const bool explained = std::any_of(reports.begin(), reports.end(), [&](const auto& r) {
            return at + kReach >= r.frame && at <= r.frame + kReach;
        });
        if (!explained) {
            out.unexplainedStretches +=
                out.unexplainedWindows == 0 || w > lastUnexplained + kWindow;
            ++out.unexplainedWindows;
            lastUnexplained = w;
        }
    }
    // The longest stretch between broken windows, a window's margin kept on each
    // side.
    std::size_t bestBegin = 0, bestEnd = 0, begin = 0;
    for (std::size_t i = 0; i <= broken.size(); ++i) {
        const std::size_t end = i < broken.size() ? broken[i] : last.size() / kWindow * kWindow;
        const std::size_t a = begin == 0 ? 0 : begin + kWindow;
        const std::size_t b = i < broken.size() && end >= kWindow ? end - kWindow : end;
        if (b > a && b - a > bestEnd - bestBegin) {
            bestBegin = a;
            bestEnd = b;
        }
        begin = i < broken.size() ? broken[i] + kWindow : end;
    }
    out.cleanFrames = bestEnd - bestBegin;
    // Medians over its 100 ms windows: the drift correction bends the phase over longer spans.
    std::vector<testing::ToneFit> fits;
    for (std::size_t a = bestBegin; a + 4800 <= bestEnd; a += 4800) {
        fits.push_back(testing::fitTone(
            std::vector<float>(last.begin() + static_cast<std::ptrdiff_t>(a),
                               last.begin() + static_cast<std::ptrdiff_t>(a + 4800)),
            48000.0, 1000.0));
    }
    if (!fits.empty()) {
        const auto median = [&](auto field) {
            std::vector<double> v;
            for (const testing::ToneFit& f : fits) {
                v.push_back(f.*field);
            }
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        out.fit.frequency = median(&testing::ToneFit::frequency);
        out.fit.amplitude = median(&testing::ToneFit::amplitude);
        out.fit.thdPlusNoiseDb = median(&testing::ToneFit::thdPlusNoiseDb);
    }
    return out;
}

class AlsaEndpointsIntegration : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        session_ = new testing::PipeWireSession();
        awake_ = new testing::AwakeCpus();
    }
    static void TearDownTestSuite() {
        delete awake_;
        awake_ = nullptr;
        delete session_;
        session_ = nullptr;
    }
    void SetUp() override {
        if (!session_->failure().empty()) {
            GTEST_SKIP() << "PipeWire session could not start here: " << session_->failure();
        }
    }
    static testing::PipeWireSession* session_;
    // The server's cycles are judged on a machine whose CPUs wake at once (see AwakeCpus).
    static testing::AwakeCpus* awake_;
};

testing::PipeWireSession* AlsaEndpointsIntegration::session_ = nullptr;
testing::AwakeCpus* AlsaEndpointsIntegration::awake_ = nullptr;

const std::string kSinkA = "alsa:playback:pipewire:NODE=ruvi-null-a";
const std::string kMonitorA = "alsa:monitor:pipewire:NODE=ruvi-null-a";
const std::string kSinkB = "alsa:playback:pipewire:NODE=ruvi-null-b";
// Every master period whose capture came up short counts one xrun, and so does
// every server-output chunk without audio; what the server skipped counts one
// stretch per endpoint. This VM stalls a vCPU, or all of them, for up to about
// 100 ms under load, even for real-time threads: a stalled capture thread (or,
// in the aggregate, the master's catch-up after a whole-machine stall, which
// outruns the input thread, and the server output waiting for the master) costs
// up to about 37 periods. The bounds allow two such stalls in the three seconds
// of the null-sink tone and in the six of the aggregate (loaded runs so far:
// at most 28 and 80); a stream that glitched every period would count 1125 and
// 2250.
constexpr std::int64_t kXrunBound = 80;
constexpr std::int64_t kAggregateXrunBound = 150;

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
    std::vector<GlitchReport> reports;
    LowestQueues queues;
    const BackendStatus s = recordWithReports(backend, recorder, 48000 * 3, 10.0, reports, &queues);
    backend.stop();
    ASSERT_GE(recorder.inputFrames.load(), 48000u * 3);
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
    // The server skips the cycles of a client that the loaded machine stalls. The
    // stream reports each such stretch (the sink's underruns, the monitor's
    // discontinuities), so every break in the tone must sit by a report; the tone
    // itself is judged between them.
    const JudgedTone tone = judgeTone(recorder, 96000, 0.25, reports);
    std::printf("null sink monitor: %.3f Hz, amplitude %.4f, THD+N %.1f dB over "
                "%zu clean "
                "frames; xruns %lld (sink %lld, monitor %lld), %zu broken 10 ms "
                "windows\n",
                tone.fit.frequency, tone.fit.amplitude, tone.fit.thdPlusNoiseDb, tone.cleanFrames,
                static_cast<long long>(s.xruns), static_cast<long long>(sink->discontinuities),
                static_cast<long long>(monitor->discontinuities), tone.brokenWindows);
    // One case leaves no trace at the client: a client that woke in time but finished late has
    // its buffer consumed and dropped (the server logs it as too slow while awake). Before the
    // stream reported skipped cycles, up to six a second went unseen on a loaded machine; with
    // idle CPUs left to halt, one run in ten lost a quantum every few cycles for seconds, which
    // the fixture's AwakeCpus prevents.
    EXPECT_LE(tone.unexplainedStretches, 2u) << "audio lost without a reported glitch";
    ASSERT_GE(tone.cleanFrames, 48000u / 4) << "no quarter second without a glitch";
    // After a stall the queue's fill correction may run at its limit of 500 ppm (0.5 Hz).
    EXPECT_NEAR(tone.fit.frequency, 1000.0, 0.55);
    EXPECT_NEAR(tone.fit.amplitude, 0.25, 0.01);
    EXPECT_LT(tone.fit.thdPlusNoiseDb, -60.0);
    // A lost stretch costs one glitch per endpoint, not a refill of the capture
    // queue.
    EXPECT_LE(s.xruns, kXrunBound);
    // Cycles the server skipped leave the monitor's queue where it was: what the
    // master did not take in their time is passed over.
    EXPECT_LE(queues[kMonitorA], trimmedQueue(*monitor));
    // With a server endpoint as clock master the callbacks follow the server's
    // clock, which skips the cycles a stalled client misses; reported, not
    // asserted.
    std::printf("callbacks with the null sink as master: %.2f per second (nominal 375)\n",
                callbackRate(recorder, 375));
}

TEST_F(AlsaEndpointsIntegration, AggregateOfVirtualAndAlsaEndpointsKeepsTheMasterRate) {
    // The virtual master gets 85 ms of buffer so that the loaded machine's stalls
    // do not make it play frames that were never rendered: the count then follows
    // its clock alone.
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
    std::vector<GlitchReport> reports;
    LowestQueues queues;
    const BackendStatus s =
        recordWithReports(backend, recorder, recorder.input.size(), 6.0, reports, &queues);
    backend.stop();
    const double rate = callbackRate(recorder, 375);
    std::printf("callback rate of the virtual and ALSA aggregate: %.4f per "
                "second (nominal 375)\n",
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
    const EndpointStatus* toneInput = streamOf(s, "virtual:tone-input");
    EXPECT_TRUE(toneInput->primed);
    std::printf("aggregate xruns %lld: server sink %lld discontinuities, %lld missing frames, "
                "queue %.1f ms (trimmed beyond %.1f); virtual input %lld discontinuities, %lld "
                "missing frames, queue %.1f ms (trimmed beyond %.1f)\n",
                static_cast<long long>(s.xruns), static_cast<long long>(alsa->discontinuities),
                static_cast<long long>(alsa->missingFrames), queues[kSinkB], trimmedQueue(*alsa),
                static_cast<long long>(toneInput->discontinuities),
                static_cast<long long>(toneInput->missingFrames), queues["virtual:tone-input"],
                trimmedQueue(*toneInput));
    ASSERT_GT(recorder.inputFrames.load(), 48000u * 4);
    // The virtual input's queue may run dry when the machine stalls the master;
    // such glitches are reported, and the tone is judged between them.
    const JudgedTone tone = judgeTone(recorder, 96000, 0.1, reports);
    EXPECT_EQ(tone.unexplainedWindows, 0u) << "audio lost without a reported glitch";
    ASSERT_GE(tone.cleanFrames, 48000u / 4) << "no quarter second without a glitch";
    // After a stall the queue's fill correction may run at its limit of 500 ppm (0.5 Hz).
    EXPECT_NEAR(tone.fit.frequency, 1000.0, 0.55)
        << "the virtual test tone crosses into the server's clock domain";
    EXPECT_LE(s.xruns, kAggregateXrunBound);
    // Neither a stall of the master nor cycles the server skipped leave a queue
    // longer than its consumer would trim.
    EXPECT_LE(queues[kSinkB], trimmedQueue(*alsa));
    EXPECT_LE(queues["virtual:tone-input"], trimmedQueue(*toneInput));
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
