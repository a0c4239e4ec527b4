#include "audio/rate_estimator.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

constexpr double kSecond = 1e7; // 100-ns units

TEST(RateEstimator, SeedsWithNominalAndSmoothsQuarterSecondWindows) {
    RateEstimator e;
    EXPECT_EQ(e.update(1000.0, 5 * kSecond, 48000.0), 48000.0);
    // 0.2 s later: the window is too short, nothing moves.
    EXPECT_EQ(e.update(1000.0 + 0.2 * 48010.0, 5.2 * kSecond, 48000.0), 48000.0);
    // 0.3 s after the seed the window completes at 48010 Hz: 5 % of the step.
    EXPECT_DOUBLE_EQ(e.update(1000.0 + 0.3 * 48010.0, 5.3 * kSecond, 48000.0), 48000.5);
}

TEST(RateEstimator, ImplausibleWindowsAreIgnoredButRestartTheWindow) {
    RateEstimator e;
    e.update(0.0, 0.0, 48000.0);
    EXPECT_EQ(e.update(0.5 * 48480.0, 0.5 * kSecond, 48000.0), 48000.0) << "1 % jump ignored";
    EXPECT_EQ(e.update(0.5 * 48480.0 + 1e9, 1.0 * kSecond, 48000.0), 48000.0);
    // The window restarted at the ignored sample, so this one measures 48200 Hz over 0.5 s.
    const double start = 0.5 * 48480.0 + 1e9;
    EXPECT_DOUBLE_EQ(e.update(start + 0.5 * 48200.0, 1.5 * kSecond, 48000.0), 48010.0);
}

TEST(RateEstimator, ConvergesToTheTrueRate) {
    RateEstimator e;
    double estimate = 0.0;
    for (int i = 0; i <= 400; ++i) {
        const double t = i * 0.25;
        estimate = e.update(t * 96009.6, t * kSecond, 96000.0);
    }
    EXPECT_NEAR(estimate, 96009.6, 0.01);
}

} // namespace
} // namespace kestravon::ruvi
