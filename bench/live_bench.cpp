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
            std::fprintf(stderr, "console: %s\n", error.c_str());
            std::abort();
        }
        std::fprintf(stderr, "console: %zu nodes, %zu plug-ins, UI document %zu bytes\n",
                     console.native.at("nodes").size(),
                     made->impl().graph.insertStatusJson().size(), console.ui.dump().size());
        made->impl().nativeSession = console.native;
        made->impl().uiSession = console.ui;
        return made;
    }();
    return *app;
}

void reportLatencies(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) {
        return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["max_us"] = micros.back();
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

} // namespace
} // namespace kestravon::ruvi

BENCHMARK_MAIN();
