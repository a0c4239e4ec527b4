// The controller's values read again when the plug-in says they changed, as after a state
// restore: only values that really moved are stored, sent to the processor and reported.

#include "vst3/vst3_effect_impl.h"

#include <algorithm>
#include <cmath>

namespace kestravon::ruvi {
namespace {

// The largest difference between a normalized value and a controller's read-back of it that is
// still the controller's own rounding (single-precision plain values over their range).
constexpr double kControllerRounding = 1e-6;

} // namespace

void Vst3Effect::Impl::rereadControllerValues() {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].readOnly) {
            continue;
        }
        try {
            const double fresh = controller->getParamNormalized(parameters[i].id);
            // A controller keeps values in its own units and precision, so after a state
            // restore it reads back a value just set as its rounding of it: that is not a move.
            if (std::isfinite(fresh) &&
                std::abs(std::clamp(fresh, 0.0, 1.0) -
                         values[i].normalized.load(std::memory_order_relaxed)) >
                    kControllerRounding) {
                storeParameter(i, fresh, true);
            }
        } catch (...) {
            restartFlags.fetch_or(sv::kReloadComponent, std::memory_order_acq_rel);
        }
    }
}

} // namespace kestravon::ruvi
