// The control core on a full console: fader requests, the editor-edit fold, scene capture and
// recall, and what the session payload weighs as scenes pile up.
//
// The console is 128 stereo nodes (the graph's node budget): 111 input strips and 16 buses,
// each with two real plug-ins and their parameter maps, plus the main bus; 8 DCAs of 14 strips.
// Figures: median and max per request, since a fader drag is judged by its worst message.

#include "app/application.h"
#include "app/application_impl.h"

#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kStrips = 111;
constexpr int kBuses = 16;
constexpr int kDcas = 8;
constexpr int kSendsPerStrip = 4;
constexpr const char* kPlugins[] = {"/usr/lib/vst3/ZamCompX2.vst3", "/usr/lib/vst3/ZamGateX2.vst3"};

std::unique_ptr<Application> headlessApplication() {
    auto set = std::make_shared<VirtualEndpointSet>();
    return std::make_unique<Application>(std::make_shared<EndpointCatalogue>(
        std::vector<std::shared_ptr<AudioEndpointProvider>>{set}));
}

BackendStatus noDevice() {
    BackendStatus layout;
    layout.sampleRate = 48000;
    return layout;
}

// The writable parameters of a plug-in with their current values, as a session stores them.
Json parameterMap(const std::string& modulePath) {
    NativeGraphEngine engine;
    const Json probe = {{"format", "kestravon-live-native-0.1"},
                        {"nodes",
                         {{{"id", "main-lr"},
                           {"kind", "bus"},
                           {"width", 2},
                           {"inserts", {{{"id", "fx"}, {"modulePath", modulePath}}}}}}}};
    std::string error;
    if (!engine.applyGraph(probe, noDevice(), error)) {
        std::fprintf(stderr, "%s: %s\n", modulePath.c_str(), error.c_str());
        std::abort();
    }
    Json map = Json::object();
    for (const Json& parameter : engine.insertParametersJson("main-lr", "fx").at("parameters")) {
        if (!parameter.at("readOnly").get<bool>()) {
            map[std::to_string(parameter.at("id").get<std::uint32_t>())] =
                parameter.at("normalized").get<double>();
        }
    }
    return map;
}

std::string stripId(int k) {
    return "ch-" + std::to_string(k);
}
std::string busId(int k) {
    return "bus-" + std::to_string(k);
}
std::string dcaId(int k) {
    return "dca-" + std::to_string(k);
}

struct Console {
    Json native;
    Json ui;
};

Console buildConsole() {
    std::vector<Json> maps;
    for (const char* plugin : kPlugins) {
        maps.push_back(parameterMap(plugin));
    }
    const auto inserts = [&](const std::string& node, bool native) {
        Json list = Json::array();
        for (std::size_t p = 0; p < std::size(kPlugins); ++p) {
            Json insert = {{"id", node + "-fx" + std::to_string(p)}, {"parameters", maps[p]}};
            if (native) {
                insert["modulePath"] = kPlugins[p];
            }
            list.push_back(std::move(insert));
        }
        return list;
    };
    Console console;
    Json nodes = Json::array();
    Json channels = Json::array();
    for (int k = 0; k < kStrips; ++k) {
        Json routes = {{{"destinationId", "main-lr"}}};
        Json sends = Json::array();
        for (int s = 0; s < kSendsPerStrip; ++s) {
            const std::string bus = busId((k + s) % kBuses);
            routes.push_back({{"destinationId", bus}, {"gainDb", -10.0}});
            sends.push_back({{"busId", bus}, {"level", -10.0}, {"pre", false}});
        }
        nodes.push_back({{"id", stripId(k)},
                         {"kind", "input"},
                         {"width", 2},
                         {"inserts", inserts(stripId(k), true)},
                         {"routes", routes}});
        channels.push_back({{"id", stripId(k)},
                            {"name", "Input " + std::to_string(k + 1)},
                            {"color", "#3a7bd5"},
                            {"level", -10.0},
                            {"mute", false},
                            {"pan", 0.0},
                            {"inserts", inserts(stripId(k), false)},
                            {"sends", sends}});
    }
    Json aux = Json::array();
    for (int k = 0; k < kBuses; ++k) {
        nodes.push_back({{"id", busId(k)},
                         {"kind", "bus"},
                         {"width", 2},
                         {"inserts", inserts(busId(k), true)},
                         {"routes", {{{"destinationId", "main-lr"}}}}});
        aux.push_back({{"id", busId(k)},
                       {"name", "Bus " + std::to_string(k + 1)},
                       {"level", 0.0},
                       {"inserts", inserts(busId(k), false)}});
    }
    nodes.push_back({{"id", "main-lr"}, {"kind", "bus"}, {"width", 2}});
    Json dcas = Json::array();
    for (int d = 0; d < kDcas; ++d) {
        Json members = Json::array();
        for (int k = d; k < kStrips; k += kDcas) {
            members.push_back(stripId(k));
        }
        dcas.push_back({{"id", dcaId(d)},
                        {"name", "DCA " + std::to_string(d + 1)},
                        {"level", static_cast<double>(d) - 4.0},
                        {"mute", false},
                        {"members", members}});
    }
    console.native = {{"format", "kestravon-live-native-0.1"}, {"nodes", nodes}};
    console.ui = {{"schemaVersion", 2},
                  {"channels", channels},
                  {"aux", aux},
                  {"master", {{"id", "main-lr"}, {"level", 0.0}}},
                  {"dcas", dcas}};
    return console;
}

// One Application holding the console, built once for every benchmark of this binary.
Application& consoleApplication() {
    static const std::unique_ptr<Application> app = [] {
        auto made = headlessApplication();
        const Console console = buildConsole();
        std::string error;
        if (!made->impl().graph.applyGraph(console.native, noDevice(), error)) {
            // A recall plans its layout from the known endpoints; this console uses none.
            EndpointInfo output;
            output.id = "virtual:bench-out";
            output.channels = 2;
            output.sampleRate = 48000;
            output.available = true;
            made->impl().devices = {output};
            std::fprintf(stderr, "console: %s\n", error.c_str());
            std::abort();
        }
        // A recall plans its layout from the known endpoints; this console uses none.
        EndpointInfo output;
        output.id = "virtual:bench-out";
        output.channels = 2;
        output.sampleRate = 48000;
        output.available = true;
        made->impl().devices = {output};
        std::fprintf(stderr, "console: %zu nodes, %zu plug-ins, UI document %zu bytes\n",
                     console.native.at("nodes").size(),
                     made->impl().graph.insertStatusJson().size(), console.ui.dump().size());
        made->impl().nativeSession = console.native;
        made->impl().uiSession = console.ui;
        return made;
    }();
    return *app;
}

// `unit` names what the samples are in ("us" or "ms").
void reportLatencies(benchmark::State& state, std::vector<double>& samples,
                     const std::string& unit = "us") {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_" + unit] = samples[samples.size() / 2];
    state.counters["max_" + unit] = samples.back();
}

// A fader drag on a strip in a DCA: each request carries the UI level that gives the gain.
void BM_SetParameterWithLevelPatch(benchmark::State& state) {
    Application& app = consoleApplication();
    const int strip = 42;
    const double dca = static_cast<double>(strip % kDcas) - 4.0;
    std::vector<double> micros;
    double level = -20.0;
    for (auto _ : state) {
        level = level > -10.0 ? -30.0 : level + 0.5;
        const Json request = {
            {"id", 7},
            {"method", "setParameter"},
            {"params",
             {{"nodeId", stripId(strip)},
              {"key", "gainDb"},
              {"value", level + dca},
              {"uiPatch", {{"entityId", stripId(strip)}, {"key", "level"}, {"value", level}}}}}};
        const auto start = Clock::now();
        const Json reply = app.handleRequest(request);
        const auto took = Clock::now() - start;
        micros.push_back(std::chrono::duration<double, std::micro>(took).count());
        if (!reply.at("ok").get<bool>()) {
            state.SkipWithError(reply.at("error").get<std::string>().c_str());
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
    reportLatencies(state, micros);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetParameterWithLevelPatch)->Iterations(4000)->Unit(benchmark::kMicrosecond);

// ---- the editor-edit fold: 128 nodes with 16 inserts each, 4096 edits pending per fold

std::string testPlugin(const std::string& name) {
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
    return (exe.parent_path().parent_path() / "testplugins" / ("ruvi_testplug_" + name + ".vst3"))
        .string();
}

using EditFn = void (*)(std::uint32_t firstId, int count, double value, int onThread);

void BM_FoldEditorEdits(benchmark::State& state) {
    constexpr int kNodes = 128;
    constexpr int kInsertsPerNode = 16;
    auto app = headlessApplication();
    Json nodes = Json::array();
    Json channels = Json::array();
    for (int n = 0; n < kNodes; ++n) {
        const bool main = n == kNodes - 1;
        const std::string id = main ? "main-lr" : stripId(n);
        Json inserts = Json::array();
        Json uiInserts = Json::array();
        for (int k = 0; k < kInsertsPerNode; ++k) {
            // The last insert opened is the one whose controller the edit knob drives.
            const bool editor = main && k == kInsertsPerNode - 1;
            const std::string slot = id + "-fx" + std::to_string(k);
            inserts.push_back({{"id", slot},
                               {"modulePath", testPlugin(editor ? "params_4096" : "basic")},
                               {"parameters", {{"0", 0.5}}}});
            uiInserts.push_back({{"id", slot}, {"parameters", {{"0", 0.5}}}});
        }
        nodes.push_back(
            {{"id", id}, {"kind", main ? "bus" : "input"}, {"width", 2}, {"inserts", inserts}});
        channels.push_back({{"id", id}, {"level", 0.0}, {"inserts", uiInserts}});
    }
    const Json native = {{"format", "kestravon-live-native-0.1"}, {"nodes", nodes}};
    std::string error;
    if (!app->impl().graph.applyGraph(native, noDevice(), error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    Json master = channels.back();
    channels.erase(channels.size() - 1);
    app->impl().nativeSession = native;
    app->impl().uiSession = {{"schemaVersion", 2}, {"channels", channels}, {"master", master}};
    const std::string module =
        testPlugin("params_4096") + "/Contents/x86_64-linux/ruvi_testplug_params_4096.so";
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
    const auto edit =
        handle ? reinterpret_cast<EditFn>(::dlsym(handle, "ruviTestplugEdit")) : nullptr;
    if (edit == nullptr) {
        state.SkipWithError("test plug-in knob missing");
        return;
    }
    std::vector<double> micros;
    std::vector<double> polls;
    double value = 0.25;
    for (auto _ : state) {
        state.PauseTiming();
        // The engine's share alone: collecting the same number of edits from the inserts.
        edit(0, 4096, 0.5, 0);
        const auto pollStart = Clock::now();
        benchmark::DoNotOptimize(app->impl().graph.pollParameterEdits());
        polls.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - pollStart).count());
        value = value == 0.25 ? 0.75 : 0.25;
        edit(0, 4096, value, 0);
        const std::int64_t before = app->impl().revision;
        state.ResumeTiming();
        const auto start = Clock::now();
        app->impl().foldEditorParameterEdits();
        micros.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (app->impl().revision != before + 1) {
            state.SkipWithError("the fold changed nothing");
            break;
        }
    }
    ::dlclose(handle);
    reportLatencies(state, micros, "ms");
    std::sort(polls.begin(), polls.end());
    if (!polls.empty()) {
        state.counters["poll_median_ms"] = polls[polls.size() / 2];
    }
    state.counters["edits"] = 4095;
}
BENCHMARK(BM_FoldEditorEdits)->Iterations(20)->Unit(benchmark::kMillisecond);

// ---- scenes on the console: capture, recall and the payload as scenes pile up

// Scene replies carry a status snapshot; what is measured here is the scene work itself.
void captureQuietly(Application& app, const std::string& id) {
    try {
        (void)app.impl().captureScene({{"sceneId", id}, {"name", "Scene " + id}});
    } catch (const std::exception& e) {
        if (std::string(e.what()).find("getControlState") == std::string::npos) {
            throw;
        }
    }
}

std::string sceneId(int k) {
    return "scene-" + std::to_string(10 + k);
}

void BM_CaptureScene(benchmark::State& state) {
    Application& app = consoleApplication();
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        captureQuietly(app, sceneId(0));
        micros.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    reportLatencies(state, micros, "ms");
}
BENCHMARK(BM_CaptureScene)->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_RecallScene(benchmark::State& state) {
    Application& app = consoleApplication();
    captureQuietly(app, sceneId(0));
    std::vector<double> micros;
    const Json params = {
        {"sceneId", sceneId(0)},
        {"safe", {{"levels", false}, {"processing", false}, {"routing", false}, {"fx", false}}}};
    for (auto _ : state) {
        const auto start = Clock::now();
        try {
            (void)app.impl().recallScene(params);
        } catch (const std::exception& e) {
            if (std::string(e.what()).find("getControlState") == std::string::npos) {
                state.SkipWithError(e.what());
                break;
            }
        }
        micros.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    reportLatencies(state, micros, "ms");
}
BENCHMARK(BM_RecallScene)->Iterations(5)->Unit(benchmark::kMillisecond);

// Every scene state keeps the UI document with all scene snapshots so far, so the payload grows
// about with the square of the scene count. Figures against the 64 MiB session file limit and
// the 2 MiB LAN message limit.
void BM_SessionPayloadBytes(benchmark::State& state) {
    Application& app = consoleApplication();
    const int scenes = static_cast<int>(state.range(0));
    for (int k = 0; k < scenes; ++k) {
        captureQuietly(app, sceneId(k));
    }
    std::size_t bytes = 0;
    std::size_t uiBytes = 0;
    for (auto _ : state) {
        const Json payload = app.impl().captureSessionPayload();
        bytes = payload.dump().size();
        uiBytes = payload.at("uiState").dump().size();
    }
    state.counters["payload_MiB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
    state.counters["uiState_MiB"] = static_cast<double>(uiBytes) / (1024.0 * 1024.0);
    state.counters["under_64MiB"] = bytes < 64u * 1024u * 1024u ? 1 : 0;
    state.counters["uiState_under_2MiB"] = uiBytes < 2u * 1024u * 1024u ? 1 : 0;
}
BENCHMARK(BM_SessionPayloadBytes)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace kestravon::ruvi

BENCHMARK_MAIN();
