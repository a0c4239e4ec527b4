// Live controls and reports of NativeGraphEngine. All of it runs on the UI thread against the
// current graph; the audio thread sees the changes through the graph's atomic cells.
#include "engine/graph_controls.h"

#include <cmath>
#include <exception>

#include "engine/graph_holder.h"
#include "engine/mixing.h"
#include "engine/strip_processing.h"

namespace kestravon::ruvi {

namespace {

struct LiveRange {
    const char* name;
    std::atomic<float> GraphNode::*cell;
    double min;
    double max;
    bool isSwitch;
};

constexpr LiveRange kLiveRanges[] = {
    {"gainDb", &GraphNode::gainDb, -120.0, 60.0, false},
    {"pan", &GraphNode::pan, -100.0, 100.0, false},
    {"trimDb", &GraphNode::trimDb, -60.0, 24.0, false},
    {"mute", &GraphNode::mute, 0.0, 1.0, true},
    {"solo", &GraphNode::solo, 0.0, 1.0, true},
    {"polarity", &GraphNode::polarity, 0.0, 1.0, true},
};

const char* faultText(std::int32_t fault) {
    switch (fault) {
    case kInsertProcessingFailed:
        return "Plugin processing failed; insert silenced until reapply";
    case kInsertNeedsReconfiguration:
        return "Plugin requests reconfiguration; stop audio and apply";
    default:
        return "";
    }
}

} // namespace

bool NativeGraphEngine::setParameter(const std::string& nodeId, const std::string& name,
                                     double value, std::string& error) {
    error.clear();
    PreparedGraph* graph = impl_->current.get();
    if (graph == nullptr) {
        error = "No prepared graph";
        return false;
    }
    const LiveRange* range = nullptr;
    for (const LiveRange& candidate : kLiveRanges) {
        if (name == candidate.name) {
            range = &candidate;
        }
    }
    if (range == nullptr || !std::isfinite(value) || value < range->min || value > range->max ||
        (range->isSwitch && value != 0.0 && value != 1.0)) {
        error = "Unsupported/out of range native parameter";
        return false;
    }
    GraphNode* node = graph->findNode(nodeId);
    if (node == nullptr) {
        error = "Node not found";
        return false;
    }
    (node->*(range->cell)).store(static_cast<float>(value), std::memory_order_relaxed);
    return true;
}

bool NativeGraphEngine::setSendLevel(const std::string& sourceId, const std::string& destinationId,
                                     double gainDb, std::string& error) {
    error.clear();
    if (!std::isfinite(gainDb) || gainDb < -120.0 || gainDb > 24.0) {
        error = "Send gain out of range";
        return false;
    }
    if (const PreparedGraph* graph = impl_->current.get()) {
        for (const auto& edge : graph->edges) {
            if (graph->nodes[static_cast<std::size_t>(edge->source)]->id == sourceId &&
                graph->nodes[static_cast<std::size_t>(edge->destination)]->id == destinationId) {
                edge->gain.store(dbToGain(gainDb), std::memory_order_relaxed);
                return true;
            }
        }
    }
    error = "Send not in prepared graph; apply routing first";
    return false;
}

bool NativeGraphEngine::setInsertBypass(const std::string& nodeId, const std::string& insertId,
                                        bool bypass, std::string& error) {
    error.clear();
    const PreparedGraph* graph = impl_->current.get();
    InsertSlot* slot = graph != nullptr ? graph->findInsert(nodeId, insertId) : nullptr;
    if (slot == nullptr) {
        error = "Applied insert missing";
        return false;
    }
    slot->bypass.store(bypass, std::memory_order_relaxed);
    return true;
}

bool NativeGraphEngine::setStripProcessing(const std::string& nodeId,
                                           const nlohmann::json& processing, std::string& error) {
    error.clear();
    StripProcessing record;
    try {
        record = parseStripProcessing(processing);
    } catch (const std::exception& failure) {
        error = failure.what();
        return false;
    }
    const PreparedGraph* graph = impl_->current.get();
    GraphNode* node = graph != nullptr ? graph->findNode(nodeId) : nullptr;
    if (node == nullptr) {
        error = "Applied strip missing";
        return false;
    }
    if (node->isCueMonitor) {
        error = "Cue monitor strip processing is unavailable";
        return false;
    }
    if (!node->strip.setProcessing(record)) {
        error = "Invalid strip processing";
        return false;
    }
    return true;
}

bool NativeGraphEngine::setVstParameter(const std::string& nodeId, const std::string& insertId,
                                        std::uint32_t parameterId, double value,
                                        std::string& error) {
    error.clear();
    const PreparedGraph* graph = impl_->current.get();
    InsertSlot* slot = graph != nullptr ? graph->findInsert(nodeId, insertId) : nullptr;
    if (slot == nullptr) {
        error = "Insert not found";
        return false;
    }
    if (!slot->effect.setParameter(parameterId, value)) {
        error = "Invalid plugin parameter";
        return false;
    }
    return true;
}

bool NativeGraphEngine::showEditor(const std::string& nodeId, const std::string& insertId,
                                   EditorWindow* parentWindow, std::string& error) {
    error.clear();
    const PreparedGraph* graph = impl_->current.get();
    InsertSlot* slot = graph != nullptr ? graph->findInsert(nodeId, insertId) : nullptr;
    if (slot == nullptr) {
        error = "Applied insert missing";
        return false;
    }
    return slot->effect.openEditor(parentWindow, error);
}

bool NativeGraphEngine::resizeEditors(std::int32_t width, std::int32_t height) {
    const PreparedGraph* graph = impl_->current.get();
    if (graph == nullptr) {
        return false;
    }
    bool accepted = false;
    for (const auto& node : graph->nodes) {
        for (const auto& slot : node->inserts) {
            accepted = slot->effect.resizeEditor(width, height) || accepted;
        }
    }
    return accepted;
}

void NativeGraphEngine::closeEditors() {
    if (const PreparedGraph* graph = impl_->current.get()) {
        for (const auto& node : graph->nodes) {
            for (const auto& slot : node->inserts) {
                slot->effect.closeEditor();
            }
        }
    }
}

std::vector<ParameterEdit> NativeGraphEngine::pollParameterEdits() {
    std::vector<ParameterEdit> edits;
    PreparedGraph* graph = impl_->current.get();
    if (graph == nullptr || graph->insertRefs.empty()) {
        return edits;
    }
    const std::size_t count = graph->insertRefs.size();
    for (std::size_t visited = 0; visited < count && edits.size() < kMaxParameterEditsPerPoll;
         ++visited) {
        const InsertRef ref = graph->insertRefs[graph->pollCursor % count];
        graph->pollCursor = (graph->pollCursor + 1) % count;
        const GraphNode& node = *graph->nodes[static_cast<std::size_t>(ref.node)];
        InsertSlot& slot = *node.inserts[static_cast<std::size_t>(ref.insert)];
        for (const Vst3Effect::ParameterUpdate& update :
             slot.effect.pollParameterChanges(kMaxParameterEditsPerPoll - edits.size())) {
            edits.push_back({node.id, slot.id, update.id, update.normalized});
        }
    }
    return edits;
}

std::uint32_t NativeGraphEngine::latencySamples() const noexcept {
    const PreparedGraph* graph = impl_->current.get();
    return graph != nullptr ? static_cast<std::uint32_t>(graph->latencySamples) : 0u;
}

std::vector<NodeMeter> NativeGraphEngine::nodeMeters() const {
    std::vector<NodeMeter> meters;
    if (const PreparedGraph* graph = impl_->current.get()) {
        for (const auto& node : graph->nodes) {
            meters.push_back({node->id, node->peakL.load(std::memory_order_relaxed),
                              node->peakR.load(std::memory_order_relaxed), node->insertLatency});
        }
    }
    return meters;
}

nlohmann::json NativeGraphEngine::stripMetersJson() const {
    nlohmann::json meters = nlohmann::json::array();
    if (const PreparedGraph* graph = impl_->current.get()) {
        for (const auto& node : graph->nodes) {
            if (node->isCueMonitor) {
                continue;
            }
            const StripMeters m = node->strip.readMeters();
            meters.push_back({{"nodeId", node->id},
                              {"inputPeak", m.inputPeak},
                              {"outputPeak", m.outputPeak},
                              {"gateReductionDb", m.gateReductionDb},
                              {"compressorReductionDb", m.compressorReductionDb}});
        }
    }
    return meters;
}

nlohmann::json NativeGraphEngine::insertStatusJson() const {
    nlohmann::json status = nlohmann::json::array();
    if (const PreparedGraph* graph = impl_->current.get()) {
        for (const auto& node : graph->nodes) {
            for (const auto& slot : node->inserts) {
                const std::int32_t fault = slot->fault.load(std::memory_order_relaxed);
                status.push_back({{"nodeId", node->id},
                                  {"slotId", slot->id},
                                  {"latencySamples", slot->latencySamples},
                                  {"fault", fault},
                                  {"error", faultText(fault)}});
            }
        }
    }
    return status;
}

nlohmann::json NativeGraphEngine::insertParametersJson(const std::string& nodeId,
                                                       const std::string& insertId) const {
    const PreparedGraph* graph = impl_->current.get();
    const InsertSlot* slot = graph != nullptr ? graph->findInsert(nodeId, insertId) : nullptr;
    if (slot == nullptr) {
        throw std::runtime_error("Insert not in applied graph");
    }
    nlohmann::json parameters = nlohmann::json::array();
    for (const Vst3Effect::ParameterInfo& info : slot->effect.parameters()) {
        parameters.push_back({{"id", info.id},
                              {"name", info.title},
                              {"unit", info.units},
                              {"normalized", info.normalized},
                              {"stepCount", info.stepCount},
                              {"readOnly", info.readOnly}});
    }
    return {{"parameters", std::move(parameters)},
            {"latencySamples", slot->latencySamples},
            {"fault", slot->fault.load(std::memory_order_relaxed)}};
}

std::vector<AppliedInsertNode> NativeGraphEngine::appliedInserts() const {
    std::vector<AppliedInsertNode> applied;
    if (const PreparedGraph* graph = impl_->current.get()) {
        for (const auto& node : graph->nodes) {
            AppliedInsertNode entry{node->id, {}};
            for (const auto& slot : node->inserts) {
                entry.slots.push_back({slot->id, &slot->effect});
            }
            applied.push_back(std::move(entry));
        }
    }
    return applied;
}

} // namespace kestravon::ruvi
