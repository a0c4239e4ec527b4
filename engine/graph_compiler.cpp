#include "engine/graph_compiler.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include "audio/backend_status.h"
#include "engine/mixing.h"
#include "engine/native_graph_description.h"
#include "engine/strip_processing.h"
#include "vst3/vst3_state_blob.h"

namespace kestravon::ruvi {

namespace {

using nlohmann::json;

constexpr std::size_t kMaxNodes = 128;
constexpr std::size_t kMaxInsertsPerNode = 16;
constexpr std::size_t kMaxEdges = 2048;
constexpr std::int64_t kMaxPlaybackLanes = 128;
constexpr std::int64_t kMaxInputLanes = 256;
constexpr std::int64_t kMaxLatency = 96000;
constexpr std::int64_t kMaxDelayMemory = 16777216;
constexpr std::size_t kNodeIdMaxBytes = 128;

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

// A JSON integer as int64; unsigned values past the signed range saturate.
std::int64_t integerValue(const json& value) {
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : static_cast<std::int64_t>(u);
    }
    return value.get<std::int64_t>();
}

class Compiler {
public:
    Compiler(const json& description, const BackendStatus& layout)
        : description_(description), layout_(layout), graph_(std::make_unique<PreparedGraph>()) {}

    std::unique_ptr<PreparedGraph> run() {
        if (description_.value("format", std::string()) != kNativeGraphFormat) {
            fail("Unsupported native session format");
        }
        const auto& nodes = description_.at("nodes").get_ref<const json::array_t&>();
        if (nodes.empty() || nodes.size() > kMaxNodes) {
            fail("Invalid node budget");
        }
        readTopLevel();
        for (const json& node : nodes) {
            compileNode(node);
        }
        checkMainBus();
        compileRoutes(nodes);
        sortTopologically();
        compensateLatency();
        for (std::int32_t n = 0; n < static_cast<std::int32_t>(graph_->nodes.size()); ++n) {
            const auto& slots = graph_->nodes[static_cast<std::size_t>(n)]->inserts;
            for (std::int32_t s = 0; s < static_cast<std::int32_t>(slots.size()); ++s) {
                graph_->insertRefs.push_back({n, s});
            }
        }
        return std::move(graph_);
    }

private:
    void readTopLevel() {
        PreparedGraph& g = *graph_;
        g.sampleRate = readRangedNumber(description_, "sampleRate", 48000.0, 8000.0, 192000.0);
        g.maximumBlock = static_cast<std::int32_t>(readRangedNumber(
            description_, "maximumBlock", 4096.0, 16.0, static_cast<double>(kBlockStride)));
        if (layout_.sampleRate != 0 && g.sampleRate != static_cast<double>(layout_.sampleRate)) {
            fail("Graph and negotiated backend rate differ");
        }
        const auto found = description_.find("playbackChannels");
        if (found != description_.end()) {
            // A negative lane count would shrink the input lanes below the physical ones.
            if (!found->is_number_integer() || integerValue(*found) < 0) {
                fail("Invalid playback lane count");
            }
            playbackLanes_ = integerValue(*found);
        }
        if (playbackLanes_ > kMaxPlaybackLanes) {
            fail("Playback lane budget exceeded");
        }
        if (static_cast<std::int64_t>(layout_.inputChannels) + playbackLanes_ > kMaxInputLanes) {
            fail("Combined input lane budget exceeded");
        }
        g.inputLanes = layout_.inputChannels + static_cast<std::int32_t>(playbackLanes_);
        g.outputLanes = layout_.outputChannels;
    }

    void compileNode(const json& description) {
        auto node = std::make_unique<GraphNode>();
        GraphNode& n = *node;
        const auto index = static_cast<std::int32_t>(graph_->nodes.size());

        n.id = description.at("id").get<std::string>();
        n.name = description.value("name", n.id);
        const auto width = description.find("width");
        if (width != description.end()) {
            n.width = static_cast<std::int32_t>(readLaneIndex(*width, 1, 2));
        }
        if (n.id.empty() || n.id.size() > kNodeIdMaxBytes || indexById_.contains(n.id)) {
            fail("Invalid or duplicated node identity/width");
        }
        indexById_.emplace(n.id, index);

        const auto kind = description.value("kind", std::string());
        if (kind == "monitor") {
            if (graph_->cueIndex >= 0 || n.width != 2) {
                fail("Only one stereo monitor bus supported");
            }
            n.isCueMonitor = true;
            graph_->cueIndex = index;
        } else if (kind != "input" && kind != "bus") {
            fail("Unknown node kind");
        }

        for (const char* section : {"hpf", "eq", "gate", "compressor"}) {
            const auto found = description.find(section);
            if (found != description.end() && found->value("enabled", false)) {
                fail("Effects belong in VST3 rack; built-in processing unsupported");
            }
        }
        const auto delay = description.find("delayMs");
        if (delay != description.end() && delay->get<double>() != 0.0) {
            fail("User delay belongs in a VST3 insert");
        }

        const double gainDb = readRangedNumber(description, "gainDb", 0.0, -120.0, 60.0);
        n.gainDb.store(static_cast<float>(gainDb), std::memory_order_relaxed);
        n.pan.store(static_cast<float>(readRangedNumber(description, "pan", 0.0, -100.0, 100.0)),
                    std::memory_order_relaxed);
        n.trimDb.store(
            static_cast<float>(readRangedNumber(description, "trimDb", 0.0, -60.0, 24.0)),
            std::memory_order_relaxed);
        const bool mute = description.value("mute", false);
        n.mute.store(mute ? 1.0f : 0.0f, std::memory_order_relaxed);
        n.solo.store(description.value("solo", false) ? 1.0f : 0.0f, std::memory_order_relaxed);
        n.polarity.store(description.value("polarity", false) ? 1.0f : 0.0f,
                         std::memory_order_relaxed);
        n.faderGain = static_cast<double>(dbToGain(gainDb)) * (mute ? 0.0 : 1.0);

        const StripProcessing processing =
            parseStripProcessing(description.value("stripProcessing", json::object()));
        if (!n.strip.setProcessing(processing) || !n.strip.prepare(graph_->sampleRate, n.width)) {
            fail("Could not prepare channel strip");
        }

        resolveSource(n, description);
        resolveOutputs(n, description);

        const auto samples = static_cast<std::size_t>(n.width) * kBlockStride;
        n.input.assign(samples, 0.0f);
        n.processed.assign(samples, 0.0f);
        n.postFader.assign(samples, 0.0f);
        n.insertScratch.assign(samples, 0.0f);

        openInserts(n, description);
        graph_->nodes.push_back(std::move(node));
    }

    void resolveSource(GraphNode& n, const json& description) {
        const auto found = description.find("source");
        if (found == description.end()) {
            return;
        }
        const json& source = *found;
        const auto kind = source.value("kind", std::string("none"));
        if (kind == "none") {
            return;
        }
        if (kind != "device" && kind != "file") {
            fail("Source kind not yet implemented by native graph");
        }
        if (n.isCueMonitor) {
            fail("Cue monitor accepts solo signals only");
        }
        const auto width = static_cast<std::size_t>(n.width);
        if (kind == "device") {
            const json& ports = source.at("ports");
            if (!ports.is_array() || ports.size() != width) {
                fail("Source lanes do not match strip width");
            }
            for (std::size_t c = 0; c < width; ++c) {
                n.sourceLanes[c] = resolvePortLane(ports[c], layout_, true);
            }
        } else {
            const json& channels = source.at("channels");
            if (!channels.is_array() || channels.size() != width) {
                fail("Playback lanes do not match strip width");
            }
            const json* entry = findPlaybackFile(source.at("fileId"));
            if (entry == nullptr) {
                fail("Load the source WAV files on the host before applying this project");
            }
            const auto fileChannels = entry->find("channels");
            const auto firstLane = entry->find("firstLane");
            if (fileChannels == entry->end() || firstLane == entry->end() ||
                !fileChannels->is_number_integer() || !firstLane->is_number_integer()) {
                fail("Invalid playback catalogue lanes");
            }
            const std::int64_t count = integerValue(*fileChannels);
            const std::int64_t first = integerValue(*firstLane);
            if (count < 1 || first < 0 || first > playbackLanes_ ||
                count > playbackLanes_ - first) {
                fail("Playback source outside loaded lane catalogue");
            }
            for (std::size_t c = 0; c < width; ++c) {
                if (!channels[c].is_number_integer()) {
                    fail("Invalid playback lane");
                }
                const std::int64_t lane = readLaneIndex(channels[c], 0, 127);
                if (lane >= count) {
                    fail("Playback lane outside loaded file");
                }
                n.sourceLanes[c] = static_cast<std::int32_t>(layout_.inputChannels + first + lane);
            }
        }
        n.sourceLaneCount = n.width;
    }

    const json* findPlaybackFile(const json& fileId) const {
        const auto found = description_.find("playbackFiles");
        if (found == description_.end()) {
            return nullptr;
        }
        for (const json& entry : found->get_ref<const json::array_t&>()) {
            if (!entry.is_object()) {
                continue;
            }
            const auto id = entry.find("id");
            if (id != entry.end() && *id == fileId) {
                return &entry;
            }
        }
        return nullptr;
    }

    void resolveOutputs(GraphNode& n, const json& description) {
        const auto found = description.find("outputs");
        if (found == description.end() || found->empty()) {
            return;
        }
        if (!found->is_array() || found->size() != static_cast<std::size_t>(n.width)) {
            fail("Output lanes do not match strip width");
        }
        for (std::size_t c = 0; c < static_cast<std::size_t>(n.width); ++c) {
            n.outputLanes[c] = resolvePortLane((*found)[c], layout_, false);
        }
        if (n.width == 2 && n.outputLanes[0] == n.outputLanes[1]) {
            fail("Stereo output needs distinct lanes");
        }
    }

    void openInserts(GraphNode& n, const json& description) {
        const auto found = description.find("inserts");
        if (found == description.end()) {
            return;
        }
        const auto& entries = found->get_ref<const json::array_t&>();
        if (entries.size() > kMaxInsertsPerNode) {
            fail("Maximum16 inserts per strip");
        }
        for (const json& entry : entries) {
            if (!entry.value("enabled", true)) {
                continue;
            }
            auto slot = std::make_unique<InsertSlot>();
            slot->id = entry.at("id").get<std::string>();
            if (slot->id.empty() || !insertIds_.insert(slot->id).second) {
                fail("Duplicate insert ID");
            }
            const bool bypass = entry.value("bypass", false);
            slot->bypass.store(bypass, std::memory_order_relaxed);
            slot->bypassMix = bypass ? 1.0 : 0.0;
            const std::string path = utf8ToWidePath(entry.at("modulePath").get<std::string>());
            std::string error;
            if (!slot->effect.open(path, graph_->sampleRate, graph_->maximumBlock, n.width,
                                   error)) {
                fail("VST3 insert " + slot->id + ": " + error);
            }
            const auto state = entry.find("stateHex");
            if (state != entry.end()) {
                const std::vector<std::uint8_t> blob =
                    parseStateHex(state->get_ref<const std::string&>());
                if (!slot->effect.restoreState(blob, error)) {
                    fail("VST state restore: " + error);
                }
            }
            const auto parameters = entry.find("parameters");
            if (parameters != entry.end()) {
                for (const auto& [key, value] : parameters->get_ref<const json::object_t&>()) {
                    const std::uint32_t id = parseParameterId(key);
                    if (!slot->effect.setParameter(id, value.get<double>())) {
                        fail("Invalid VST3 parameter");
                    }
                }
            }
            const std::int32_t latency = std::max(slot->effect.latencySamples(), 0);
            if (latency > kMaxLatency) {
                fail("Insert latency exceeds live graph budget");
            }
            slot->latencySamples = latency;
            slot->dryDelay.configure(latency, n.width);
            n.insertLatency += latency;
            n.inserts.push_back(std::move(slot));
        }
    }

    void checkMainBus() const {
        const auto mainId = description_.value("mainId", std::string("main-lr"));
        const GraphNode* main = graph_->findNode(mainId);
        if (main == nullptr || main->width != 2) {
            fail("Main stereo bus missing");
        }
    }

    void compileRoutes(const json::array_t& nodes) {
        inDegree_.assign(nodes.size(), 0);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const auto found = nodes[i].find("routes");
            if (found == nodes[i].end()) {
                continue;
            }
            GraphNode& source = *graph_->nodes[i];
            std::vector<std::int32_t> destinations;
            for (const json& route : found->get_ref<const json::array_t&>()) {
                const auto destinationId = route.at("destinationId").get<std::string>();
                const auto destination = indexById_.find(destinationId);
                if (destination == indexById_.end()) {
                    fail("Route destination missing");
                }
                const std::int32_t d = destination->second;
                if (d == graph_->cueIndex || d == static_cast<std::int32_t>(i) ||
                    std::find(destinations.begin(), destinations.end(), d) != destinations.end()) {
                    fail("Invalid or duplicate route destination");
                }
                destinations.push_back(d);
                auto edge = std::make_unique<GraphEdge>();
                edge->source = static_cast<std::int32_t>(i);
                edge->destination = d;
                const float gain = dbToGain(readRangedNumber(route, "gainDb", 0.0, -120.0, 24.0));
                edge->gain.store(gain, std::memory_order_relaxed);
                edge->smoothedGain = gain;
                const auto tap = route.value("tap", std::string("postFader"));
                if (tap == "preFader") {
                    edge->tap = SendTap::preFader;
                } else if (tap == "rawInput") {
                    edge->tap = SendTap::rawInput;
                } else if (tap != "postFader") {
                    fail("Unsupported send tap");
                }
                ++inDegree_[static_cast<std::size_t>(d)];
                source.outgoing.push_back(static_cast<std::int32_t>(graph_->edges.size()));
                graph_->edges.push_back(std::move(edge));
                if (graph_->edges.size() > kMaxEdges) {
                    fail("Edge budget exceeded");
                }
            }
        }
    }

    // Always the lowest-indexed ready node, so ties follow description order.
    void sortTopologically() {
        const std::size_t count = graph_->nodes.size();
        std::vector<bool> placed(count, false);
        while (graph_->order.size() < count) {
            std::size_t next = count;
            for (std::size_t n = 0; n < count; ++n) {
                if (!placed[n] && inDegree_[n] == 0) {
                    next = n;
                    break;
                }
            }
            if (next == count) {
                fail("Audio routing cycle rejected");
            }
            placed[next] = true;
            graph_->order.push_back(static_cast<std::int32_t>(next));
            for (const std::int32_t e : graph_->nodes[next]->outgoing) {
                --inDegree_[static_cast<std::size_t>(
                    graph_->edges[static_cast<std::size_t>(e)]->destination)];
            }
        }
    }

    std::int64_t tappedLatency(const GraphEdge& edge) const {
        const auto s = static_cast<std::size_t>(edge.source);
        return edge.tap == SendTap::rawInput ? arrival_[s] : output_[s];
    }

    void compensateLatency() {
        PreparedGraph& g = *graph_;
        const std::size_t count = g.nodes.size();
        arrival_.assign(count, 0);
        output_.assign(count, 0);
        std::vector<std::vector<const GraphEdge*>> incoming(count);
        for (const auto& edge : g.edges) {
            incoming[static_cast<std::size_t>(edge->destination)].push_back(edge.get());
        }
        std::int64_t overall = 0;
        std::int64_t atOutputs = 0;
        bool anyOutputs = false;
        for (const std::int32_t index : g.order) {
            const auto n = static_cast<std::size_t>(index);
            for (const GraphEdge* edge : incoming[n]) {
                arrival_[n] = std::max(arrival_[n], tappedLatency(*edge));
            }
            output_[n] = arrival_[n] + g.nodes[n]->insertLatency;
            if (output_[n] > kMaxLatency) {
                fail("Path latency exceeds prepared live budget");
            }
            overall = std::max(overall, output_[n]);
            if (g.nodes[n]->hasOutputs()) {
                anyOutputs = true;
                atOutputs = std::max(atOutputs, output_[n]);
            }
        }
        const std::int64_t latency = anyOutputs ? atOutputs : overall;
        g.latencySamples = static_cast<std::int32_t>(latency);

        std::int64_t memory = 0;
        for (const auto& edge : g.edges) {
            memory +=
                (arrival_[static_cast<std::size_t>(edge->destination)] - tappedLatency(*edge)) *
                g.nodes[static_cast<std::size_t>(edge->source)]->width;
        }
        for (std::size_t n = 0; n < count; ++n) {
            const GraphNode& node = *g.nodes[n];
            if (node.hasOutputs()) {
                memory += (latency - output_[n]) * node.width;
            }
            if (node.sourceLaneCount > 0) {
                memory += arrival_[n] * node.width;
            }
        }
        if (memory > kMaxDelayMemory) {
            fail("PDC memory budget exceeded");
        }

        for (const auto& edge : g.edges) {
            edge->alignment.configure(
                static_cast<std::int32_t>(arrival_[static_cast<std::size_t>(edge->destination)] -
                                          tappedLatency(*edge)),
                g.nodes[static_cast<std::size_t>(edge->source)]->width);
        }
        for (std::size_t n = 0; n < count; ++n) {
            GraphNode& node = *g.nodes[n];
            node.outputDelay.configure(
                node.hasOutputs() ? static_cast<std::int32_t>(latency - output_[n]) : 0,
                node.width);
            node.sourceDelay.configure(
                node.sourceLaneCount > 0 ? static_cast<std::int32_t>(arrival_[n]) : 0, node.width);
        }
    }

    const json& description_;
    const BackendStatus& layout_;
    std::unique_ptr<PreparedGraph> graph_;
    std::int64_t playbackLanes_ = 0;
    std::map<std::string, std::int32_t> indexById_;
    std::set<std::string> insertIds_;
    std::vector<std::int32_t> inDegree_;
    std::vector<std::int64_t> arrival_;
    std::vector<std::int64_t> output_;
};

} // namespace

std::unique_ptr<PreparedGraph> compileNativeGraph(const nlohmann::json& description,
                                                  const BackendStatus& layout) {
    return Compiler(description, layout).run();
}

} // namespace kestravon::ruvi
