#include "engine/graph_compiler.h"

#include <functional>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "graph_fixture.h"

namespace kestravon::ruvi {
namespace {

using namespace graphtest;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const char* const kMaximizer = "/usr/lib/vst3/ZaMaximX2.vst3";

json insert(const std::string& id, const std::string& path = kMaximizer) {
    return {{"id", id}, {"modulePath", path}};
}

// in1 (mono, capture lane 0) -> main-lr (outputs on lanes 0 and 1).
json baseDescription() {
    json in1 = monoInput("in1", 0);
    in1["routes"] = {route("main-lr")};
    return description({in1, mainBus()});
}

std::string compileError(const json& d, const BackendStatus& layout) {
    try {
        compileNativeGraph(d, layout);
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "<compiled>";
}

struct Refusal {
    const char* name;
    std::function<void(json&, BackendStatus&)> change;
    const char* message;
};

json& node(json& d, std::size_t index) {
    return d["nodes"][index];
}

TEST(GraphCompilerRefusals, EachCheckReportsItsMessage) {
    const std::vector<Refusal> cases = {
        {"no format", [](json& d, BackendStatus&) { d.erase("format"); },
         "Unsupported native session format"},
        {"other format version decides before empty nodes",
         [](json& d, BackendStatus&) {
             d["format"] = "kestravon-live-native-0.2";
             d["nodes"] = json::array();
         },
         "Unsupported native session format"},
        {"empty nodes", [](json& d, BackendStatus&) { d["nodes"] = json::array(); },
         "Invalid node budget"},
        {"129 nodes",
         [](json& d, BackendStatus&) {
             for (int i = 0; i < 127; ++i) {
                 d["nodes"].push_back(stereoBus("bus" + std::to_string(i)));
             }
         },
         "Invalid node budget"},
        {"rate differs from the device", [](json& d, BackendStatus&) { d["sampleRate"] = 96000; },
         "Graph and negotiated backend rate differ"},
        {"rate out of range", [](json& d, BackendStatus&) { d["sampleRate"] = 7999; },
         "Invalid sampleRate"},
        {"block too long", [](json& d, BackendStatus&) { d["maximumBlock"] = 4097; },
         "Invalid maximumBlock"},
        {"block before rate mismatch",
         [](json& d, BackendStatus&) {
             d["sampleRate"] = 96000;
             d["maximumBlock"] = 15;
         },
         "Invalid maximumBlock"},
        {"fractional playback lanes", [](json& d, BackendStatus&) { d["playbackChannels"] = 2.0; },
         "Invalid playback lane count"},
        {"negative playback lanes", [](json& d, BackendStatus&) { d["playbackChannels"] = -1; },
         "Invalid playback lane count"},
        {"129 playback lanes", [](json& d, BackendStatus&) { d["playbackChannels"] = 129; },
         "Playback lane budget exceeded"},
        {"inputs and playback past 256",
         [](json& d, BackendStatus& layout) {
             d["playbackChannels"] = 128;
             layout = deviceLayout(48000, 129, 8);
         },
         "Combined input lane budget exceeded"},
        {"width 3", [](json& d, BackendStatus&) { node(d, 0)["width"] = 3; },
         "Audio lane/count out of range"},
        {"width 2.0", [](json& d, BackendStatus&) { node(d, 0)["width"] = 2.0; },
         "Expected integer audio lane/count"},
        {"duplicate node id", [](json& d, BackendStatus&) { node(d, 0)["id"] = "main-lr"; },
         "Invalid or duplicated node identity/width"},
        {"129-byte node id",
         [](json& d, BackendStatus&) { node(d, 0)["id"] = std::string(129, 'x'); },
         "Invalid or duplicated node identity/width"},
        {"empty node id", [](json& d, BackendStatus&) { node(d, 0)["id"] = ""; },
         "Invalid or duplicated node identity/width"},
        {"missing kind", [](json& d, BackendStatus&) { node(d, 0).erase("kind"); },
         "Unknown node kind"},
        {"mono monitor",
         [](json& d, BackendStatus&) {
             d["nodes"].push_back({{"id", "cue"}, {"kind", "monitor"}});
         },
         "Only one stereo monitor bus supported"},
        {"second monitor",
         [](json& d, BackendStatus&) {
             d["nodes"].push_back({{"id", "cue"}, {"kind", "monitor"}, {"width", 2}});
             d["nodes"].push_back({{"id", "cue2"}, {"kind", "monitor"}, {"width", 2}});
         },
         "Only one stereo monitor bus supported"},
        {"enabled node-level eq",
         [](json& d, BackendStatus&) {
             node(d, 0)["eq"] = {{"enabled", true}};
         },
         "Effects belong in VST3 rack; built-in processing unsupported"},
        {"user delay", [](json& d, BackendStatus&) { node(d, 0)["delayMs"] = 2.5; },
         "User delay belongs in a VST3 insert"},
        {"fader above 60 dB", [](json& d, BackendStatus&) { node(d, 0)["gainDb"] = 60.5; },
         "Invalid gainDb"},
        {"pan past hard left", [](json& d, BackendStatus&) { node(d, 0)["pan"] = -101; },
         "Invalid pan"},
        {"trim above 24 dB", [](json& d, BackendStatus&) { node(d, 0)["trimDb"] = 25; },
         "Invalid trimDb"},
        {"strip record out of range",
         [](json& d, BackendStatus&) {
             node(d, 0)["stripProcessing"] = {{"hpf", {{"frequencyHz", 10}}}};
         },
         "Strip parameter outside supported range"},
        {"two ports on a mono strip",
         [](json& d, BackendStatus&) { node(d, 0)["source"]["ports"].push_back(port("cap", 1)); },
         "Source lanes do not match strip width"},
        {"unknown capture endpoint",
         [](json& d, BackendStatus&) { node(d, 0)["source"]["ports"][0] = port("nowhere", 0); },
         "Port endpoint not in selected active device generation"},
        {"render endpoint as a source",
         [](json& d, BackendStatus&) { node(d, 0)["source"]["ports"][0] = port("play", 0); },
         "Port endpoint not in selected active device generation"},
        {"capture channel past the endpoint",
         [](json& d, BackendStatus&) { node(d, 0)["source"]["ports"][0] = port("cap", 8); },
         "Device lane out of range"},
        {"endpoint lanes past the aggregate",
         [](json& d, BackendStatus& layout) {
             layout.streams[0].firstChannel = 4;
             node(d, 0)["source"]["ports"][0] = port("cap", 5);
         },
         "Device lane out of range"},
        {"port channel 256",
         [](json& d, BackendStatus&) { node(d, 0)["source"]["ports"][0]["channel"] = 256; },
         "Audio lane/count out of range"},
        {"port channel as text",
         [](json& d, BackendStatus&) { node(d, 0)["source"]["ports"][0]["channel"] = "0"; },
         "Expected integer audio lane/count"},
        {"unknown source kind",
         [](json& d, BackendStatus&) {
             node(d, 0)["source"] = {{"kind", "network"}};
         },
         "Source kind not yet implemented by native graph"},
        {"monitor with a device source",
         [](json& d, BackendStatus&) {
             d["nodes"].push_back(
                 {{"id", "cue"},
                  {"kind", "monitor"},
                  {"width", 2},
                  {"source", {{"kind", "device"}, {"ports", {port("cap", 0), port("cap", 1)}}}}});
         },
         "Cue monitor accepts solo signals only"},
        {"one output on a stereo bus",
         [](json& d, BackendStatus&) { node(d, 1)["outputs"].erase(1); },
         "Output lanes do not match strip width"},
        {"stereo output on one lane",
         [](json& d, BackendStatus&) { node(d, 1)["outputs"][1] = port("play", 0); },
         "Stereo output needs distinct lanes"},
        {"capture endpoint as an output",
         [](json& d, BackendStatus&) { node(d, 1)["outputs"][1] = port("cap", 1); },
         "Port endpoint not in selected active device generation"},
        {"17 inserts",
         [](json& d, BackendStatus&) {
             for (int i = 0; i < 17; ++i) {
                 node(d, 0)["inserts"].push_back(
                     {{"id", "x" + std::to_string(i)}, {"enabled", false}});
             }
         },
         "Maximum16 inserts per strip"},
        {"empty module path",
         [](json& d, BackendStatus&) { node(d, 0)["inserts"] = {insert("fx", "")}; },
         "Invalid UTF-8 path"},
        {"module path with invalid UTF-8",
         [](json& d, BackendStatus&) {
             node(d, 0)["inserts"] = {insert("fx", "/tmp/\xC3\x28.vst3")};
         },
         "Invalid UTF-8 path"},
        {"main bus missing", [](json& d, BackendStatus&) { d["mainId"] = "main"; },
         "Main stereo bus missing"},
        {"mono main bus",
         [](json& d, BackendStatus&) {
             d["mainId"] = "in1";
             node(d, 0).erase("routes");
         },
         "Main stereo bus missing"},
        {"route to an unknown node",
         [](json& d, BackendStatus&) { node(d, 0)["routes"][0]["destinationId"] = "aux"; },
         "Route destination missing"},
        {"route to itself",
         [](json& d, BackendStatus&) { node(d, 0)["routes"].push_back(route("in1")); },
         "Invalid or duplicate route destination"},
        {"second route to the same bus",
         [](json& d, BackendStatus&) {
             node(d, 0)["routes"].push_back(route("main-lr", "preFader"));
         },
         "Invalid or duplicate route destination"},
        {"route to the cue monitor",
         [](json& d, BackendStatus&) {
             d["nodes"].push_back({{"id", "cue"}, {"kind", "monitor"}, {"width", 2}});
             node(d, 0)["routes"].push_back(route("cue"));
         },
         "Invalid or duplicate route destination"},
        {"send above 24 dB",
         [](json& d, BackendStatus&) { node(d, 0)["routes"][0]["gainDb"] = 24.5; },
         "Invalid gainDb"},
        {"unknown tap", [](json& d, BackendStatus&) { node(d, 0)["routes"][0]["tap"] = "post"; },
         "Unsupported send tap"},
        {"two-node cycle",
         [](json& d, BackendStatus&) {
             d["nodes"].push_back(stereoBus("a"));
             d["nodes"].push_back(stereoBus("b"));
             node(d, 2)["routes"] = {route("b")};
             node(d, 3)["routes"] = {route("a")};
         },
         "Audio routing cycle rejected"},
        {"2049 edges",
         [](json& d, BackendStatus&) {
             // 66 buses, each routed to every later one: 2145 acyclic edges.
             d["nodes"] = {mainBus()};
             for (int i = 0; i < 66; ++i) {
                 json bus = stereoBus("b" + std::to_string(i));
                 for (int j = i + 1; j < 66; ++j) {
                     bus["routes"].push_back(route("b" + std::to_string(j)));
                 }
                 d["nodes"].push_back(bus);
             }
         },
         "Edge budget exceeded"},
    };
    for (const Refusal& refusal : cases) {
        SCOPED_TRACE(refusal.name);
        json d = baseDescription();
        BackendStatus layout = deviceLayout();
        refusal.change(d, layout);
        EXPECT_EQ(compileError(d, layout), refusal.message);
    }
}

TEST(GraphCompilerRefusals, PlaybackFileSources) {
    const auto withFile = [](json source, json catalogue, int playbackChannels, int width = 1) {
        json strip = {{"id", "pb"}, {"kind", "input"}, {"width", width}, {"source", source}};
        json d = description({strip, mainBus()});
        d["playbackChannels"] = playbackChannels;
        d["playbackFiles"] = catalogue;
        return d;
    };
    const json file = {{"id", "take-7"}, {"channels", 2}, {"firstLane", 2}};
    const auto source = [](json channels, json fileId = "take-7") {
        return json{{"kind", "file"}, {"fileId", fileId}, {"channels", channels}};
    };
    struct Case {
        const char* name;
        json d;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"file not loaded", withFile(source({0}, "take-8"), {file}, 4),
         "Load the source WAV files on the host before applying this project"},
        {"numeric id is not the text id", withFile(source({0}, 7), {file}, 4),
         "Load the source WAV files on the host before applying this project"},
        {"lanes do not match width", withFile(source({0, 1}), {file}, 4),
         "Playback lanes do not match strip width"},
        {"catalogue lanes not integers",
         withFile(source({0}), {{{"id", "take-7"}, {"channels", 2.0}, {"firstLane", 2}}}, 4),
         "Invalid playback catalogue lanes"},
        {"catalogue entry past the lanes", withFile(source({0}), {file}, 3),
         "Playback source outside loaded lane catalogue"},
        {"catalogue entry without channels",
         withFile(source({0}), {{{"id", "take-7"}, {"channels", 0}, {"firstLane", 0}}}, 4),
         "Playback source outside loaded lane catalogue"},
        {"lane as a float", withFile(source({1.0}), {file}, 4), "Invalid playback lane"},
        {"lane 128", withFile(source({128}), {file}, 4), "Audio lane/count out of range"},
        {"lane past the file", withFile(source({2}), {file}, 4),
         "Playback lane outside loaded file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(compileError(c.d, deviceLayout()), c.message);
    }

    // Playback lanes follow the physical inputs: lane 8 + firstLane 2 + channel 1.
    const auto graph =
        compileNativeGraph(withFile(source({1}), {json{{"id", 3}}, file}, 4), deviceLayout());
    EXPECT_EQ(graph->nodes[0]->sourceLanes[0], 11);
    EXPECT_EQ(graph->inputLanes, 12);
}

TEST(GraphCompilerRefusals, JsonShapeErrorsCarryTheLibraryText) {
    json d = baseDescription();
    node(d, 0).erase("id");
    EXPECT_THAT(compileError(d, deviceLayout()), HasSubstr("key 'id' not found"));

    d = baseDescription();
    node(d, 0)["gainDb"] = "0";
    EXPECT_THAT(compileError(d, deviceLayout()), HasSubstr("type must be number"));

    d = baseDescription();
    node(d, 0)["routes"][0].erase("destinationId");
    EXPECT_THAT(compileError(d, deviceLayout()), HasSubstr("key 'destinationId' not found"));
}

TEST(GraphCompilerRefusals, DisabledOrAbsentProcessingIsAccepted) {
    json d = baseDescription();
    node(d, 0)["hpf"] = {{"enabled", false}};
    node(d, 0)["gate"] = json::object();
    node(d, 0)["delayMs"] = 0;
    node(d, 0)["inserts"] = {{{"id", "off"}, {"enabled", false}}};
    d["sampleRate"] = 96000;
    EXPECT_EQ(compileError(d, deviceLayout(0)), "<compiled>");
}

TEST(GraphCompilerDefaults, AppliesTheDescriptionDefaults) {
    json d = baseDescription();
    node(d, 0)["gainDb"] = -6;
    node(d, 0)["mute"] = true;
    node(d, 0)["routes"][0]["gainDb"] = -120;
    const auto graph = compileNativeGraph(d, deviceLayout());
    EXPECT_EQ(graph->sampleRate, 48000.0);
    EXPECT_EQ(graph->maximumBlock, 4096);
    EXPECT_EQ(graph->inputLanes, 8);
    EXPECT_EQ(graph->outputLanes, 8);
    EXPECT_EQ(graph->cueIndex, -1);
    const GraphNode& in1 = *graph->nodes[0];
    EXPECT_EQ(in1.width, 1);
    EXPECT_EQ(in1.name, "in1");
    EXPECT_EQ(in1.sourceLaneCount, 1);
    EXPECT_EQ(in1.faderGain, 0.0) << "a muted fader starts closed";
    EXPECT_EQ(graph->edges[0]->gain.load(), 0.0f);
    EXPECT_EQ(graph->nodes[1]->outputLanes[1], 1);
}

TEST(GraphCompilerOrder, TopologicalOrderBreaksTiesByDescriptionOrder) {
    // Nodes: busB, in1, main; in1 -> busB -> main.
    json busB = stereoBus("busB");
    busB["routes"] = {route("main-lr")};
    json in1 = monoInput("in1", 0);
    in1["routes"] = {route("busB")};
    auto graph = compileNativeGraph(description({busB, in1, mainBus()}), deviceLayout());
    EXPECT_EQ(graph->order, (std::vector<std::int32_t>{1, 0, 2}));

    // Independent strips keep their order; the bus they feed comes last.
    json a = monoInput("a", 0);
    json b = monoInput("b", 1);
    a["routes"] = {route("main-lr")};
    b["routes"] = {route("main-lr")};
    graph = compileNativeGraph(description({mainBus(), b, a}), deviceLayout());
    EXPECT_EQ(graph->order, (std::vector<std::int32_t>{1, 2, 0}));
}

class GraphCompilerLatency : public ::testing::Test {
protected:
    static json maximizedStrip(const std::string& id, int lane) {
        json strip = monoInput(id, lane);
        strip["inserts"] = {insert(id + "-max")};
        return strip;
    }
};

TEST_F(GraphCompilerLatency, AlignsEverySumAndOutputToThePluginLatency) {
    json in1 = maximizedStrip("in1", 0);
    json in2 = monoInput("in2", 1);
    in1["routes"] = {route("main-lr")};
    in2["routes"] = {route("main-lr")};
    const auto graph = compileNativeGraph(description({in1, in2, mainBus()}), deviceLayout());
    const std::int32_t latency = graph->nodes[0]->insertLatency;
    ASSERT_EQ(latency, 480) << "ZaMaximX2 looks ahead 480 samples";
    EXPECT_EQ(graph->order, (std::vector<std::int32_t>{0, 1, 2}));
    EXPECT_EQ(graph->edges[0]->alignment.delay(), 0);
    EXPECT_EQ(graph->edges[1]->alignment.delay(), 480);
    EXPECT_EQ(graph->latencySamples, 480);
    EXPECT_EQ(graph->nodes[2]->outputDelay.delay(), 0);
    ASSERT_EQ(graph->insertRefs.size(), 1u);
    EXPECT_EQ(graph->nodes[0]->inserts[0]->dryDelay.delay(), 480);
}

TEST_F(GraphCompilerLatency, RawTapsAndSourcesAlignWithTheirArrival) {
    // in1 (480) sends its raw input to fx and its post-fader signal to main; fx returns to
    // main; in2 feeds both fx and main directly.
    json in1 = maximizedStrip("in1", 0);
    in1["routes"] = {route("fx", "rawInput"), route("main-lr")};
    json fx = stereoBus("fx");
    fx["routes"] = {route("main-lr")};
    json in2 = monoInput("in2", 1);
    in2["routes"] = {route("fx", "preFader"), route("main-lr")};
    json main = mainBus();
    main["kind"] = "bus";
    main["source"] = {{"kind", "device"}, {"ports", {port("cap", 2), port("cap", 3)}}};
    const auto graph = compileNativeGraph(description({in1, fx, in2, main}), deviceLayout());
    ASSERT_EQ(graph->edges.size(), 5u);
    EXPECT_EQ(graph->edges[0]->alignment.delay(), 0) << "raw input of in1 arrives at 0";
    EXPECT_EQ(graph->edges[1]->alignment.delay(), 0) << "in1 post-fader defines main's arrival";
    EXPECT_EQ(graph->edges[2]->alignment.delay(), 480) << "fx output lags main's arrival";
    EXPECT_EQ(graph->edges[3]->alignment.delay(), 0);
    EXPECT_EQ(graph->edges[4]->alignment.delay(), 480);
    EXPECT_EQ(graph->nodes[3]->sourceDelay.delay(), 480) << "main's own source is aligned too";
    EXPECT_EQ(graph->latencySamples, 480);
}

TEST_F(GraphCompilerLatency, OnlyNodesWithOutputsDecideTheGraphLatency) {
    json bus = stereoBus("fx");
    bus["inserts"] = {insert("fx-max")};
    json in1 = monoInput("in1", 0);
    in1["routes"] = {route("main-lr")};
    auto graph = compileNativeGraph(description({in1, bus, mainBus()}), deviceLayout());
    EXPECT_EQ(graph->latencySamples, 0);

    json silentMain = stereoBus("main-lr");
    graph = compileNativeGraph(description({in1, bus, silentMain}), deviceLayout());
    EXPECT_EQ(graph->latencySamples, 480) << "without device outputs the largest path counts";

    // A second output node without latency is delayed to match main.
    json monitorOut = monoInput("in2", 1);
    monitorOut["outputs"] = {port("play", 4)};
    bus["routes"] = {route("main-lr")};
    graph = compileNativeGraph(description({in1, bus, monitorOut, mainBus()}), deviceLayout());
    EXPECT_EQ(graph->latencySamples, 480);
    EXPECT_EQ(graph->nodes[2]->outputDelay.delay(), 480);
    EXPECT_EQ(graph->nodes[3]->outputDelay.delay(), 0);
}

TEST_F(GraphCompilerLatency, MonitorInsertsAreOpenedAndCounted) {
    json cue = {{"id", "cue"}, {"kind", "monitor"}, {"width", 2}};
    cue["outputs"] = {port("play", 2), port("play", 3)};
    cue["inserts"] = {insert("cue-max")};
    json in1 = monoInput("in1", 0);
    in1["routes"] = {route("main-lr")};
    const auto graph = compileNativeGraph(description({in1, cue, mainBus()}), deviceLayout());
    EXPECT_EQ(graph->cueIndex, 1);
    EXPECT_EQ(graph->nodes[1]->insertLatency, 480);
    EXPECT_EQ(graph->latencySamples, 480);
    EXPECT_EQ(graph->nodes[2]->outputDelay.delay(), 480);
}

TEST_F(GraphCompilerLatency, LatencyAndDelayMemoryBudgets) {
    const auto maximized = [](json node, int inserts) {
        for (int i = 0; i < inserts; ++i) {
            node["inserts"].push_back(
                insert(node["id"].get<std::string>() + "-" + std::to_string(i)));
        }
        return node;
    };
    // 13 buses of 16 maximizers in a chain: 208 x 480 = 99840 samples on one path.
    json chain = json::array();
    for (int b = 0; b < 13; ++b) {
        json bus = maximized(stereoBus("b" + std::to_string(b)), 16);
        bus["routes"] = {route(b < 12 ? "b" + std::to_string(b + 1) : "main-lr")};
        chain.push_back(bus);
    }
    chain.push_back(mainBus());
    EXPECT_EQ(compileError(description(chain), deviceLayout()),
              "Path latency exceeds prepared live budget");

    // One strip 7680 samples late; 100 plain strips each send to the same 16 buses, so every
    // one of their 1600 sends needs 7680 stereo samples of alignment.
    json nodes = {maximized(stereoInput("late", 0, 1), 16)};
    for (int s = 0; s < 100; ++s) {
        nodes.push_back(stereoInput("s" + std::to_string(s), 0, 1));
    }
    for (int b = 0; b < 16; ++b) {
        const std::string bus = "bus" + std::to_string(b);
        for (json& strip : nodes) {
            strip["routes"].push_back(route(bus));
        }
    }
    for (int b = 0; b < 16; ++b) {
        nodes.push_back(stereoBus("bus" + std::to_string(b)));
    }
    nodes.push_back(mainBus());
    EXPECT_EQ(compileError(description(nodes), deviceLayout()), "PDC memory budget exceeded");
}

TEST_F(GraphCompilerLatency, InsertRefusals) {
    struct Case {
        const char* name;
        std::function<void(json&)> change;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"same insert id on two nodes",
         [](json& d) {
             node(d, 0)["inserts"] = {insert("fx")};
             node(d, 1)["inserts"] = {insert("fx")};
         },
         "Duplicate insert ID"},
        {"odd state text",
         [](json& d) {
             node(d, 0)["inserts"] = {insert("fx")};
             node(d, 0)["inserts"][0]["stateHex"] = "abc";
         },
         "Invalid bounded VST state"},
        {"upper-case state text",
         [](json& d) {
             node(d, 0)["inserts"] = {insert("fx")};
             node(d, 0)["inserts"][0]["stateHex"] = "4B56";
         },
         "Invalid VST state encoding"},
        {"state of no plug-in",
         [](json& d) {
             node(d, 0)["inserts"] = {insert("fx")};
             node(d, 0)["inserts"][0]["stateHex"] = "00";
         },
         "VST state restore: Invalid or mismatched VST3 host state."},
        {"signed parameter id",
         [](json& d) {
             node(d, 0)["inserts"] = {insert("fx")};
             node(d, 0)["inserts"][0]["parameters"] = {{"+7", 0.5}};
         },
         "invalid stoul argument"},
        {"parameter id past 32 bits",
         [](json& d) {
             node(d, 0)["inserts"] = {insert("fx")};
             node(d, 0)["inserts"][0]["parameters"] = {{"4294967296", 0.5}};
         },
         "stoul argument out of range"},
        {"parameter the plug-in does not have",
         [](json& d) {
             node(d, 0)["inserts"] = {insert("fx")};
             node(d, 0)["inserts"][0]["parameters"] = {{"4000000", 0.5}};
         },
         "Invalid VST3 parameter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json d = baseDescription();
        c.change(d);
        EXPECT_EQ(compileError(d, deviceLayout()), c.message);
    }

    json d = baseDescription();
    node(d, 0)["inserts"] = {insert("fx", "/nonexistent/Missing.vst3")};
    EXPECT_THAT(compileError(d, deviceLayout()), StartsWith("VST3 insert fx: "));

    // A disabled insert is skipped whole, its duplicate id included.
    d = baseDescription();
    node(d, 0)["inserts"] = {insert("fx")};
    node(d, 1)["inserts"] = {{{"id", "fx"}, {"enabled", false}, {"modulePath", ""}}};
    const auto graph = compileNativeGraph(d, deviceLayout());
    EXPECT_EQ(graph->nodes[1]->inserts.size(), 0u);
    EXPECT_EQ(graph->nodes[1]->insertLatency, 0);
}

} // namespace
} // namespace kestravon::ruvi
