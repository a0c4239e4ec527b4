#include "engine/native_graph_engine.h"

#include <algorithm>
#include <exception>

#include "engine/graph_compiler.h"
#include "engine/graph_holder.h"
#include "engine/mixing.h"

namespace kestravon::ruvi {

NativeGraphEngine::NativeGraphEngine() : impl_(std::make_unique<Impl>()) {
    impl_->retired.reserve(Impl::kMaxRetired);
}

NativeGraphEngine::~NativeGraphEngine() {
    impl_->published.exchange(nullptr);
    impl_->current.reset();
    impl_->retired.clear();
}

bool NativeGraphEngine::applyGraph(const nlohmann::json& description, const BackendStatus& layout,
                                   std::string& error) {
    error.clear();
    impl_->pruneRetired();
    if (impl_->retired.size() >= Impl::kMaxRetired) {
        error = "Graph update busy until audio callback retires previous graph";
        return false;
    }
    std::unique_ptr<PreparedGraph> graph;
    try {
        graph = compileNativeGraph(description, layout);
    } catch (const std::exception& failure) {
        error = failure.what();
        return false;
    }
    std::unique_ptr<PreparedGraph> old = std::move(impl_->current);
    impl_->current = std::move(graph);
    // Sequentially consistent, so the epoch read below cannot be taken before the new pointer
    // is visible to the audio thread.
    impl_->published.store(impl_->current.get());
    if (old != nullptr) {
        impl_->retired.push_back({std::move(old), impl_->retiredEpoch.load() + 2});
    }
    return true;
}

void NativeGraphEngine::render(const float* const* inputs, std::int32_t inputCount,
                               float* const* outputs, std::int32_t outputCount, std::int32_t frames,
                               double sampleRate) noexcept {
    if (frames > kBlockStride || outputCount < 0) {
        return;
    }
    if (outputs != nullptr && frames > 0) {
        for (std::int32_t c = 0; c < outputCount; ++c) {
            if (outputs[c] != nullptr) {
                std::fill_n(outputs[c], frames, 0.0f);
            }
        }
    }
    PreparedGraph* graph = impl_->published.load();
    if (graph != nullptr && outputs != nullptr && frames > 0 && graph->sampleRate == sampleRate &&
        graph->inputLanes == inputCount && graph->outputLanes == outputCount &&
        graph->maximumBlock >= frames) {
        graph->render(inputs, outputs, frames);
    }
    impl_->retiredEpoch.fetch_add(1);
}

std::size_t NativeGraphEngine::reclaimRetired() {
    return impl_->pruneRetired();
}

void NativeGraphEngine::dropRetired() {
    impl_->retired.clear();
}

void NativeGraphEngine::clear() {
    impl_->published.exchange(nullptr);
    impl_->current.reset();
    impl_->retired.clear();
}

bool NativeGraphEngine::hasGraph() const noexcept {
    return impl_->current != nullptr;
}

std::uint64_t NativeGraphEngine::retiredEpoch() const noexcept {
    return impl_->retiredEpoch.load();
}

std::size_t NativeGraphEngine::retiredCount() const noexcept {
    return impl_->retired.size();
}

} // namespace kestravon::ruvi
