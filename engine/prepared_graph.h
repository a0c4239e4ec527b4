#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/channel_strip.h"
#include "engine/delay_line.h"
#include "vst3/vst3_effect.h"

namespace kestravon::ruvi {

// Fault words of an insert slot.
inline constexpr std::int32_t kInsertRunning = 0;
inline constexpr std::int32_t kInsertProcessingFailed = 1;
inline constexpr std::int32_t kInsertNeedsReconfiguration = 2;

// One VST3 insert of a node. The control side writes bypass; the audio thread owns bypassMix
// and dryDelay and writes fault.
struct InsertSlot {
    std::string id;
    Vst3Effect effect;
    std::atomic<bool> bypass{false};
    double bypassMix = 0.0;
    DelayLine dryDelay;
    std::atomic<std::int32_t> fault{kInsertRunning};
    std::int32_t latencySamples = 0;
};

enum class SendTap : std::uint8_t { postFader, preFader, rawInput };

// One send or route. gain is written by the control side; smoothedGain and alignment belong to
// the audio thread.
struct GraphEdge {
    std::int32_t source = 0;
    std::int32_t destination = 0;
    std::atomic<float> gain{0.0f};
    double smoothedGain = 0.0;
    SendTap tap = SendTap::postFader;
    DelayLine alignment;
};

// One strip or bus. The six live cells are written by the control side and read once per block;
// buffers, delay lines, faderGain and the strip state belong to the audio thread; the peaks are
// written by the audio thread for the reports.
struct GraphNode {
    std::string id;
    std::string name;
    std::int32_t width = 1;
    std::int32_t sourceLaneCount = 0;
    bool isCueMonitor = false;
    std::int32_t sourceLanes[2] = {-1, -1};
    std::int32_t outputLanes[2] = {-1, -1};

    std::atomic<float> gainDb{0.0f};
    std::atomic<float> pan{0.0f};
    std::atomic<float> trimDb{0.0f};
    std::atomic<float> mute{0.0f};
    std::atomic<float> solo{0.0f};
    std::atomic<float> polarity{0.0f};

    // Planar, kBlockStride samples per channel.
    std::vector<float> input;
    std::vector<float> processed;
    std::vector<float> postFader;
    std::vector<float> insertScratch;

    std::vector<std::unique_ptr<InsertSlot>> inserts;
    std::vector<std::int32_t> outgoing;
    DelayLine outputDelay;
    DelayLine sourceDelay;

    std::atomic<float> peakL{0.0f};
    std::atomic<float> peakR{0.0f};
    double faderGain = 0.0;
    std::int32_t insertLatency = 0;
    ChannelStrip strip;

    bool hasOutputs() const noexcept { return outputLanes[0] >= 0; }
};

struct InsertRef {
    std::int32_t node = 0;
    std::int32_t insert = 0;
};

// An immutable console compiled from one native graph description. After compilation only the
// live cells, the audio thread's smoothing and delay state and the strips' snapshots change.
//
// Thread contract: compiled and destroyed on the UI thread; render runs on the audio thread and
// never allocates, locks, logs or makes a system call. The UI thread touches a published graph
// only through its atomic cells, the strips' setProcessing and the effects' UI-side calls.
struct PreparedGraph {
    double sampleRate = 48000.0;
    std::int32_t maximumBlock = 4096;
    std::int32_t inputLanes = 0;
    std::int32_t outputLanes = 0;
    std::int32_t latencySamples = 0;
    std::vector<std::unique_ptr<GraphNode>> nodes;
    std::vector<std::int32_t> order;
    std::vector<std::unique_ptr<GraphEdge>> edges;
    std::int32_t cueIndex = -1;
    std::vector<InsertRef> insertRefs;
    std::size_t pollCursor = 0;

    // One block: inputs holds inputLanes pointers (or is null), outputs outputLanes pointers
    // that arrive zeroed; frames is 1 to maximumBlock.
    void render(const float* const* inputs, float* const* outputs, std::int32_t frames) noexcept;

    // First node with exactly this id, or null.
    GraphNode* findNode(const std::string& id) const noexcept;
    // First insert with this id on the first node with nodeId, or null.
    InsertSlot* findInsert(const std::string& nodeId, const std::string& insertId) const noexcept;
};

} // namespace kestravon::ruvi
