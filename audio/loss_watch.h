#pragma once

#include <algorithm>

namespace kestravon::ruvi {

// Finds the audio a shared stream lost without an ALSA error: a sound server does not wait for a
// late client, it skips the client's cycle, and the plug-in's position simply does not advance.
// The lag (elapsed time in frames minus the stream's position) stays within a cycle of its floor
// while nothing is lost, because the position advances in whole cycles that reach the client just
// after they start; every skipped cycle raises it for good. A rise of half a period or more seen
// at two fresh positions in a row is a loss (one late wake-up of our own thread is not: by the
// next cycle the lag is back). The floor follows a device clock slower than the monotonic clock
// by up to 1000 ppm. Private to the stream's thread; no allocation, no system call.
class LossWatch {
public:
    void reset() noexcept {
        seeded_ = false;
        suspect_ = false;
    }

    // The frames lost by the lag measured at `elapsed` (both in frames), or 0.
    double check(double lag, double elapsed, double period) noexcept {
        if (!seed(lag, elapsed)) {
            return 0.0;
        }
        const double excess = lag - floor_;
        const double rise = std::max(0.0, elapsed - lastAt_) * 1e-3;
        lastAt_ = elapsed;
        if (excess < 0.5 * period) {
            suspect_ = false;
            floor_ = excess < 0.0 ? lag : floor_ + std::min(excess, rise);
            return 0.0;
        }
        if (!suspect_) {
            suspect_ = true;
            suspected_ = excess;
            return 0.0;
        }
        suspect_ = false;
        return std::min(excess, suspected_);
    }

    // After a loss the device reported itself: all of the rise is lost.
    double settle(double lag, double elapsed) noexcept {
        if (!seed(lag, elapsed)) {
            return 0.0;
        }
        lastAt_ = elapsed;
        suspect_ = false;
        return std::max(0.0, lag - floor_);
    }

private:
    bool seed(double lag, double elapsed) noexcept {
        if (seeded_) {
            return true;
        }
        seeded_ = true;
        floor_ = lag;
        lastAt_ = elapsed;
        return false;
    }

    bool seeded_ = false;
    bool suspect_ = false;
    double floor_ = 0.0;
    double suspected_ = 0.0;
    double lastAt_ = 0.0;
};

} // namespace kestravon::ruvi
