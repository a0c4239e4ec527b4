// Drift resampler against libsamplerate (SRC_SINC_FASTEST) and libsoxr (variable rate) on the
// same signal, and the cost of one master period of the aggregate device.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <string>
#include <type_traits>
#include <vector>

#include <samplerate.h>
#include <soxr.h>

#include "audio/backend_impl.h"
#include "audio/drift_resampler.h"
#include "tests/support/tone_analysis.h"

namespace kestravon::ruvi {
namespace {

constexpr double kRate = 48000.0;
constexpr double kStep = 1.0 + 200e-6; // input frames per output frame: +200 ppm
constexpr int kChunk = 128;

std::map<std::string, double> nsPerFrame;
std::map<std::string, double> thdPlusNoise;
double masterPeriodNs = 0.0;

std::vector<float> tone(std::size_t frames, int channels) {
    std::vector<float> x(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<float>(
            0.5 * std::sin(2.0 * std::numbers::pi * std::fmod(i * 1000.0 / kRate, 1.0)));
        for (int c = 0; c < channels; ++c) {
            x[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = v;
        }
    }
    return x;
}

// One resampler behind a uniform face: produce `frames` output frames from `in`.
struct Drift {
    explicit Drift(int channels, int feed = kChunk) : channels(channels), feed(feed) {
        ring.reset(channels, 1u << 16);
        resampler.build(ring, kRate, kRate, 64.0 + 2 * kChunk);
    }
    // Keeps the ring near its target, as a capture endpoint would.
    void run(const std::vector<float>& in, std::size_t& cursor, float* out, int frames) {
        const std::size_t inFrames = in.size() / static_cast<std::size_t>(channels);
        double ppm = 0.0;
        for (int i = 0; i < frames; ++i) {
            // Top the ring up in packets of `feed` frames whenever the fill falls to the target.
            while (static_cast<double>(ring.writeIndex()) - resampler.position() <
                   resampler.target() + 64.0) {
                if (cursor == inFrames) {
                    cursor = 0;
                }
                (void)ring.write(in.data() + cursor * static_cast<std::size_t>(channels), feed);
                cursor += static_cast<std::size_t>(feed);
            }
            if (!resampler.next(out + i * channels, kStep, ppm)) {
                std::fill_n(out + i * channels, channels, 0.0f);
            }
        }
    }
    int channels;
    int feed;
    FrameRing ring;
    DriftResampler resampler;
};

struct Samplerate {
    explicit Samplerate(int channels) : channels(channels) {
        int error = 0;
        state = src_new(SRC_SINC_FASTEST, channels, &error);
    }
    ~Samplerate() { src_delete(state); }
    void run(const std::vector<float>& in, std::size_t& cursor, float* out, int frames) {
        const std::size_t inFrames = in.size() / static_cast<std::size_t>(channels);
        int produced = 0;
        while (produced < frames) {
            if (cursor == inFrames) {
                cursor = 0; // the input holds whole cycles, so wrapping is seamless
            }
            SRC_DATA d{};
            d.data_in = in.data() + cursor * static_cast<std::size_t>(channels);
            d.input_frames = static_cast<long>(std::min<std::size_t>(kChunk, inFrames - cursor));
            d.data_out = out + produced * channels;
            d.output_frames = frames - produced;
            d.src_ratio = 1.0 / kStep;
            src_process(state, &d);
            cursor += static_cast<std::size_t>(d.input_frames_used);
            produced += static_cast<int>(d.output_frames_gen);
        }
    }
    int channels;
    SRC_STATE* state = nullptr;
};

struct Soxr {
    explicit Soxr(int channels) : channels(channels) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, SOXR_VR);
        soxr_error_t error = nullptr;
        state = soxr_create(2.0, 1.0, static_cast<unsigned>(channels), &error, &io, &q, nullptr);
        soxr_set_io_ratio(state, kStep, 0);
    }
    ~Soxr() { soxr_delete(state); }
    void run(const std::vector<float>& in, std::size_t& cursor, float* out, int frames) {
        const std::size_t inFrames = in.size() / static_cast<std::size_t>(channels);
        int produced = 0;
        while (produced < frames) {
            if (cursor == inFrames) {
                cursor = 0;
            }
            std::size_t used = 0, done = 0;
            soxr_process(state, in.data() + cursor * static_cast<std::size_t>(channels),
                         std::min<std::size_t>(kChunk, inFrames - cursor), &used,
                         out + produced * channels, static_cast<std::size_t>(frames - produced),
                         &done);
            cursor += used;
            produced += static_cast<int>(done);
        }
    }
    int channels;
    soxr_t state = nullptr;
};

// THD+N of the 1 kHz tone after half a second.
template <typename Resampler> double quality(Resampler&& fresh) {
    const std::vector<float> mono = tone(48000, 1);
    std::size_t at = 0;
    std::vector<float> y(96000);
    for (std::size_t i = 0; i < y.size(); i += kChunk) {
        fresh.run(mono, at, y.data() + i, kChunk);
    }
    const std::vector<float> tail(y.begin() + 48000, y.end());
    return testing::fitTone(tail, kRate, 1000.0 * kStep).thdPlusNoiseDb;
}

template <typename Resampler> void resample(benchmark::State& state, const char* name) {
    const int channels = static_cast<int>(state.range(0));
    // Whole cycles of the tone, so the loop-around of the input is seamless.
    const std::vector<float> in = tone(48000, channels);
    Resampler r(channels);
    std::size_t cursor = 0;
    std::vector<float> out(static_cast<std::size_t>(kChunk * channels));
    for (int warm = 0; warm < 100; ++warm) {
        r.run(in, cursor, out.data(), kChunk);
    }
    const auto begin = std::chrono::steady_clock::now();
    std::int64_t frames = 0;
    for (auto _ : state) {
        r.run(in, cursor, out.data(), kChunk);
        benchmark::DoNotOptimize(out.data());
        frames += kChunk;
    }
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - begin).count();
    state.counters["ns_per_frame"] = ns / static_cast<double>(frames);
    nsPerFrame[std::string(name) + " " + std::to_string(channels) + " ch"] =
        ns / static_cast<double>(frames);
    thdPlusNoise[name] =
        std::is_same_v<Resampler, Drift> ? quality(Drift(1, 1)) : quality(Resampler(1));
    if constexpr (std::is_same_v<Resampler, Drift>) {
        // The fill term follows the producer's packets; with 128-frame packets it modulates
        // the step a little.
        thdPlusNoise[std::string(name) + " (128-frame packets)"] = quality(Drift(1, kChunk));
    }
}

void BM_DriftResamplerNext(benchmark::State& s) {
    resample<Drift>(s, "DriftResampler::next");
}
void BM_SamplerateSincFastest(benchmark::State& s) {
    resample<Samplerate>(s, "libsamplerate SINC_FASTEST");
}
void BM_SoxrVariableRate(benchmark::State& s) {
    resample<Soxr>(s, "libsoxr variable rate");
}
BENCHMARK(BM_DriftResamplerNext)->Arg(2)->Arg(8);
BENCHMARK(BM_SamplerateSincFastest)->Arg(2)->Arg(8);
BENCHMARK(BM_SoxrVariableRate)->Arg(2)->Arg(8);

void silentCallback(void*, const float* const*, std::int32_t, float* const*, std::int32_t,
                    std::int32_t, double) {}

// Four endpoints (two stereo captures, the master and one stereo secondary output) at 128
// frames: gather, dispatch to an empty callback and feed; the endpoint threads' sides of the
// rings are served outside the timed part.
void BM_MasterPeriod(benchmark::State& state) {
    WasapiBackend::Impl impl(nullptr);
    impl.sampleRate = 48000;
    impl.blockFrames = kChunk;
    impl.callback = silentCallback;
    const bool capture[4] = {true, true, false, false};
    const bool master[4] = {false, false, true, false};
    int first[2] = {0, 0};
    for (int i = 0; i < 4; ++i) {
        auto s = EndpointStream::create();
        s->backend = &impl;
        s->capture = capture[i];
        s->isMaster = master[i];
        s->format.channels = 2;
        s->format.sampleRate = 48000;
        s->firstChannel = first[capture[i] ? 0 : 1];
        first[capture[i] ? 0 : 1] += 2;
        s->ring.reset(2, 32768);
        s->scratch.assign(4096 * 2, 0.0f);
        s->resampler.build(s->ring, 48000, 48000, 64.0 + 480 + kChunk);
        s->measuredRate.store(48000.0 * (capture[i] ? 1.0001 : 1.0));
        s->state.store(StreamState::running);
        impl.endpoints.push_back(std::move(s));
    }
    impl.inputChannels = first[0];
    impl.outputChannels = first[1];
    impl.inputPlanes.assign(static_cast<std::size_t>(impl.inputChannels) * 4096, 0.0f);
    impl.outputPlanes.assign(static_cast<std::size_t>(impl.outputChannels) * 4096, 0.0f);
    for (int c = 0; c < impl.inputChannels; ++c) {
        impl.inputPointers.push_back(impl.inputPlanes.data() + c * 4096);
    }
    for (int c = 0; c < impl.outputChannels; ++c) {
        impl.outputPointers.push_back(impl.outputPlanes.data() + c * 4096);
    }
    const std::vector<float> in = tone(48000, 2);
    std::size_t cursor = 0;
    constexpr int kPeriods = 64;
    double total = 0.0;
    for (auto _ : state) {
        for (int i = 0; i < 2; ++i) {
            FrameRing& ring = impl.endpoints[static_cast<std::size_t>(i)]->ring;
            while (ring.fill() < 8192) {
                cursor = cursor + kChunk > 48000 ? 0 : cursor;
                (void)ring.write(in.data() + cursor * 2, kChunk);
                cursor += kChunk;
            }
        }
        FrameRing& out = impl.endpoints[3]->ring;
        out.consume(out.writeIndex());
        const auto begin = std::chrono::steady_clock::now();
        for (int p = 0; p < kPeriods; ++p) {
            impl.runMasterPeriod(kChunk);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() /
            kPeriods;
        total += seconds;
        state.SetIterationTime(seconds);
    }
    masterPeriodNs = total * 1e9 / static_cast<double>(state.iterations());
    state.counters["ns_per_period"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MasterPeriod)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace kestravon::ruvi

int main(int argc, char** argv) {
    using namespace kestravon::ruvi;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nResampling cost per output frame (ratio to libsamplerate SINC_FASTEST):\n");
    for (const int channels : {2, 8}) {
        const std::string suffix = " " + std::to_string(channels) + " ch";
        const auto floor = nsPerFrame.find("libsamplerate SINC_FASTEST" + suffix);
        for (const char* name :
             {"DriftResampler::next", "libsamplerate SINC_FASTEST", "libsoxr variable rate"}) {
            const auto it = nsPerFrame.find(name + suffix);
            if (it != nsPerFrame.end() && floor != nsPerFrame.end()) {
                std::printf("  %-28s %s: %8.1f ns  (x%.2f)\n", name, suffix.c_str() + 1, it->second,
                            it->second / floor->second);
            }
        }
    }
    std::printf("THD+N of a 1 kHz tone at +200 ppm:\n");
    for (const auto& [name, db] : thdPlusNoise) {
        std::printf("  %-28s %7.1f dB\n", name.c_str(), db);
    }
    std::printf("Master period, 4 endpoints at 128 frames (gather, dispatch, feed): %.1f us, "
                "%.2f %% of the 2.667 ms period\n",
                masterPeriodNs / 1e3, masterPeriodNs / 2666666.7 * 100.0);
    return 0;
}
