#pragma once

#include <cstdint>
#include <string>

namespace kestravon::ruvi {

// One parameter change made in a plug-in's own editor.
struct ParameterEdit {
    std::string nodeId;
    std::string slotId;
    std::uint32_t parameterId = 0;
    double value = 0.0;
};

// The last block's post-fader peaks of one node and its insert latency.
struct NodeMeter {
    std::string nodeId;
    float peakL = 0.0f;
    float peakR = 0.0f;
    std::int32_t latencySamples = 0;
};

// At most this many editor edits are collected by one poll.
inline constexpr std::size_t kMaxParameterEditsPerPoll = 4096;

} // namespace kestravon::ruvi
