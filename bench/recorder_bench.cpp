// Take recorder figures with the ring planned by time (128-frame device blocks, ten seconds of
// slots within the budget): the audio-thread tap cost per block, and the writer's sustained rate
// at 48 kHz for 8, 32 and 128 mono tracks and 128 stereo ones (256 lanes) against a plain
// sequential write of the same bytes with one fsync per second of audio.

#include "media/raw_recorder.h"
#include "media/take_queue_budget.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Counted per thread: the writer allocates for its journal lines, the tap must not.
thread_local std::uint64_t tAllocations = 0;

} // namespace

// Counts every allocation so the tap can be shown to make none.
void* operator new(std::size_t size) {
    ++tAllocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

using kestravon::ruvi::RawRecorder;
using kestravon::ruvi::RecorderState;
using kestravon::ruvi::RecorderTakeConfig;
using kestravon::ruvi::RecorderTrackSpec;
using Clock = std::chrono::steady_clock;

class BenchFolder {
public:
    BenchFolder() {
        char name[] = "/tmp/ruvi-bench-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~BenchFolder() { std::filesystem::remove_all(path_); }
    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string path_;
};

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kDeviceBlock = 128;

// `tracks` tracks of `width` lanes, handed out in order, with the planned ring.
RecorderTakeConfig plannedTake(const std::string& folder, int tracks, int width) {
    RecorderTakeConfig config;
    config.directory = folder;
    config.sampleRate = kRate;
    config.blockFrames = kDeviceBlock;
    config.queueSlots = kestravon::ruvi::timeSizedQueueSlots(
        kRate, kDeviceBlock, static_cast<std::uint64_t>(tracks) * width, 0);
    std::uint32_t lane = 0;
    for (int t = 0; t < tracks; ++t) {
        RecorderTrackSpec track{"in" + std::to_string(t), "", {}};
        for (int c = 0; c < width; ++c) {
            track.sourceLanes.push_back(lane++);
        }
        config.tracks.push_back(track);
    }
    return config;
}

void reportPlan(benchmark::State& state, const RecorderTakeConfig& config, int lanes) {
    state.counters["slots"] = config.queueSlots;
    state.counters["queue_MiB"] =
        static_cast<double>(config.queueSlots) * config.blockFrames * lanes * 4 / 1048576.0;
    state.counters["stall_tolerance_s"] = kestravon::ruvi::queueStallToleranceSeconds(
        config.sampleRate, config.blockFrames, config.queueSlots);
}

// Planar device buffers as the render callback hands them over: one block of 4096 floats per
// channel, side by side.
struct Inputs {
    explicit Inputs(int lanes, std::uint32_t frames) : samples(std::size_t{4096} * lanes, 0.25f) {
        (void)frames;
        for (int lane = 0; lane < lanes; ++lane) {
            pointers.push_back(samples.data() + std::size_t{4096} * lane);
        }
    }
    std::vector<float> samples;
    std::vector<const float*> pointers;
};

void waitUntilDrained(const RawRecorder& recorder) {
    while (recorder.status().queuedBlocks != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// The planned take fed 128-frame device blocks. One iteration times a burst of 120 pushes into an
// empty ring; the writer drains between bursts, outside the timing. Reports the median and the
// largest single push.
void BM_PushBlock(benchmark::State& state) {
    const int tracks = static_cast<int>(state.range(0));
    constexpr std::uint32_t kFrames = kDeviceBlock;
    constexpr int kBurst = 120;
    BenchFolder folder;
    RawRecorder live;
    live.begin(plannedTake(folder.path() + "/take", tracks, 1));
    const Inputs inputs(tracks, kFrames);
    std::vector<double> perPush;
    perPush.reserve(kBurst * 2000);
    std::uint64_t allocations = 0;
    bool refused = false;

    for (auto _ : state) {
        waitUntilDrained(live);
        const std::uint64_t allocationsBefore = tAllocations;
        const auto burstStart = Clock::now();
        auto last = burstStart;
        for (int i = 0; i < kBurst; ++i) {
            refused |= !live.pushBlock(inputs.pointers.data(), tracks, kFrames);
            const auto now = Clock::now();
            if (perPush.size() < perPush.capacity()) {
                perPush.push_back(std::chrono::duration<double, std::micro>(now - last).count());
            }
            last = now;
        }
        allocations += tAllocations - allocationsBefore;
        state.SetIterationTime(std::chrono::duration<double>(last - burstStart).count());
    }
    live.stopWriter();
    if (refused) {
        state.SkipWithError("the ring refused a block");
        return;
    }
    std::sort(perPush.begin(), perPush.end());
    state.counters["median_us"] = perPush[perPush.size() / 2];
    state.counters["max_us"] = perPush.back();
    state.counters["allocations"] = static_cast<double>(allocations);
    state.counters["target_us"] = 2.0;
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_PushBlock)->Arg(8)->Arg(32)->Arg(128)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The floor: the same bytes written sequentially to one file in 4096-frame pieces, with one fsync
// per second of audio. Returns seconds of audio per second of wall time.
double plainWriteRate(const std::string& path, int lanes, int audioSeconds) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const std::vector<float> piece(std::size_t{4096} * lanes, 0.25f);
    const std::size_t bytesPerSecond = std::size_t{kRate} * lanes * 4;
    const auto start = Clock::now();
    for (int second = 0; second < audioSeconds; ++second) {
        for (std::size_t done = 0; done < bytesPerSecond;) {
            const std::size_t n = std::min(piece.size() * 4, bytesPerSecond - done);
            done += static_cast<std::size_t>(::write(fd, piece.data(), n));
        }
        ::fsync(fd);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    std::filesystem::remove(path);
    return audioSeconds / seconds;
}

// The writer of the planned take fed 128-frame blocks as fast as its ring allows. Returns seconds
// of audio per second of wall time, start to complete.
double writerRate(const RecorderTakeConfig& config, int lanes, int audioSeconds) {
    RawRecorder live;
    live.begin(config);
    const Inputs inputs(lanes, kDeviceBlock);
    const long blocks = audioSeconds * static_cast<long>(kRate) / kDeviceBlock;
    const std::uint32_t highWater = config.queueSlots - 8;
    const auto start = Clock::now();
    for (long b = 0; b < blocks;) {
        if (live.status().queuedBlocks >= highWater) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        if (!live.pushBlock(inputs.pointers.data(), lanes, kDeviceBlock)) {
            return 0; // a fault: reported as no sustained rate at all
        }
        ++b;
    }
    live.requestStop();
    while (live.status().state == RecorderState::Finalizing) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool complete = live.status().state == RecorderState::Complete;
    live.stopWriter();
    return complete ? audioSeconds / seconds : 0;
}

// Arguments: tracks and their width. Targets: at least 10 x real time, and within 2 x the plain
// write's time.
void BM_WriterThroughput(benchmark::State& state) {
    const int tracks = static_cast<int>(state.range(0));
    const int width = static_cast<int>(state.range(1));
    const int lanes = tracks * width;
    constexpr int kAudioSeconds = 10;
    double writer = 0;
    double plain = 0;
    int take = 0;
    RecorderTakeConfig config;
    for (auto _ : state) {
        BenchFolder folder;
        plain = plainWriteRate(folder.path() + "/plain.raw", lanes, kAudioSeconds);
        config = plannedTake(folder.path() + "/take" + std::to_string(take++), tracks, width);
        writer = writerRate(config, lanes, kAudioSeconds);
        state.SetIterationTime(writer > 0 ? kAudioSeconds / writer : 0);
    }
    if (writer == 0) {
        state.SkipWithError("the writer did not complete the take");
        return;
    }
    reportPlan(state, config, lanes);
    state.counters["writer_x_realtime"] = writer;
    state.counters["plain_x_realtime"] = plain;
    state.counters["writer_time_over_plain"] = plain / writer;
    state.counters["target_x_realtime"] = 10;
    state.counters["target_time_over_plain"] = 2;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kAudioSeconds * kRate *
                            lanes * 4);
}
BENCHMARK(BM_WriterThroughput)
    ->ArgNames({"tracks", "width"})
    ->Args({8, 1})
    ->Args({32, 1})
    ->Args({128, 1})
    ->Args({128, 2})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
