#include "audio/pipewire_nodes.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

TEST(PipeWireNodes, ParsesAudioNodesAndClockSettings) {
    const std::string dump = R"js([
      {"id": 30, "type": "PipeWire:Interface:Metadata", "props": {"metadata.name": "settings"},
       "metadata": [{"subject": 0, "key": "clock.rate", "type": "", "value": 48000},
                    {"subject": 0, "key": "clock.quantum", "type": "", "value": 128},
                    {"subject": 0, "key": "clock.min-quantum", "type": "", "value": 64},
                    {"subject": 0, "key": "clock.max-quantum", "type": "", "value": 2048}]},
      {"id": 31, "type": "PipeWire:Interface:Node",
       "info": {"props": {"media.class": "Audio/Sink", "node.name": "null-a",
                          "node.description": "Null A", "audio.position": "[ FL FR RL RR ]"}}},
      {"id": 32, "type": "PipeWire:Interface:Node",
       "info": {"props": {"media.class": "Audio/Source", "node.name": "mic",
                          "audio.channels": 1, "audio.rate": "96000"}}},
      {"id": 33, "type": "PipeWire:Interface:Node",
       "info": {"props": {"media.class": "Stream/Output/Audio", "node.name": "player"}}},
      {"id": 34, "type": "PipeWire:Interface:Node",
       "info": {"props": {"media.class": "Video/Source", "node.name": "camera"}}},
      {"id": 35, "type": "PipeWire:Interface:Node", "info": {"props": {"media.class": "Audio/Sink"}}},
      {"id": 36, "type": "PipeWire:Interface:Port", "info": null}
    ])js";
    std::vector<PipeWireNode> nodes;
    PipeWireClock clock;
    parsePipeWireDump(dump, nodes, clock);
    EXPECT_EQ(clock.rate, 48000);
    EXPECT_EQ(clock.quantum, 128);
    EXPECT_EQ(clock.minimumQuantum, 64);
    EXPECT_EQ(clock.maximumQuantum, 2048);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].name, "null-a");
    EXPECT_EQ(nodes[0].description, "Null A");
    EXPECT_TRUE(nodes[0].sink);
    EXPECT_FALSE(nodes[0].source);
    EXPECT_EQ(nodes[0].channels, 4);
    EXPECT_EQ(nodes[0].rate, 48000) << "the server's rate when the node names none";
    EXPECT_EQ(nodes[1].name, "mic");
    EXPECT_EQ(nodes[1].description, "mic");
    EXPECT_TRUE(nodes[1].source);
    EXPECT_EQ(nodes[1].channels, 1);
    EXPECT_EQ(nodes[1].rate, 96000);
}

TEST(PipeWireNodes, MalformedDumpListsNothing) {
    for (const char* text : {"", "{", "{\"a\": 1}", "[1, \"x\", null]", "[{\"type\": 5}]"}) {
        std::vector<PipeWireNode> nodes;
        PipeWireClock clock;
        parsePipeWireDump(text, nodes, clock);
        EXPECT_TRUE(nodes.empty()) << text;
    }
}

} // namespace
} // namespace kestravon::ruvi
