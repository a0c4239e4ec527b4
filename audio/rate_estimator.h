#pragma once

namespace kestravon::ruvi {

// A device's real sample rate measured against the performance counter over windows of at least
// a quarter second, smoothed, with implausible windows (beyond 0.5 % of nominal) ignored.
// Private to the thread that feeds it.
class RateEstimator {
public:
    double update(double frames, double time100ns, double nominal) noexcept;
    double estimate() const noexcept { return estimate_; }

private:
    bool seeded_ = true;
    double lastFrames_ = 0.0;
    double lastTime_ = 0.0;
    double estimate_ = 0.0;
};

} // namespace kestravon::ruvi
