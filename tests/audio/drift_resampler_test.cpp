#include "audio/drift_resampler.h"

#include <cmath>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "audio/endpoint_stream.h"
#include "audio/rate_estimator.h"
#include "tests/support/tone_analysis.h"

namespace kestravon::ruvi {
namespace {

void writeFrames(FrameRing& ring, int count, float value = 0.25f) {
    std::vector<float> frames(static_cast<std::size_t>(count * ring.channels()), value);
    ASSERT_TRUE(ring.write(frames.data(), count));
}

TEST(DriftResampler, TableHasUnitGainPhasesAndTheCutoffOfItsRatio) {
    FrameRing ring;
    ring.reset(1, 8192);
    DriftResampler r;
    r.build(ring, 48000.0, 48000.0, 100.0);
    EXPECT_EQ(r.nominalRatio(), 1.0);
    EXPECT_DOUBLE_EQ(r.cutoff(), 0.94 / 1.005);
    for (int p = 0; p <= DriftResampler::kPhases; p += 128) {
        double sum = 0.0;
        for (int k = 0; k < DriftResampler::kTaps; ++k) {
            sum += r.coefficient(p, k);
        }
        EXPECT_NEAR(sum, 1.0, 1e-5) << "phase " << p;
    }
    // Phase 0 peaks at tap 31; the last phase is phase 0 moved by one tap.
    EXPECT_GT(r.coefficient(0, 31), r.coefficient(0, 30));
    EXPECT_NEAR(r.coefficient(DriftResampler::kPhases, 32), r.coefficient(0, 31), 1e-3);

    r.build(ring, 96000.0, 48000.0, 100.0);
    EXPECT_EQ(r.nominalRatio(), 2.0);
    EXPECT_DOUBLE_EQ(r.cutoff(), 0.94 / (2.0 * 1.005));
}

TEST(DriftResampler, StaysSilentUntilTheRingHoldsTargetPlusSixtyFour) {
    FrameRing ring;
    ring.reset(2, 8192);
    DriftResampler r;
    r.build(ring, 48000.0, 48000.0, 200.0);
    float frame[2];
    double ppm = 123.0;
    writeFrames(ring, 200 + 64 - 32 - 1);
    EXPECT_FALSE(r.next(frame, 1.0, ppm));
    EXPECT_EQ(ppm, 123.0) << "an unprimed call leaves the correction alone";
    EXPECT_FALSE(r.everPrimed());
    writeFrames(ring, 1);
    EXPECT_TRUE(r.next(frame, 1.0, ppm));
    EXPECT_TRUE(r.primed());
    EXPECT_TRUE(r.everPrimed());
}

// Keeps the fill at target + offset while the resampler runs for `calls` frames.
double correctionWithFill(double offsetInTargets, double rateRatio, int calls,
                          double* largestStepChange = nullptr) {
    FrameRing ring;
    ring.reset(1, 65536);
    DriftResampler r;
    const double target = 500.0;
    r.build(ring, 48000.0, 48000.0, target);
    writeFrames(ring, 600);
    float frame[1];
    double ppm = 0.0;
    double previous = r.ratio();
    double largest = 0.0;
    for (int i = 0; i < calls; ++i) {
        if (r.primed()) {
            const double wanted = r.position() + target * (1.0 + offsetInTargets);
            const auto missing =
                static_cast<std::int64_t>(wanted) - static_cast<std::int64_t>(ring.writeIndex());
            if (missing > 0) {
                writeFrames(ring, static_cast<int>(missing));
            }
        }
        EXPECT_TRUE(r.next(frame, rateRatio, ppm));
        EXPECT_GE(r.ratio(), 0.995);
        EXPECT_LE(r.ratio(), 1.005);
        largest = std::max(largest, std::fabs(r.ratio() - previous));
        previous = r.ratio();
    }
    if (largestStepChange != nullptr) {
        *largestStepChange = largest;
    }
    return ppm;
}

TEST(DriftResampler, FillErrorSteersWithinBoundsAndSlew) {
    EXPECT_NEAR(correctionWithFill(0.0, 1.0, 20000), 0.0, 1.0);
    EXPECT_NEAR(correctionWithFill(1.0, 1.0, 20000), 200.0, 1.0);
    EXPECT_NEAR(correctionWithFill(20.0, 1.0, 20000), 500.0, 1.0) << "fill error capped";
    EXPECT_NEAR(correctionWithFill(20.0, 1.003, 20000), 3500.0, 2.0);
    EXPECT_NEAR(correctionWithFill(20.0, 1.02, 30000), 5000.0, 1.0) << "step capped at 0.5 %";
    double largest = 0.0;
    correctionWithFill(20.0, 1.02, 2000, &largest);
    EXPECT_LE(largest, 5e-7 + 1e-15) << "slew of 0.5 ppm per frame";
    EXPECT_GT(largest, 4e-7);
}

TEST(DriftResampler, ProducerStopResynchronisesAndDropsTheQueue) {
    FrameRing ring;
    ring.reset(1, 8192);
    DriftResampler r;
    r.build(ring, 48000.0, 48000.0, 100.0);
    writeFrames(ring, 200);
    float frame[1];
    double ppm = 0.0;
    int produced = 0;
    while (r.next(frame, 1.0, ppm)) {
        ++produced;
    }
    EXPECT_GT(produced, 100);
    EXPECT_LT(produced, 200);
    EXPECT_FALSE(r.primed());
    EXPECT_TRUE(r.everPrimed());
    EXPECT_EQ(ring.readIndex(), ring.writeIndex()) << "everything queued is dropped";
    writeFrames(ring, 163);
    EXPECT_FALSE(r.next(frame, 1.0, ppm));
    writeFrames(ring, 1);
    EXPECT_TRUE(r.next(frame, 1.0, ppm));
}

// A mono ring whose frames hold their own counter position, so that a frame out tells where
// the resampler reads.
void writeRamp(FrameRing& ring, int count) {
    std::vector<float> frames(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        frames[static_cast<std::size_t>(i)] = static_cast<float>(ring.writeIndex() + i);
    }
    ASSERT_TRUE(ring.write(frames.data(), count));
}

TEST(DriftResampler, LostTimeAndStaleBacklogMoveTheReadPosition) {
    constexpr double kTarget = 200.0;
    constexpr int kWakes = DriftResampler::kExcessWakes;
    struct Case {
        const char* name;
        int backlog;       // frames written after the first reads
        double skip;       // frames passed over, 0 for none
        int idleWakes;     // consumer wakes before `later` frames come
        int later;         // frames written then
        int wakes;         // consumer wakes after that
        double readsAhead; // where the next read lies beyond the last one
    };
    // Priming reads from 32 and 40 reads later the resampler reads at 72; the ring is written up
    // to 264 plus the backlog, and its priming fill is the target plus 32 ahead of the read.
    const Case cases[] = {
        {"nothing moves", 100, 0.0, 0, 0, 0, 1.0},
        {"lost time is passed over", 400, 150.0, 0, 0, 0, 151.0},
        {"a skip keeps the priming fill", 100, 1e6, 0, 0, 0, 364.0 - kTarget - 32.0 - 72.0},
        {"what is not there yet is passed over as it comes", 100, 200.0, 0, 300, 1, 201.0},
        {"time owed too long is forgotten", 100, 200.0, 2 * kWakes, 300, 1,
         364.0 - kTarget - 32.0 - 72.0},
        {"a fill below twice the priming fill is kept", 200, 0.0, 0, 0, kWakes, 1.0},
        {"a stale backlog is dropped to the priming fill", 2000, 0.0, 0, 0, kWakes,
         2264.0 - kTarget - 32.0 - 72.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameRing ring;
        ring.reset(1, 8192);
        DriftResampler r;
        r.build(ring, 48000.0, 48000.0, kTarget);
        r.skip(50.0);
        EXPECT_EQ(r.dropExcess(), 0.0) << "an unprimed resampler leaves the ring alone";
        writeRamp(ring, static_cast<int>(kTarget) + 64 - 32);
        float frame[1];
        double ppm = 0.0;
        for (int i = 0; i < 41; ++i) {
            ASSERT_TRUE(r.next(frame, 1.0, ppm));
        }
        const float before = frame[0];
        const double from = r.position() - 1.0;
        writeRamp(ring, c.backlog);
        r.skip(c.skip);
        double dropped = 0.0;
        for (int wake = 0; wake < c.idleWakes; ++wake) {
            dropped += r.dropExcess();
        }
        if (c.later > 0) {
            writeRamp(ring, c.later);
        }
        for (int wake = 1; wake <= c.wakes; ++wake) {
            const double now = r.dropExcess();
            if (wake < kWakes) {
                ASSERT_EQ(now, 0.0) << "a backlog may be a burst the next wakes take";
            }
            dropped += now;
        }
        EXPECT_NEAR(r.position() - from, c.readsAhead, 1e-3);
        EXPECT_NEAR(static_cast<double>(r.takePassedOver()), c.readsAhead - 1.0, 1.0)
            << "counted as missing, in whole frames";
        EXPECT_EQ(r.takePassedOver(), 0) << "a fraction waits for more";
        if (c.backlog > 1000) {
            EXPECT_NEAR(static_cast<double>(ring.writeIndex()) - r.position(), kTarget + 32.0,
                        1e-9);
            EXPECT_NEAR(dropped, c.readsAhead - 1.0, 1e-3);
        } else {
            EXPECT_EQ(dropped, 0.0);
        }
        ASSERT_TRUE(r.next(frame, 1.0, ppm)) << "the stream plays on";
        EXPECT_NEAR(frame[0] - before, c.readsAhead, 0.05) << "the audio read is the audio there";
        EXPECT_EQ(ring.readIndex(), static_cast<std::uint64_t>(std::floor(r.position())) - 31)
            << "what lies behind the taps is handed back";
    }
}

TEST(DriftResampler, UnitGainAtDcAndNonFiniteInputGivesZero) {
    FrameRing ring;
    ring.reset(2, 8192);
    DriftResampler r;
    r.build(ring, 44100.0, 48000.0, 100.0);
    writeFrames(ring, 400, 0.5f);
    float frame[2];
    double ppm = 0.0;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(r.next(frame, 44100.0 / 48000.0, ppm));
    }
    EXPECT_NEAR(frame[0], 0.5f, 1e-5);
    EXPECT_NEAR(frame[1], 0.5f, 1e-5);
    writeFrames(ring, 64, std::numeric_limits<float>::infinity());
    bool sawZero = false;
    for (int i = 0; i < 2000 && r.next(frame, 1.0, ppm); ++i) {
        EXPECT_TRUE(std::isfinite(frame[0]));
        sawZero = sawZero || frame[0] == 0.0f;
    }
    EXPECT_TRUE(sawZero);
}

// A capture endpoint whose clock runs +100 ppm fast against the master, simulated packet by
// packet and period by period for one minute of master time, through the stream's own ring
// sizing, target, estimator and resampler.
TEST(DriftResampler, DriftingCaptureRunsAMinuteWithoutMissingFrames) {
    constexpr double session = 48000.0, device = 48000.0, drift = 100e-6, toneHz = 1000.0;
    constexpr std::uint32_t packet = 480; // 10 ms device period, also the buffer
    constexpr int block = 128;
    const double target = resamplerTargetFrames(packet, device, device, session, block);
    FrameRing ring;
    ring.reset(2, ringRequestFrames(packet, target));
    DriftResampler resampler;
    resampler.build(ring, device, session, target);
    RateEstimator estimator;
    double measured = device;

    std::vector<float> scratch(2 * packet);
    std::uint64_t produced = 0; // device frames
    std::int64_t periods = 0;
    std::int64_t missingAfterPriming = 0;
    const std::int64_t totalPeriods = static_cast<std::int64_t>(60.0 * session / block);
    std::vector<float> lastSeconds;
    double fillSum = 0.0, ppmSum = 0.0;
    std::int64_t fillCount = 0;
    double ppm = 0.0;
    while (periods < totalPeriods) {
        const double nextPacketTime = static_cast<double>(produced + packet) /
                                      (device * (1.0 + drift)); // seconds of master time
        const double nextPeriodTime = static_cast<double>(periods) * block / session;
        if (nextPacketTime <= nextPeriodTime) {
            for (std::uint32_t i = 0; i < packet; ++i) {
                const double n = static_cast<double>(produced + i);
                const auto v = static_cast<float>(
                    0.5 * std::sin(2 * std::numbers::pi * std::fmod(n * toneHz / device, 1.0)));
                scratch[2 * i] = v;
                scratch[2 * i + 1] = -v;
            }
            ASSERT_TRUE(ring.write(scratch.data(), packet));
            const double capturedAt = static_cast<double>(produced) / (device * (1.0 + drift));
            measured = estimator.update(static_cast<double>(produced), capturedAt * 1e7, device);
            produced += packet;
            continue;
        }
        for (int i = 0; i < block; ++i) {
            float frame[2];
            if (resampler.next(frame, measured / session, ppm)) {
                ASSERT_EQ(frame[0], -frame[1]) << "channels stay apart";
                if (periods * block >= (totalPeriods - 10 * 375) * block) {
                    lastSeconds.push_back(frame[0]);
                }
            } else if (resampler.everPrimed()) {
                ++missingAfterPriming;
            }
        }
        if (periods > totalPeriods - 10 * 375) {
            ppmSum += ppm;
            fillSum += static_cast<double>(ring.writeIndex()) - resampler.position();
            ++fillCount;
        }
        ++periods;
    }
    EXPECT_EQ(missingAfterPriming, 0);
    // The fill term follows the 10 ms packet sawtooth, so the correction is judged on average.
    const double meanPpm = ppmSum / static_cast<double>(fillCount);
    EXPECT_NEAR(meanPpm, 100.0, 10.0);
    const double meanFill = fillSum / static_cast<double>(fillCount);
    EXPECT_NEAR(meanFill, target, 0.25 * target) << "target " << target;

    // The tone keeps its pitch against the master clock and stays clean.
    ASSERT_GE(lastSeconds.size(), 48000u);
    lastSeconds.resize(48000);
    const testing::ToneFit fit = testing::fitTone(lastSeconds, session, toneHz);
    EXPECT_NEAR(fit.frequency, toneHz * (1.0 + drift), 0.01);
    EXPECT_NEAR(fit.amplitude, 0.5, 0.001);
    EXPECT_LT(fit.thdPlusNoiseDb, -60.0);
    RecordProperty("thdPlusNoiseDb", std::to_string(fit.thdPlusNoiseDb));
    std::printf(
        "drifting capture: %.4f Hz, THD+N %.1f dB, correction %.2f ppm, fill %.1f of %.1f\n",
        fit.frequency, fit.thdPlusNoiseDb, meanPpm, meanFill, target);
}

} // namespace
} // namespace kestravon::ruvi
