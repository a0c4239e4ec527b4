#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "audio/frame_ring.h"

namespace kestravon::ruvi {

// Converts between a ring's rate and its consumer's rate with a 64-tap windowed-sinc polyphase
// table, steering the step by the measured rate ratio and by the ring's fill against a target.
// Thread contract: build() before the threads run (it allocates the table); next() only on the
// ring's consumer thread, never allocating, locking or calling the system.
class DriftResampler {
public:
    static constexpr int kPhases = 1024;
    static constexpr int kTaps = 64;

    // Throws std::bad_alloc when the table cannot be allocated.
    void build(FrameRing& ring, double inRate, double outRate, double target);

    // One output frame of ring.channels() samples; false when none could be produced.
    [[nodiscard]] bool next(float* frameOut, double rateRatio, double& correctionPpm) noexcept;

    // Consumer side, while primed; both are called once per consumer wake. skip() passes over
    // `frames` ring frames of audio whose time the device lost. It never takes the queue below
    // its priming fill: what the ring does not hold yet (the producer's side of the same stretch
    // may still be on its way) is passed over as it comes, within 2 x kExcessWakes wakes.
    // dropExcess() does that, and returns the queue to its priming fill when it has held more
    // than twice that at kExcessWakes wakes in a row: a producer's backlog that came after the
    // queue ran dry, or lost time nobody reported. It answers the ring frames dropped for the
    // excess, 0 when none.
    static constexpr int kExcessWakes = 4;
    void skip(double frames) noexcept;
    double dropExcess() noexcept;
    // The whole frames passed over or dropped since the last call, in the consumer's frames (at
    // the nominal ratio; the fraction is kept for the next call). The stream counts them as
    // missing, as it counts the frames it could not produce.
    std::int64_t takePassedOver() noexcept {
        const double whole = std::floor(passedOver_ / nominalRatio_);
        passedOver_ -= whole * nominalRatio_;
        return static_cast<std::int64_t>(whole);
    }

    bool primed() const noexcept { return primed_; }
    bool everPrimed() const noexcept { return everPrimed_; }
    double target() const noexcept { return target_; }
    double nominalRatio() const noexcept { return nominalRatio_; }
    double ratio() const noexcept { return ratio_; }
    double position() const noexcept { return position_; }
    double cutoff() const noexcept { return cutoff_; }
    // Coefficient k of phase p (p up to kPhases inclusive).
    float coefficient(int phase, int tap) const noexcept {
        return table_[static_cast<std::size_t>(phase) * kTaps + static_cast<std::size_t>(tap)];
    }

private:
    FrameRing* ring_ = nullptr;
    std::vector<float> table_;
    double position_ = 0.0;
    double nominalRatio_ = 1.0;
    double ratio_ = 1.0;
    double target_ = 0.0;
    double cutoff_ = 0.0;
    bool primed_ = false;
    bool everPrimed_ = false;
    int excessWakes_ = 0;
    double owed_ = 0.0; // lost frames still to pass over
    double passedOver_ = 0.0;
    int owedWakes_ = 0;
    void passOverOwed() noexcept;
};

} // namespace kestravon::ruvi
