#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestravon::ruvi {

// One audio node of a running PipeWire server, as ALSA's pipewire plug-in can reach it.
struct PipeWireNode {
    std::string name;        // node.name, the plug-in's NODE argument
    std::string description; // node.description
    bool sink = false;       // Audio/Sink (a render target whose monitor can be captured)
    bool source = false;     // Audio/Source (a capture target)
    int channels = 2;
    int rate = 48000;
};

// The server's clock settings; zero when unknown.
struct PipeWireClock {
    int rate = 0;
    int quantum = 0;
    int minimumQuantum = 0;
    int maximumQuantum = 0;
};

// Audio nodes and clock of the session's PipeWire server, read from pw-dump when the server's
// socket exists; empty when no server runs. Slow (a child process): enumeration only.
bool readPipeWireNodes(std::vector<PipeWireNode>& nodes, PipeWireClock& clock);

// Whether the session's PipeWire server socket exists.
bool pipeWireServerRunning();

// Parses pw-dump's JSON text.
void parsePipeWireDump(const std::string& json, std::vector<PipeWireNode>& nodes,
                       PipeWireClock& clock);

} // namespace kestravon::ruvi
