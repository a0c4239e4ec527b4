#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace kestravon::ruvi {

class Vst3Effect;

// The inserts of one node of the applied graph, in slot order, as the engine holds them.
struct AppliedInsertSlot {
    std::string id;
    Vst3Effect* effect = nullptr;
};

struct AppliedInsertNode {
    std::string id;
    std::vector<AppliedInsertSlot> slots;
};

// Writes "stateHex" and "parameters" for every insert of the applied graph into the matching
// insert of nativeGraph's "nodes". applied null means no graph is applied (nothing to do).
// On any failure error is set, false is returned and nativeGraph is left untouched.
// UI thread, with the audio device stopped: it calls process on the instances.
bool captureInsertStates(const std::vector<AppliedInsertNode>* applied, nlohmann::json& nativeGraph,
                         std::string& error);

} // namespace kestravon::ruvi
