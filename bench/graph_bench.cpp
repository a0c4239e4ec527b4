// Render cost of one 128-frame block at 48 kHz for a 64-strip stereo console with pre- and
// post-fader sends into 16 stereo buses and the main bus, with strip processing off and fully on,
// against a floor: the same count of sample reads, multiply-adds and writes in one flat loop.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "audio/backend_status.h"
#include "engine/mixing.h"
#include "engine/native_graph_engine.h"

namespace {

using kestravon::ruvi::BackendStatus;
using kestravon::ruvi::EndpointStatus;
using kestravon::ruvi::kBlockStride;
using kestravon::ruvi::NativeGraphEngine;
using nlohmann::json;

constexpr int kStrips = 64;
constexpr int kBuses = 16;
constexpr int kFrames = 128;
constexpr double kRate = 48000.0;
constexpr int kInputs = kStrips * 2;
constexpr int kOutputs = 2 + kBuses * 2;
constexpr double kPeriodNs = kFrames / kRate * 1e9;

BackendStatus layout() {
    BackendStatus status;
    status.sampleRate = static_cast<int>(kRate);
    status.inputChannels = kInputs;
    status.outputChannels = kOutputs;
    EndpointStatus capture;
    capture.id = "cap";
    capture.capture = true;
    capture.channels = kInputs;
    EndpointStatus render;
    render.id = "play";
    render.channels = kOutputs;
    status.streams = {capture, render};
    return status;
}

json port(const char* device, int channel) {
    return {{"deviceId", device}, {"channel", channel}};
}

json fullStrip() {
    json bands = json::array();
    for (double f : {120.0, 400.0, 2500.0, 9000.0}) {
        bands.push_back(
            {{"enabled", true}, {"type", "bell"}, {"frequencyHz", f}, {"gainDb", 3.0}, {"q", 1.0}});
    }
    return {{"hpf", {{"enabled", true}, {"frequencyHz", 90}}},
            {"eq", {{"enabled", true}, {"bands", bands}}},
            {"gate", {{"enabled", true}, {"thresholdDb", -50}}},
            {"compressor", {{"enabled", true}, {"thresholdDb", -20}, {"ratio", 4}}}};
}

json console(bool stripsOn) {
    json nodes = json::array();
    for (int s = 0; s < kStrips; ++s) {
        json strip = {
            {"id", "ch" + std::to_string(s)},
            {"kind", "input"},
            {"width", 2},
            {"pan", (s % 9 - 4) * 20},
            {"gainDb", -3},
            {"source",
             {{"kind", "device"}, {"ports", {port("cap", 2 * s), port("cap", 2 * s + 1)}}}}};
        if (stripsOn) {
            strip["stripProcessing"] = fullStrip();
        }
        json routes = json::array();
        for (int b = 0; b < kBuses; ++b) {
            routes.push_back({{"destinationId", "bus" + std::to_string(b)},
                              {"tap", b % 2 == 0 ? "preFader" : "postFader"},
                              {"gainDb", -10}});
        }
        routes.push_back({{"destinationId", "main-lr"}});
        strip["routes"] = routes;
        nodes.push_back(strip);
    }
    for (int b = 0; b < kBuses; ++b) {
        nodes.push_back({{"id", "bus" + std::to_string(b)},
                         {"kind", "bus"},
                         {"width", 2},
                         {"outputs", {port("play", 2 + 2 * b), port("play", 3 + 2 * b)}},
                         {"routes", {{{"destinationId", "main-lr"}, {"gainDb", -6}}}}});
    }
    nodes.push_back({{"id", "main-lr"},
                     {"kind", "bus"},
                     {"width", 2},
                     {"outputs", {port("play", 0), port("play", 1)}}});
    return {{"format", "kestravon-live-native-0.1"}, {"nodes", nodes}};
}

struct Lanes {
    explicit Lanes(int count) : samples(static_cast<std::size_t>(count) * kBlockStride) {
        for (int c = 0; c < count; ++c) {
            pointers.push_back(samples.data() + static_cast<std::size_t>(c) * kBlockStride);
        }
    }
    std::vector<float> samples;
    std::vector<float*> pointers;
};

std::map<std::string, std::vector<double>> gTimings;

void record(const std::string& name, std::vector<double>& ns) {
    gTimings[name] = ns;
}

void renderConsole(benchmark::State& state, bool stripsOn, const char* name) {
    NativeGraphEngine engine;
    std::string error;
    if (!engine.applyGraph(console(stripsOn), layout(), error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    Lanes inputs(kInputs);
    Lanes outputs(kOutputs);
    for (std::size_t i = 0; i < inputs.samples.size(); ++i) {
        inputs.samples[i] = 0.25f * static_cast<float>((i * 2654435761u) % 2001) / 1000.0f - 0.25f;
    }
    std::vector<double> ns;
    ns.reserve(1 << 20);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        engine.render(inputs.pointers.data(), kInputs, outputs.pointers.data(), kOutputs, kFrames,
                      kRate);
        const auto end = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(outputs.samples.data());
        ns.push_back(std::chrono::duration<double, std::nano>(end - start).count());
    }
    state.counters["periodShare%"] =
        benchmark::Counter(kPeriodNs, benchmark::Counter::kAvgIterationsRate);
    record(name, ns);
}

void BM_PlainConsole(benchmark::State& state) {
    renderConsole(state, false, "plain console");
}
void BM_FullStripConsole(benchmark::State& state) {
    renderConsole(state, true, "strips fully on");
}

// The graph's sample work per block: per strip and bus the trim and fader passes (one read, one
// multiply, one write per sample), per send one multiply-add per destination channel sample, and
// per output one add per sample.
std::size_t floorOperations() {
    const std::size_t nodes = kStrips + kBuses + 1;
    const std::size_t edges = kStrips * (kBuses + 1) + kBuses;
    const std::size_t outputs = kBuses + 1;
    return (nodes * 2 * 2 + edges * 2 + outputs * 2) * kFrames;
}

void BM_Floor(benchmark::State& state) {
    const std::size_t operations = floorOperations();
    // Same working set shape as the console: planar 128-frame slices of per-node buffers.
    const std::size_t slices = operations / kFrames;
    std::vector<float> source(slices * kFrames, 0.125f);
    std::vector<float> destination(slices * kFrames, 0.0f);
    std::vector<double> ns;
    ns.reserve(1 << 20);
    float gain = 0.5f;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const float* s = source.data();
        float* d = destination.data();
        for (std::size_t i = 0; i < operations; ++i) {
            d[i] += gain * s[i];
        }
        const auto end = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
        gain = -gain;
        ns.push_back(std::chrono::duration<double, std::nano>(end - start).count());
    }
    record("floor", ns);
}

BENCHMARK(BM_PlainConsole)->MinTime(2.0);
BENCHMARK(BM_FullStripConsole)->MinTime(2.0);
BENCHMARK(BM_Floor)->MinTime(2.0);

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double floorMedian = median(gTimings["floor"]);
    std::printf("\nPer 128-frame block at 48 kHz (period %.0f ns), %zu floor operations:\n",
                kPeriodNs, floorOperations());
    for (const char* name : {"plain console", "strips fully on", "floor"}) {
        const auto& v = gTimings[name];
        if (v.empty()) {
            continue;
        }
        const double med = median(v);
        const double max = *std::max_element(v.begin(), v.end());
        std::printf("  %-16s median %9.0f ns  max %10.0f ns  %6.2f %% of period  %5.2f x floor\n",
                    name, med, max, 100.0 * med / kPeriodNs,
                    floorMedian > 0.0 ? med / floorMedian : 0.0);
    }
    std::printf("Target: plain console under 5 %% of the period and within 4 x the floor.\n");
    return 0;
}
