#include "engine/prepared_graph.h"

namespace kestravon::ruvi {

GraphNode* PreparedGraph::findNode(const std::string& id) const noexcept {
    for (const auto& node : nodes) {
        if (node->id == id) {
            return node.get();
        }
    }
    return nullptr;
}

InsertSlot* PreparedGraph::findInsert(const std::string& nodeId,
                                      const std::string& insertId) const noexcept {
    GraphNode* node = findNode(nodeId);
    if (node == nullptr) {
        return nullptr;
    }
    for (const auto& slot : node->inserts) {
        if (slot->id == insertId) {
            return slot.get();
        }
    }
    return nullptr;
}

} // namespace kestravon::ruvi
