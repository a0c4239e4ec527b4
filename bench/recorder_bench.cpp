// Take recorder figures: the audio-thread tap cost per 128-frame block, and the writer's
// sustained rate for 128 mono tracks at 48 kHz against a plain sequential write of the same bytes
// with one fsync per second of audio.

#include "media/raw_recorder.h"

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

RecorderTakeConfig monoTake(const std::string& folder, int tracks, std::uint32_t blockFrames,
                            std::uint32_t slots) {
    RecorderTakeConfig config;
    config.directory = folder;
    config.blockFrames = blockFrames;
    config.queueSlots = slots;
    for (int t = 0; t < tracks; ++t) {
        config.tracks.push_back(
            RecorderTrackSpec{"in" + std::to_string(t), "", {static_cast<std::uint32_t>(t)}});
    }
    return config;
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

// The take shape that recording starts with (128 slots of 4096 frames) fed 128-frame device
// blocks. One iteration times a burst of 120 pushes into an empty ring; the writer drains between
// bursts, outside the timing. Reports the median and the largest single push.
void BM_PushBlock(benchmark::State& state) {
    const int tracks = static_cast<int>(state.range(0));
    constexpr std::uint32_t kFrames = 128;
    constexpr int kBurst = 120;
    BenchFolder folder;
    RawRecorder live;
    live.begin(monoTake(folder.path() + "/take", tracks, 4096, 128));
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

// The floor: the same bytes written sequentially to one file in one-slot pieces, with one fsync
// per second of audio. Returns seconds of audio per second of wall time.
double plainWriteRate(const std::string& path, int tracks, int audioSeconds) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const std::vector<float> piece(std::size_t{4096} * tracks, 0.25f);
    const std::size_t bytesPerSecond = std::size_t{48000} * tracks * 4;
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

// The writer at the planned take shape (4096-frame slots, 128 slots) fed `frames`-frame blocks as
// fast as its ring allows. Returns seconds of audio per second of wall time, start to complete.
double writerRate(const std::string& folder, int tracks, int audioSeconds, std::uint32_t frames) {
    RawRecorder live;
    live.begin(monoTake(folder, tracks, 4096, 128));
    const Inputs inputs(tracks, frames);
    const long blocks = audioSeconds * 48000L / frames;
    const auto start = Clock::now();
    for (long b = 0; b < blocks;) {
        if (live.status().queuedBlocks >= 120) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        if (!live.pushBlock(inputs.pointers.data(), tracks, frames)) {
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

// Argument: the device block. With 128-frame blocks the 128 slots hold a third of a second of
// audio, so the writer's idle polls and commit flushes show; 4096-frame blocks fill every slot.
void BM_WriterThroughput128MonoTracks(benchmark::State& state) {
    const auto frames = static_cast<std::uint32_t>(state.range(0));
    constexpr int kTracks = 128;
    constexpr int kAudioSeconds = 20;
    double writer = 0;
    double plain = 0;
    int take = 0;
    for (auto _ : state) {
        BenchFolder folder;
        plain = plainWriteRate(folder.path() + "/plain.raw", kTracks, kAudioSeconds);
        writer = writerRate(folder.path() + "/take" + std::to_string(take++), kTracks,
                            kAudioSeconds, frames);
        state.SetIterationTime(writer > 0 ? kAudioSeconds / writer : 0);
    }
    if (writer == 0) {
        state.SkipWithError("the writer did not complete the take");
        return;
    }
    state.counters["writer_x_realtime"] = writer;
    state.counters["plain_x_realtime"] = plain;
    state.counters["writer_time_over_plain"] = plain / writer;
    state.counters["target_x_realtime"] = 10;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kAudioSeconds * 48000 *
                            kTracks * 4);
}
BENCHMARK(BM_WriterThroughput128MonoTracks)
    ->Arg(128)
    ->Arg(4096)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
