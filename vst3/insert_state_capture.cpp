#include "vst3/insert_state_capture.h"

#include "vst3/vst3_effect.h"
#include "vst3/vst3_state_blob.h"

#include <stdexcept>

namespace kestravon::ruvi {
namespace {

void captureSlot(const AppliedInsertSlot& slot, nlohmann::json& insert) {
    Vst3Effect& effect = *slot.effect;
    // Delivers waiting values to the processor (no audio): the save then finds nothing pending.
    if (!effect.process(nullptr, nullptr, 0, nullptr)) {
        throw std::runtime_error("Cannot flush plugin state: " + slot.id);
    }
    std::string error;
    const std::vector<std::uint8_t> blob = effect.saveState(error);
    if (!error.empty() || blob.empty()) {
        throw std::runtime_error("Cannot capture plugin state: " + error);
    }
    if (blob.size() > Vst3StateBlob::kMaxPartSize) {
        throw std::runtime_error("VST state exceeds session bound");
    }
    insert["stateHex"] = stateHex(blob);
    nlohmann::json parameters = nlohmann::json::object();
    for (const Vst3Effect::ParameterInfo& info : effect.parameters()) {
        if (!info.readOnly) {
            parameters[std::to_string(info.id)] = info.normalized;
        }
    }
    insert["parameters"] = std::move(parameters);
}

} // namespace

bool captureInsertStates(const std::vector<AppliedInsertNode>* applied, nlohmann::json& nativeGraph,
                         std::string& error) {
    error.clear();
    if (applied == nullptr) {
        return true;
    }
    try {
        nlohmann::json copy = nativeGraph;
        for (nlohmann::json& element : copy.at("nodes")) {
            for (const AppliedInsertNode& node : *applied) {
                if (element.at("id") != nlohmann::json(node.id) || !element.is_object() ||
                    !element.contains("inserts")) {
                    continue;
                }
                for (nlohmann::json& insert : element["inserts"]) {
                    for (const AppliedInsertSlot& slot : node.slots) {
                        const nlohmann::json& id = insert.at("id");
                        if (slot.effect != nullptr && id.is_string() &&
                            id.get_ref<const std::string&>() == slot.id) {
                            captureSlot(slot, insert);
                        }
                    }
                }
            }
        }
        nativeGraph = std::move(copy);
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
        return false;
    }
}

} // namespace kestravon::ruvi
