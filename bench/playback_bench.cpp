// Playback loading figures: preload of a 100 MB 24-bit WAV against a raw read(2) of the same
// file, and the offline converter against libsoxr's HQ preset on the same 60 s of stereo.
#include "media/playback_preload.h"
#include "media/playback_resampler.h"

#include <benchmark/benchmark.h>
#include <soxr.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace kestravon::ruvi;
using Clock = std::chrono::steady_clock;

std::map<std::string, std::vector<double>> g_seconds; // per-iteration wall time by benchmark
std::string g_bigWavPath;                             // set once the 100 MB file exists

void record(const std::string& name, Clock::time_point start) {
    g_seconds[name].push_back(std::chrono::duration<double>(Clock::now() - start).count());
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void putU32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

// 100 MB of 24-bit stereo at 48000 Hz (about 5.8 minutes), written once.
const std::string& bigWav() {
    static const std::string path = [] {
        const std::string p =
            (std::filesystem::temp_directory_path() / "ruvi-playback-bench-100mb.wav").string();
        const std::uint32_t frames = 100000000 / 6;
        const std::uint32_t dataBytes = frames * 6;
        std::vector<std::uint8_t> head;
        head.insert(head.end(), {'R', 'I', 'F', 'F'});
        putU32(head, 36 + dataBytes);
        head.insert(head.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
        putU32(head, 16);
        putU32(head, 1 | (2u << 16));
        putU32(head, 48000);
        putU32(head, 48000 * 6);
        putU32(head, 6 | (24u << 16));
        head.insert(head.end(), {'d', 'a', 't', 'a'});
        putU32(head, dataBytes);
        std::vector<std::uint8_t> data(dataBytes);
        std::uint32_t x = 12345;
        for (auto& byte : data) {
            x = x * 1664525u + 1013904223u;
            byte = static_cast<std::uint8_t>(x >> 24);
        }
        FILE* f = std::fopen(p.c_str(), "wb");
        std::fwrite(head.data(), 1, head.size(), f);
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
        g_bigWavPath = p;
        return p;
    }();
    return path;
}

void BM_RawRead100MB(benchmark::State& state) {
    const std::string& path = bigWav();
    std::vector<char> buffer(std::filesystem::file_size(path));
    for (auto _ : state) {
        const auto start = Clock::now();
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        benchmark::DoNotOptimize(buffer.data());
        record("raw", start);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
}

// The same read into memory allocated for it, as a preload must: the first touch of every page
// is part of the cost.
void BM_RawReadFresh100MB(benchmark::State& state) {
    const std::string& path = bigWav();
    const std::size_t size = std::filesystem::file_size(path);
    for (auto _ : state) {
        const auto start = Clock::now();
        PlaybackSamples buffer(size / sizeof(float) + 1);
        auto* bytes = reinterpret_cast<char*>(buffer.data());
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::read(fd, bytes + done, size - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        benchmark::DoNotOptimize(buffer.data());
        record("rawFresh", start);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_Preload100MB24Bit(benchmark::State& state) {
    const std::string& path = bigWav();
    PlaybackConfig config;
    config.sources = {{path, 0, 0, 0, false}, {path, 1, 1, 0, false}};
    for (auto _ : state) {
        const auto start = Clock::now();
        PreloadResult result = preloadPlayback(config, 0);
        benchmark::DoNotOptimize(result.lanes.data());
        record("preload", start);
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * std::filesystem::file_size(path)));
}

std::vector<PlaybackSamples> stereoMusic(std::size_t frames, double rate) {
    std::vector<PlaybackSamples> lanes(2, PlaybackSamples(frames));
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = i / rate;
        lanes[0][i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 440 * t) +
                                         0.2 * std::sin(2 * M_PI * 5100 * t));
        lanes[1][i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 660 * t) +
                                         0.2 * std::sin(2 * M_PI * 13000 * t));
    }
    return lanes;
}

constexpr std::size_t kSixtySecondsIn = 44100 * 60;
constexpr std::size_t kSixtySecondsOut = 48000 * 60;

void BM_ResampleLane44100To48000(benchmark::State& state) {
    const auto input = stereoMusic(kSixtySecondsIn, 44100);
    PlaybackConfig config;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto out = resamplePlaybackLane(input, kSixtySecondsOut, 44100.0 / 48000.0, config);
        benchmark::DoNotOptimize(out.data());
        record("src", start);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 2 * kSixtySecondsOut));
}

// A rate pair with too many phases for the table: the kernel is evaluated per output frame.
void BM_ResampleLaneDirect44101To48000(benchmark::State& state) {
    const std::size_t frames = 44101 * 2;
    const auto input = stereoMusic(frames, 44101);
    PlaybackConfig config;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto out = resamplePlaybackLane(input, 96000, 44101.0 / 48000.0, config);
        benchmark::DoNotOptimize(out.data());
        record("direct", start);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 2 * 96000));
}

void BM_SoxrHQ44100To48000(benchmark::State& state) {
    const auto input = stereoMusic(kSixtySecondsIn, 44100);
    const float* in[2] = {input[0].data(), input[1].data()};
    std::vector<float> left(kSixtySecondsOut + 64), right(kSixtySecondsOut + 64);
    float* out[2] = {left.data(), right.data()};
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    for (auto _ : state) {
        const auto start = Clock::now();
        std::size_t used = 0, made = 0;
        soxr_oneshot(44100, 48000, 2, in, kSixtySecondsIn, &used, out, left.size(), &made, &io,
                     &quality, nullptr);
        benchmark::DoNotOptimize(left.data());
        record("soxr", start);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 2 * kSixtySecondsOut));
}

BENCHMARK(BM_RawRead100MB)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_RawReadFresh100MB)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_Preload100MB24Bit)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_ResampleLane44100To48000)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_ResampleLaneDirect44101To48000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(BM_SoxrHQ44100To48000)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_bigWavPath.empty()) {
        std::filesystem::remove(g_bigWavPath);
    }

    const double raw = median(g_seconds["raw"]), preload = median(g_seconds["preload"]);
    const double rawFresh = median(g_seconds["rawFresh"]);
    const double src = median(g_seconds["src"]), soxr = median(g_seconds["soxr"]);
    if (raw > 0 && preload > 0) {
        std::printf("preload 100 MB 24-bit: median %.1f ms, raw read %.1f ms, ratio %.2f "
                    "(target <= 2)\n",
                    preload * 1e3, raw * 1e3, preload / raw);
    }
    if (rawFresh > 0 && preload > 0) {
        std::printf("preload against a raw read into freshly allocated memory: %.1f ms, ratio "
                    "%.2f\n",
                    rawFresh * 1e3, preload / rawFresh);
    }
    if (src > 0 && soxr > 0) {
        // 512 MiB of converted float lanes, at the measured 44.1 to 48 kHz output rate.
        const double budgetSamples = 536870912.0 / 4;
        const double fullBudget = src / (2.0 * kSixtySecondsOut) * budgetSamples;
        std::printf("SRC 60 s stereo 44100->48000: median %.1f ms, soxr HQ %.1f ms, ratio %.2f "
                    "(target <= 4); full 512 MiB budget of conversions about %.1f s\n",
                    src * 1e3, soxr * 1e3, src / soxr, fullBudget);
    }
    const double direct = median(g_seconds["direct"]);
    if (direct > 0) {
        std::printf("SRC evaluated per frame (44101->48000): %.1f M samples/s\n",
                    2 * 96000 / direct / 1e6);
    }
    return 0;
}
