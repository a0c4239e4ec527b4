// The control core's hot paths, each beside its floor in the same run:
// - the control-state snapshot of a large running console (128 nodes, 16 endpoint streams,
//   128 routes, a 1 MiB UI document): buildControlState, the getControlState {"after": 0} reply
//   dumped to text (bytes reported), plainly and through the text form that reuses the UI
//   document's text, against dumping the same reply alone; the "status" round trip through the
//   request gate, and "setParameter" with a level patch;
// - the render callback against NativeGraphEngine::render alone on the same graph, on the
//   physical-only path and with playback lanes;
// - "devices" on the machine's own catalogue (it may spawn pw-dump), the time the UI thread
//   waits for an enumeration.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "app/application.h"
#include "app/application_impl.h"
#include "app/render_callback.h"
#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"

namespace {

using namespace kestravon::ruvi;
using nlohmann::json;

constexpr int kEndpointsPerSide = 8; // 16 streams
constexpr int kNodes = 128;
constexpr int kFrames = 128;

std::string captureId(int e) {
    return "virtual:in" + std::to_string(e);
}
std::string renderId(int e) {
    return "virtual:out" + std::to_string(e);
}

json ports(const std::string& device) {
    return json::array(
        {{{"deviceId", device}, {"channel", 0}}, {{"deviceId", device}, {"channel", 1}}});
}

// 126 stereo strips over the capture endpoints into main-lr, one of them also into an aux bus:
// 128 nodes and 128 routes; main-lr and the aux bus play on render endpoints.
json largeSession() {
    json nodes = json::array();
    for (int i = 0; i < kNodes - 2; ++i) {
        json routes = json::array({{{"destinationId", "main-lr"}, {"gainDb", -3.0}}});
        if (i < 2) {
            routes.push_back({{"destinationId", "aux"}, {"tap", "preFader"}});
        }
        nodes.push_back(
            {{"id", "in" + std::to_string(i + 1)},
             {"kind", "input"},
             {"width", 2},
             {"source", {{"kind", "device"}, {"ports", ports(captureId(i % kEndpointsPerSide))}}},
             {"routes", routes}});
    }
    nodes.push_back(
        {{"id", "aux"}, {"kind", "bus"}, {"width", 2}, {"outputs", ports(renderId(1))}});
    nodes.push_back(
        {{"id", "main-lr"}, {"kind", "bus"}, {"width", 2}, {"outputs", ports(renderId(0))}});
    // 126 + 2 = 128 routes.
    return {{"format", "kestravon-live-native-0.1"}, {"sampleRate", 48000}, {"nodes", nodes}};
}

// A UI document of about 1 MiB: one strip per input node with its name, colour, fader, and two
// inserts whose parameter maps make up most of the bytes (as a console of plug-ins does).
json largeUiDocument() {
    constexpr int kParametersPerInsert = 166;
    json strips = json::array();
    for (int i = 0; i < kNodes - 2; ++i) {
        const std::string id = "in" + std::to_string(i + 1);
        json inserts = json::array();
        for (int fx = 0; fx < 2; ++fx) {
            json parameters = json::object();
            for (int k = 0; k < kParametersPerInsert; ++k) {
                parameters[std::to_string(k)] = (k % 97) / 97.0;
            }
            inserts.push_back(
                {{"id", id + "-fx" + std::to_string(fx)}, {"parameters", std::move(parameters)}});
        }
        strips.push_back({{"id", id},
                          {"name", "Strip " + std::to_string(i + 1)},
                          {"color", "#3a7bd5"},
                          {"level", -3.0},
                          {"mute", false},
                          {"pan", 0.0},
                          {"inserts", std::move(inserts)}});
    }
    return {{"schemaVersion", 2}, {"channels", std::move(strips)}};
}

// A console streaming 16 virtual endpoints with the large session applied.
struct RunningConsole {
    RunningConsole() {
        auto set = std::make_shared<VirtualEndpointSet>();
        for (int e = 0; e < kEndpointsPerSide; ++e) {
            VirtualEndpointSetup in;
            in.name = "in" + std::to_string(e);
            in.flow = DataFlow::capture;
            set->add(in);
            VirtualEndpointSetup out;
            out.name = "out" + std::to_string(e);
            out.flow = DataFlow::render;
            set->add(out);
        }
        app = std::make_unique<Application>(std::make_shared<EndpointCatalogue>(
            std::vector<std::shared_ptr<AudioEndpointProvider>>{set}));
        auto& a = app->impl();
        a.enumerateDevices();
        std::string error;
        const json session = largeSession();
        if (!a.graph.applyGraph(session, buildPhysicalChannelLayout(a.devices, 48000), error)) {
            throw std::runtime_error(error);
        }
        a.nativeSession = session;
        a.uiSession = largeUiDocument();
        a.revision = 1;
        json start = {
            {"requestedRate", 48000}, {"requestedBlock", kFrames}, {"masterOutputId", renderId(0)}};
        for (int e = 0; e < kEndpointsPerSide; ++e) {
            start["inputs"].push_back({{"id", captureId(e)}});
            start["outputs"].push_back({{"id", renderId(e)}});
        }
        const json reply =
            app->handleRequest({{"id", 1}, {"method", "startAudio"}, {"params", start}});
        if (!reply.value("ok", false)) {
            throw std::runtime_error(reply.dump());
        }
    }
    std::unique_ptr<Application> app;
};

RunningConsole& console() {
    static RunningConsole instance;
    return instance;
}

void BM_BuildControlState(benchmark::State& state) {
    auto& app = *console().app;
    for (auto _ : state) {
        benchmark::DoNotOptimize(app.buildControlState());
    }
    const json s = app.buildControlState();
    state.counters["streams"] = static_cast<double>(s["audio"]["streams"].size());
    state.counters["routes"] = static_cast<double>(s["routing"]["preparedRoutes"].size());
    state.counters["meters"] = static_cast<double>(s["meters"].size());
    state.counters["ui_bytes"] = static_cast<double>(app.impl().uiSession.dump().size());
}
BENCHMARK(BM_BuildControlState)->Unit(benchmark::kMicrosecond);

const json kGetControlState = {
    {"id", 2}, {"method", "getControlState"}, {"params", {{"after", 0}}}};

void BM_GetControlStateDumped(benchmark::State& state) {
    auto& app = *console().app;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = app.handleRequest(kGetControlState).dump();
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GetControlStateDumped)->Unit(benchmark::kMicrosecond);

// The same reply through the text form the display-rate poll uses: the UI document's text is
// written once per revision and spliced in, not copied into the reply and written again.
void BM_GetControlStateTextDumped(benchmark::State& state) {
    auto& app = *console().app;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = app.handleRequestWithUiText(kGetControlState).dump();
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GetControlStateTextDumped)->Unit(benchmark::kMicrosecond);

// Floor: dumping the same reply, already built.
void BM_GetControlStateDumpFloor(benchmark::State& state) {
    const json reply = console().app->handleRequest(kGetControlState);
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = reply.dump();
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GetControlStateDumpFloor)->Unit(benchmark::kMicrosecond);

// The snapshot without the UI document ("after" equal to the revision), dumped.
void BM_GetControlStateCurrentDumped(benchmark::State& state) {
    auto& app = *console().app;
    const json request = {{"id", 3}, {"method", "getControlState"}, {"params", {{"after", 1}}}};
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = app.handleRequest(request).dump();
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GetControlStateCurrentDumped)->Unit(benchmark::kMicrosecond);

void BM_StatusRoundTrip(benchmark::State& state) {
    auto& app = *console().app;
    const json request = {{"id", 4}, {"method", "status"}};
    for (auto _ : state) {
        benchmark::DoNotOptimize(app.handleRequest(request));
    }
}
BENCHMARK(BM_StatusRoundTrip)->Unit(benchmark::kMicrosecond);

// A fader drag on one strip: "setParameter" with the UI level patch, median and max per request.
// Each request steps the revision, so it runs after the snapshot figures above.
void BM_SetParameterRoundTrip(benchmark::State& state) {
    auto& app = *console().app;
    std::vector<double> micros;
    double level = -20.0;
    for (auto _ : state) {
        level = level > -10.0 ? -30.0 : level + 0.5;
        const json request = {
            {"id", 6},
            {"method", "setParameter"},
            {"params",
             {{"nodeId", "in42"},
              {"key", "gainDb"},
              {"value", level},
              {"uiPatch", {{"entityId", "in42"}, {"key", "level"}, {"value", level}}}}}};
        const auto start = std::chrono::steady_clock::now();
        const json reply = app.handleRequest(request);
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
        if (!reply.value("ok", false)) {
            state.SkipWithError(reply.dump().c_str());
            break;
        }
    }
    if (!micros.empty()) {
        std::sort(micros.begin(), micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["max_us"] = micros.back();
    }
}
BENCHMARK(BM_SetParameterRoundTrip)->Iterations(4000)->Unit(benchmark::kMicrosecond);

// ---- render callback against the graph alone

constexpr int kRenderStrips = 32;
constexpr std::uint32_t kLanes = 8;

// An Application without devices holding a 32-strip console (stereo strips into main-lr) compiled
// for 64 physical inputs and, when asked, 8 playback lanes (the empty bank renders silence).
struct RenderRig {
    explicit RenderRig(std::uint32_t lanes)
        : app(std::make_shared<EndpointCatalogue>(
              std::vector<std::shared_ptr<AudioEndpointProvider>>{
                  std::make_shared<VirtualEndpointSet>()})),
          in(static_cast<std::size_t>(kRenderStrips) * 2 * kMaxRenderFrames, 0.1f),
          out(2 * kMaxRenderFrames, 0.0f) {
        EndpointInfo cap{"cap", "cap", "cap", true, kRenderStrips * 2, 48000, true};
        EndpointInfo play{"play", "play", "play", false, 2, 48000, true};
        json nodes = json::array();
        for (int i = 0; i < kRenderStrips; ++i) {
            nodes.push_back(
                {{"id", "in" + std::to_string(i)},
                 {"kind", "input"},
                 {"width", 2},
                 {"source",
                  {{"kind", "device"},
                   {"ports", json::array({{{"deviceId", "cap"}, {"channel", 2 * i}},
                                          {{"deviceId", "cap"}, {"channel", 2 * i + 1}}})}}},
                 {"routes", json::array({{{"destinationId", "main-lr"}}})}});
        }
        nodes.push_back(
            {{"id", "main-lr"}, {"kind", "bus"}, {"width", 2}, {"outputs", ports("play")}});
        json description = {
            {"format", "kestravon-live-native-0.1"}, {"nodes", nodes}, {"playbackChannels", lanes}};
        std::string error;
        auto& a = app.impl();
        if (!a.graph.applyGraph(description, buildPhysicalChannelLayout({cap, play}, 48000),
                                error)) {
            throw std::runtime_error(error);
        }
        a.playbackChannels = lanes;
        for (int c = 0; c < kRenderStrips * 2; ++c) {
            inputs.push_back(in.data() + static_cast<std::size_t>(c) * kMaxRenderFrames);
        }
        // What the callback hands the graph: the physical inputs, then the lane buffers.
        joined = inputs;
        for (std::uint32_t k = 0; k < lanes; ++k) {
            joined.push_back(a.playbackChannelBuffers[k]);
        }
        outputs = {out.data(), out.data() + kMaxRenderFrames};
    }
    Application app;
    std::vector<float> in, out;
    std::vector<const float*> inputs, joined;
    std::vector<float*> outputs;
};

void BM_RenderCallback(benchmark::State& state) {
    RenderRig rig(static_cast<std::uint32_t>(state.range(0)));
    auto& a = rig.app.impl();
    for (auto _ : state) {
        audioRenderCallback(&a, rig.inputs.data(), kRenderStrips * 2, rig.outputs.data(), 2,
                            kFrames, 48000.0);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RenderCallback)->Arg(0)->Arg(kLanes)->Unit(benchmark::kMicrosecond);

// Floor: the graph's own render of the same block (with the lanes already joined).
void BM_GraphRenderAlone(benchmark::State& state) {
    RenderRig rig(static_cast<std::uint32_t>(state.range(0)));
    auto& a = rig.app.impl();
    const auto inputCount = static_cast<std::int32_t>(rig.joined.size());
    for (auto _ : state) {
        a.graph.render(rig.joined.data(), inputCount, rig.outputs.data(), 2, kFrames, 48000.0);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GraphRenderAlone)->Arg(0)->Arg(kLanes)->Unit(benchmark::kMicrosecond);

// ---- device enumeration on the machine's catalogue

void BM_DevicesSystemCatalogue(benchmark::State& state) {
    Application app;
    const json request = {{"id", 5}, {"method", "devices"}};
    std::size_t rows = 0;
    for (auto _ : state) {
        const json reply = app.handleRequest(request);
        rows = reply.contains("result") ? reply["result"]["devices"].size() : 0;
    }
    state.counters["devices"] = static_cast<double>(rows);
}
BENCHMARK(BM_DevicesSystemCatalogue)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
