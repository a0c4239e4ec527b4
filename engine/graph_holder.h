#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/native_graph_engine.h"
#include "engine/prepared_graph.h"

namespace kestravon::ruvi {

// A replaced graph and the audio epoch it must wait for before it may be freed.
struct RetiredGraph {
    std::unique_ptr<PreparedGraph> graph;
    std::uint64_t epoch = 0;
};

// The engine's hidden state. current and retired belong to the UI thread; published and
// retiredEpoch are the only cells shared with the audio thread.
struct NativeGraphEngine::Impl {
    static constexpr std::size_t kMaxRetired = 4;

    std::unique_ptr<PreparedGraph> current;
    std::atomic<PreparedGraph*> published{nullptr};
    std::atomic<std::uint64_t> retiredEpoch{0};
    std::vector<RetiredGraph> retired;

    // Frees the retired graphs whose epoch the audio thread has reached, keeping the order of
    // the rest; returns how many it freed.
    std::size_t pruneRetired() {
        const std::uint64_t epoch = retiredEpoch.load();
        const std::size_t before = retired.size();
        std::erase_if(retired, [epoch](const RetiredGraph& entry) { return entry.epoch <= epoch; });
        return before - retired.size();
    }
};

} // namespace kestravon::ruvi
