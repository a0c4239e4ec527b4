// Channel strip cost per frame against a floor of five plain double biquads, mono and stereo.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/channel_strip.h"

namespace {

using kestravon::ruvi::ChannelStrip;
using kestravon::ruvi::StripProcessing;

constexpr int kFrames = 128; // the default device block
constexpr double kRate = 48000.0;

std::vector<std::vector<float>> tone(int channels) {
    std::vector<std::vector<float>> b(channels, std::vector<float>(kFrames));
    for (int c = 0; c < channels; ++c) {
        for (int i = 0; i < kFrames; ++i) {
            b[c][i] = static_cast<float>(
                0.3 * std::sin(2.0 * std::numbers::pi * (440.0 + 110.0 * c) * i / kRate));
        }
    }
    return b;
}

StripProcessing everythingOn() {
    StripProcessing s;
    s.hpf = {true, 90.0};
    s.eq.enabled = true;
    s.eq.bands[0].gainDb = 3.0;
    s.eq.bands[1].gainDb = -4.0;
    s.eq.bands[2].gainDb = 2.5;
    s.eq.bands[3].gainDb = -1.5;
    s.gate.enabled = true;
    s.compressor.enabled = true;
    s.compressor.thresholdDb = -24.0;
    return s;
}

void runStrip(benchmark::State& state, const StripProcessing& settings) {
    const int channels = static_cast<int>(state.range(0));
    ChannelStrip strip;
    if (!strip.setProcessing(settings) || !strip.prepare(kRate, channels)) {
        state.SkipWithError("strip refused its settings");
        return;
    }
    const auto source = tone(channels);
    auto buffer = source;
    float* pointers[2] = {buffer[0].data(), buffer[channels - 1].data()};
    for (auto _ : state) {
        // Fresh input each block so pass-through and dynamics see a real signal, not a decay.
        for (int c = 0; c < channels; ++c) {
            std::copy(source[c].begin(), source[c].end(), buffer[c].begin());
        }
        strip.process(pointers, channels, kFrames);
        benchmark::DoNotOptimize(buffer[0].data());
        benchmark::ClobberMemory();
    }
    state.counters["per_frame"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_StripPassThrough(benchmark::State& state) {
    runStrip(state, StripProcessing{});
}
void BM_StripEverythingOn(benchmark::State& state) {
    runStrip(state, everythingOn());
}
// Filters without dynamics, to split the cost of (b) between its two stages.
void BM_StripFiltersOnly(benchmark::State& state) {
    StripProcessing s = everythingOn();
    s.gate.enabled = false;
    s.compressor.enabled = false;
    runStrip(state, s);
}

// The floor: five transposed direct form II double biquads, no gliding, guards or dynamics.
void BM_FiveDoubleBiquads(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    struct Section {
        double b0, b1, b2, a1, a2;
        std::array<double, 2> s1{}, s2{};
    };
    // A 90 Hz high-pass and four mild bells, so the arithmetic matches a busy strip.
    std::array<Section, 5> sections{};
    const double freqs[5] = {90, 100, 350, 2500, 8000};
    for (int s = 0; s < 5; ++s) {
        const double w = 2 * std::numbers::pi * freqs[s] / kRate;
        const double alpha = std::sin(w) / 1.4142135623730951, c = std::cos(w);
        const double a0 = 1 + alpha;
        sections[s] = {(1 + c) / 2 / a0, -(1 + c) / a0, (1 + c) / 2 / a0, -2 * c / a0,
                       (1 - alpha) / a0};
    }
    const auto source = tone(channels);
    auto buffer = source;
    for (auto _ : state) {
        for (int c = 0; c < channels; ++c) {
            std::copy(source[c].begin(), source[c].end(), buffer[c].begin());
            float* samples = buffer[c].data();
            for (int i = 0; i < kFrames; ++i) {
                double x = samples[i];
                for (Section& s : sections) {
                    const double y = s.b0 * x + s.s1[c];
                    s.s1[c] = s.b1 * x - s.a1 * y + s.s2[c];
                    s.s2[c] = s.b2 * x - s.a2 * y;
                    x = y;
                }
                samples[i] = static_cast<float>(x);
            }
        }
        benchmark::DoNotOptimize(buffer[0].data());
        benchmark::ClobberMemory();
    }
    state.counters["per_frame"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

double maxOf(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

void configure(benchmark::internal::Benchmark* b) {
    b->ArgName("channels")->Arg(1)->Arg(2)->Repetitions(5)->ComputeStatistics("max", maxOf);
}

BENCHMARK(BM_StripPassThrough)->Apply(configure);
BENCHMARK(BM_StripEverythingOn)->Apply(configure);
BENCHMARK(BM_StripFiltersOnly)->Apply(configure);
BENCHMARK(BM_FiveDoubleBiquads)->Apply(configure);

// Console output plus the median seconds per frame of every benchmark, for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> medians;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto counter = run.counters.find("per_frame");
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
                counter != run.counters.end()) {
                medians[run.run_name.function_name + "/" + run.run_name.args] = counter->second;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    // Interleave the repetitions so a load change on a shared machine hits strip and floor alike;
    // a flag given on the command line comes later and wins.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto ns = [&](const std::string& name) {
        const auto found = reporter.medians.find(name);
        return found == reporter.medians.end() ? NAN : found->second * 1e9;
    };
    std::printf("\nMedian ns per frame at %d-frame blocks (everything on = HPF, four bands, gate, "
                "compressor)\n",
                kFrames);
    for (const char* width : {"channels:1", "channels:2"}) {
        const double pass = ns(std::string("BM_StripPassThrough/") + width);
        const double full = ns(std::string("BM_StripEverythingOn/") + width);
        const double filters = ns(std::string("BM_StripFiltersOnly/") + width);
        const double floor = ns(std::string("BM_FiveDoubleBiquads/") + width);
        const int channels = width[9] - '0';
        std::printf("  %s  pass-through %.2f (%.2f per sample)  filters only %.2f  everything on "
                    "%.2f  five biquads %.2f  ratio everything/floor %.2f (target <= 3)\n",
                    width, pass, pass / channels, filters, full, floor, full / floor);
    }
    const double stereo = ns("BM_StripEverythingOn/channels:2");
    std::printf("  128 stereo strips, everything on, at 48 kHz: %.1f %% of one core\n",
                stereo * 1e-9 * kRate * 128 * 100.0);
    return 0;
}
