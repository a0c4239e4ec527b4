#include "audio/loss_watch.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

constexpr double kPeriod = 128.0;

// A stream whose position advances one period per cycle; `lagAt(k)` is the lag at the look
// after cycle k (our wake-up delay plus whatever the device lost so far).
struct Case {
    std::string name;
    int cycles;
    std::function<double(int)> lagAt;
    int losses;     // looks that report a loss
    double lostSum; // frames they report, give or take the wake-up jitter
};

TEST(LossWatch, ReportsSkippedCyclesOnceAndNothingElse) {
    const auto jitter = [](int k) { return 3.0 + (k * 7919 % 13); };
    const std::vector<Case> cases = {
        {"steady with wake-up jitter", 2000, jitter, 0, 0.0},
        {"one late wake-up of our own thread", 2000,
         [&](int k) { return k == 700 ? 120.0 : jitter(k); }, 0, 0.0},
        {"late wake-ups never twice in a row", 2000,
         [&](int k) { return k % 50 == 0 ? 110.0 : jitter(k); }, 0, 0.0},
        {"one skipped cycle", 2000, [&](int k) { return jitter(k) + (k >= 900 ? 128.0 : 0.0); }, 1,
         128.0},
        {"three cycles skipped at once, then one more", 3000,
         [&](int k) {
             return jitter(k) + (k >= 900 ? 3 * 128.0 : 0.0) + (k >= 2000 ? 128.0 : 0.0);
         },
         2, 4 * 128.0},
        {"device 500 ppm slower than the clock", 20000,
         [&](int k) { return jitter(k) + k * kPeriod * 500e-6; }, 0, 0.0},
        {"device 500 ppm faster than the clock", 20000,
         [&](int k) { return jitter(k) - k * kPeriod * 500e-6; }, 0, 0.0},
    };
    for (const Case& c : cases) {
        LossWatch watch;
        int losses = 0;
        double lostSum = 0.0;
        double skipped = 0.0; // what the caller adds to the position once a loss is reported
        for (int k = 0; k < c.cycles; ++k) {
            const double lost = watch.check(c.lagAt(k) - skipped, k * kPeriod, kPeriod);
            if (lost > 0.0) {
                ++losses;
                lostSum += lost;
                skipped += lost;
            }
        }
        EXPECT_EQ(losses, c.losses) << c.name;
        EXPECT_NEAR(lostSum, c.lostSum, 32.0) << c.name;
    }
}

TEST(LossWatch, SettlesAReportedLossWithoutFindingItAgain) {
    LossWatch watch;
    EXPECT_EQ(watch.settle(5.0, 0.0), 0.0) << "the first look only seeds";
    for (int k = 1; k < 100; ++k) {
        EXPECT_EQ(watch.check(5.0, k * kPeriod, kPeriod), 0.0);
    }
    // The device ran dry for 1000 frames and said so; all of the rise is lost at once.
    EXPECT_NEAR(watch.settle(1005.0, 100 * kPeriod), 1000.0, 1e-9);
    // The caller counted those frames: the lag is back at its floor, nothing more is found.
    for (int k = 101; k < 200; ++k) {
        EXPECT_EQ(watch.check(5.0, k * kPeriod, kPeriod), 0.0);
    }
    watch.reset();
    EXPECT_EQ(watch.check(900.0, 0.0, kPeriod), 0.0) << "a reset seeds afresh";
    EXPECT_EQ(watch.check(905.0, kPeriod, kPeriod), 0.0);
}

} // namespace
} // namespace kestravon::ruvi
