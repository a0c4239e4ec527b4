#include "audio/rate_estimator.h"

#include <cmath>

namespace kestravon::ruvi {

double RateEstimator::update(double frames, double time100ns, double nominal) noexcept {
    if (seeded_) {
        lastFrames_ = frames;
        lastTime_ = time100ns;
        estimate_ = nominal;
        seeded_ = false;
        return nominal;
    }
    const double window = (time100ns - lastTime_) * 1e-7;
    if (!(window >= 0.25)) {
        return estimate_;
    }
    const double rate = (frames - lastFrames_) / window;
    if (std::isfinite(rate) && rate >= 0.995 * nominal && rate <= 1.005 * nominal) {
        estimate_ += 0.05 * (rate - estimate_);
    }
    lastFrames_ = frames;
    lastTime_ = time100ns;
    return estimate_;
}

} // namespace kestravon::ruvi
