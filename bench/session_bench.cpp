// Session files and file loading at stage size.
//
// A console of 127 mono input strips and the main bus, each strip with two real inserts (ZamEQ2
// and ZamComp) and 32 captured scenes: the payload's size, the time to capture it with fresh
// plug-in states, the save beside its floor (write + fsync of the same bytes) and the open beside
// its floor (json::parse of the same bytes). Then "loadPlayback" of 128 mono 44.1 kHz lanes into
// a 48 kHz session through the background job: wall time, peak RSS, progress reports per second
// and the time from cancel to the body's end.

#include "app/application_impl.h"
#include "app/session_file_store.h"
#include "app/session_payload_validation.h"

#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kStrips = 127; // with the main bus, the 128 nodes a session may hold
constexpr int kScenes = 32;
constexpr int kLanes = 128;

double peakRssMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

std::string scratchFolder() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "ruvi-bench-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchFolder(), ignored);
        });
        return pattern;
    }();
    return folder;
}

std::unique_ptr<Application> headlessApplication() {
    return std::make_unique<Application>(
        std::make_shared<EndpointCatalogue>(std::vector<std::shared_ptr<AudioEndpointProvider>>{
            std::make_shared<VirtualEndpointSet>()}));
}

Json stageNative() {
    Json nodes = Json::array();
    for (int i = 0; i < kStrips; ++i) {
        const std::string id = "in" + std::to_string(i + 1);
        nodes.push_back(
            {{"id", id},
             {"kind", "input"},
             {"width", 1},
             {"name", "Input " + std::to_string(i + 1)},
             {"routes", Json::array({{{"destinationId", "main-lr"}}})},
             {"inserts", Json::array({{{"id", "eq-" + std::to_string(i + 1)},
                                       {"modulePath", "/usr/lib/vst3/ZamEQ2.vst3"}},
                                      {{"id", "comp-" + std::to_string(i + 1)},
                                       {"modulePath", "/usr/lib/vst3/ZamComp.vst3"}}})}});
    }
    nodes.push_back({{"id", "main-lr"}, {"kind", "bus"}, {"width", 2}});
    return {{"format", "kestravon-live-native-0.1"}, {"sampleRate", 48000}, {"nodes", nodes}};
}

Json stageUi() {
    Json channels = Json::array();
    for (int i = 0; i < kStrips; ++i) {
        channels.push_back({{"id", "in" + std::to_string(i + 1)},
                            {"name", "Input " + std::to_string(i + 1)},
                            {"level", -10},
                            {"pan", 0},
                            {"mute", false},
                            {"inserts", Json::array({{{"id", "eq-" + std::to_string(i + 1)}},
                                                     {{"id", "comp-" + std::to_string(i + 1)}}})}});
    }
    return {{"schemaVersion", 2}, {"channels", channels}, {"master", {{"id", "main-lr"}}}};
}

// The console, applied once for the whole run, with its scene bank filled from a real capture.
struct StageConsole {
    std::unique_ptr<Application> app = headlessApplication();
    Json payload;
    std::string file = scratchFolder() + "/stage.kestavel";
    std::string bytes;

    StageConsole() {
        auto& a = app->impl();
        BackendStatus layout;
        layout.sampleRate = 48000;
        std::string error;
        const Json native = stageNative();
        if (!a.graph.applyGraph(native, layout, error)) {
            throw std::runtime_error(error);
        }
        a.nativeSession = native;
        a.uiSession = stageUi();
        const Json captured = a.captureSessionPayload();
        // As captureScene builds them: scene k's state holds the UI document with scenes 1 to k.
        Json ui = captured.at("uiState");
        Json snapshot = ui;
        snapshot.erase("scenes");
        for (int s = 0; s < kScenes; ++s) {
            const std::string id = "scene-" + std::to_string(10 + s);
            ui["scenes"].push_back(
                {{"id", id}, {"name", "Song " + std::to_string(s + 1)}, {"snapshot", snapshot}});
            ui["currentScene"] = id;
            a.sceneStates[id] = {{"native", captured.at("native")}, {"uiState", ui}};
        }
        a.uiSession = ui;
        payload = a.captureSessionPayload();
        saveSessionFile(file, payload);
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

StageConsole& stage() {
    static StageConsole console;
    return console;
}

void BM_CaptureSessionPayload(benchmark::State& state) {
    auto& console = stage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(console.app->impl().captureSessionPayload());
    }
    state.counters["payloadBytes"] = static_cast<double>(console.payload.dump().size());
    state.counters["fileBytes"] = static_cast<double>(console.bytes.size());
}
BENCHMARK(BM_CaptureSessionPayload)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SaveSessionFile(benchmark::State& state) {
    auto& console = stage();
    for (auto _ : state) {
        saveSessionFile(console.file, console.payload);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * console.bytes.size()));
}
BENCHMARK(BM_SaveSessionFile)->Unit(benchmark::kMillisecond)->Iterations(20);

// Where a save spends its time: canonical text, the rule walk and the digest.
void BM_SaveStepDump(benchmark::State& state) {
    auto& console = stage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(console.payload.dump());
    }
}
BENCHMARK(BM_SaveStepDump)->Unit(benchmark::kMillisecond)->Iterations(5);
void BM_SaveStepHash(benchmark::State& state) {
    auto& console = stage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sha256Hex(console.bytes));
    }
}
BENCHMARK(BM_SaveStepHash)->Unit(benchmark::kMillisecond)->Iterations(5);
void BM_SaveStepValidate(benchmark::State& state) {
    auto& console = stage();
    for (auto _ : state) {
        validateSessionPayload(console.payload);
    }
}
BENCHMARK(BM_SaveStepValidate)->Unit(benchmark::kMillisecond)->Iterations(5);

// The floor of a save: the same bytes written to one file and flushed.
void BM_SaveFloorWriteFsync(benchmark::State& state) {
    auto& console = stage();
    const std::string path = scratchFolder() + "/floor.bin";
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::size_t done = 0;
        while (done < console.bytes.size()) {
            const ssize_t n = ::write(fd, console.bytes.data() + done, console.bytes.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::fsync(fd);
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * console.bytes.size()));
}
BENCHMARK(BM_SaveFloorWriteFsync)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_OpenSessionFile(benchmark::State& state) {
    auto& console = stage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(loadSessionFile(console.file));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * console.bytes.size()));
}
BENCHMARK(BM_OpenSessionFile)->Unit(benchmark::kMillisecond)->Iterations(20);

// The floor of an open: parsing the same bytes, already in memory.
void BM_OpenFloorJsonParse(benchmark::State& state) {
    auto& console = stage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Json::parse(console.bytes));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * console.bytes.size()));
}
BENCHMARK(BM_OpenFloorJsonParse)->Unit(benchmark::kMillisecond)->Iterations(20);

// 128 paths of one sox-written mono 44.1 kHz file (hard links, so the disk holds it once and
// every lane is read, decoded and resampled on its own).
Json laneSet(int seconds) {
    const std::string folder = scratchFolder() + "/lanes-" + std::to_string(seconds);
    const std::string source = folder + "/source.wav";
    if (!std::filesystem::exists(source)) {
        std::filesystem::create_directory(folder);
        const std::string command = "sox -n -r 44100 -c 1 -b 16 '" + source + "' synth " +
                                    std::to_string(seconds) + " pinknoise vol 0.3";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("sox failed");
        }
        for (int i = 0; i < kLanes; ++i) {
            std::filesystem::create_hard_link(source,
                                              folder + "/lane-" + std::to_string(i) + ".wav");
        }
    }
    Json paths = Json::array();
    for (int i = 0; i < kLanes; ++i) {
        paths.push_back(folder + "/lane-" + std::to_string(i) + ".wav");
    }
    return paths;
}

Json beginLoad(Application& app, const Json& paths) {
    return *app.beginAsyncRequest(
        {{"id", 1}, {"method", "loadPlayback"}, {"params", {{"paths", paths}}}});
}

// The job from its request to the body's end, the reply collected after it.
void runLoadJob(benchmark::State& state, int seconds) {
    const Json paths = laneSet(seconds);
    std::string outcome = "loaded";
    double wall = 0;
    for (auto _ : state) {
        auto app = headlessApplication();
        const auto start = Clock::now();
        const Json pending = beginLoad(*app, paths);
        auto& job = *app->impl().job;
        while (job.future.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        }
        wall = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(wall);
        const auto replies = app->pollAsyncJob();
        if (!replies.empty() && !replies.front().value("ok", false)) {
            outcome = replies.front().value("error", std::string());
        }
        (void)pending;
    }
    state.counters["peakRssMiB"] = peakRssMiB();
    state.counters["laneSeconds"] = kLanes * seconds;
    state.SetLabel(outcome);
}

void BM_LoadPlayback128Lanes20s(benchmark::State& state) {
    runLoadJob(state, 20);
}
BENCHMARK(BM_LoadPlayback128Lanes20s)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

// 128 lanes of 60 s at 48 kHz are 1.37 GiB of float samples: more than the 512 MiB budget, so
// the loader must refuse it, and how soon it does is the figure.
void BM_LoadPlayback128Lanes60s(benchmark::State& state) {
    runLoadJob(state, 60);
}
BENCHMARK(BM_LoadPlayback128Lanes60s)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

// The loader's own progress reports, counted at the callback the job hands it.
void BM_LoadProgressReports(benchmark::State& state) {
    const Json paths = laneSet(20);
    double reports = 0;
    double seconds = 0;
    for (auto _ : state) {
        PlaybackConfig config = makePlaybackConfig(paths, 48000);
        std::atomic<std::uint64_t> count{0};
        config.progress = [&count](std::string_view, double) { count.fetch_add(1); };
        PlaybackBank bank;
        const auto start = Clock::now();
        bank.load(config);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        reports = static_cast<double>(count.load());
        state.SetIterationTime(seconds);
    }
    state.counters["reports"] = reports;
    state.counters["reportsPerSecond"] = reports / seconds;
}
BENCHMARK(BM_LoadProgressReports)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

// From cancelAsyncJob to the body's end, cancelled while it decodes or resamples.
void BM_LoadCancelLatency(benchmark::State& state) {
    const Json paths = laneSet(20);
    const std::int32_t phase = static_cast<std::int32_t>(state.range(0));
    double worst = 0;
    for (auto _ : state) {
        auto app = headlessApplication();
        (void)beginLoad(*app, paths);
        auto& job = *app->impl().job;
        while (job.phase.load() != phase) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const auto start = Clock::now();
        app->cancelAsyncJob();
        job.future.wait();
        const double latency = std::chrono::duration<double>(Clock::now() - start).count();
        worst = std::max(worst, latency);
        state.SetIterationTime(latency);
        (void)app->pollAsyncJob();
    }
    state.counters["worstSeconds"] = worst;
}
BENCHMARK(BM_LoadCancelLatency)
    ->ArgName("phase")
    ->Arg(static_cast<int>(JobPhase::decoding))
    ->Arg(static_cast<int>(JobPhase::resampling))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);

} // namespace
} // namespace kestravon::ruvi

BENCHMARK_MAIN();
