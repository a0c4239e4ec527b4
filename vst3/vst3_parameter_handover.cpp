// Parameter values between the host (UI thread), the plug-in's controller and its processor
// (audio thread): stored once, handed on by per-parameter flags, collected by the poll.

#include "vst3/vst3_effect_impl.h"

#include <algorithm>
#include <cmath>

namespace kestravon::ruvi {

bool Vst3Effect::Impl::storeParameter(std::size_t index, double value,
                                      bool fromController) noexcept {
    if (!std::isfinite(value) || (parameterFlags[index] & sv::ParameterInfo::kIsReadOnly) != 0) {
        return false;
    }
    ParameterValue& slot = values[index];
    slot.normalized.store(std::clamp(value, 0.0, 1.0), std::memory_order_relaxed);
    slot.pendingForAudio.store(1, std::memory_order_release);
    if (fromController) {
        slot.changedForUi.store(1, std::memory_order_release);
        uiChangesPending.store(1, std::memory_order_release);
    } else {
        slot.changedForController.store(1, std::memory_order_release);
        controllerSyncPending.store(1, std::memory_order_release);
    }
    return true;
}

bool Vst3Effect::Impl::setParameterById(std::uint32_t id, double value,
                                        bool fromController) noexcept {
    if (!std::isfinite(value)) {
        return false;
    }
    auto where = std::lower_bound(parameterIndex.begin(), parameterIndex.end(), id,
                                  [](const std::pair<std::uint32_t, std::uint32_t>& entry,
                                     std::uint32_t key) { return entry.first < key; });
    if (where == parameterIndex.end() || where->first != id) {
        return false;
    }
    return storeParameter(where->second, value, fromController);
}

bool Vst3Effect::setParameter(std::uint32_t id, double normalized) {
    return impl_ != nullptr && impl_->setParameterById(id, normalized, false);
}

std::vector<Vst3Effect::ParameterInfo> Vst3Effect::parameters() const {
    if (impl_ == nullptr) {
        return {};
    }
    std::vector<ParameterInfo> result = impl_->parameters;
    for (std::size_t i = 0; i < result.size(); ++i) {
        result[i].normalized = impl_->values[i].normalized.load(std::memory_order_relaxed);
    }
    return result;
}

std::vector<Vst3Effect::ParameterUpdate> Vst3Effect::pollParameterChanges(std::size_t max) {
    std::vector<ParameterUpdate> updates;
    if (impl_ == nullptr || max == 0) {
        return updates;
    }
    Impl& d = *impl_;
    const std::size_t limit = std::min<std::size_t>(max, kMaxParameters);
    std::int32_t flags = d.restartFlags.load(std::memory_order_acquire);
    while (!d.restartFlags.compare_exchange_weak(flags, flags & ~sv::kParamValuesChanged,
                                                 std::memory_order_acq_rel)) {
    }
    const bool reread = (flags & sv::kParamValuesChanged) != 0;
    bool uiPending = d.uiChangesPending.exchange(0, std::memory_order_acquire) != 0;
    const bool syncPending = d.controllerSyncPending.exchange(0, std::memory_order_acquire) != 0;
    if (!reread && !uiPending && !syncPending) {
        return updates;
    }
    if (syncPending && d.controller != nullptr) {
        d.syncControllerValues();
    }
    if (reread && d.controller != nullptr) {
        d.rereadControllerValues();
        uiPending = true;
    }
    if (!uiPending || d.parameters.empty()) {
        return updates;
    }
    d.collectUiChanges(limit, updates);
    return updates;
}

// The values the host set since the last poll, told to the controller.
void Vst3Effect::Impl::syncControllerValues() {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].readOnly ||
            values[i].changedForController.exchange(0, std::memory_order_acquire) == 0) {
            continue;
        }
        try {
            controller->setParamNormalized(parameters[i].id,
                                           values[i].normalized.load(std::memory_order_relaxed));
        } catch (...) {
            restartFlags.fetch_or(sv::kReloadComponent, std::memory_order_acq_rel);
        }
    }
}

// The plug-in's edits, round-robin from where the last poll stopped, at most limit of them; a
// poll that stops on the limit leaves the rest pending for the next.
void Vst3Effect::Impl::collectUiChanges(std::size_t limit, std::vector<ParameterUpdate>& updates) {
    const std::size_t count = parameters.size();
    std::size_t visited = 0;
    for (; visited < count && updates.size() < limit; ++visited) {
        const std::size_t i = pollCursor;
        pollCursor = (pollCursor + 1) % count;
        if (!parameters[i].readOnly &&
            values[i].changedForUi.exchange(0, std::memory_order_acquire) != 0) {
            updates.push_back(
                {parameters[i].id, values[i].normalized.load(std::memory_order_relaxed)});
        }
    }
    if (updates.size() == limit && visited < count) {
        uiChangesPending.store(1, std::memory_order_release);
    }
}

} // namespace kestravon::ruvi
