#include "engine/mixing.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

TEST(Mixing, DbToGainIsOffAtAndBelowMinus120) {
    const struct {
        double dB;
        float gain;
    } cases[] = {
        {0.0, 1.0f},
        {-6.020599913279624, 0.5f},
        {20.0, 10.0f},
        {60.0, 1000.0f},
        {-119.0, 1.1220185e-6f},
        {-120.0, 0.0f},
        {-400.0, 0.0f},
        {std::numeric_limits<double>::quiet_NaN(), 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dB);
        EXPECT_FLOAT_EQ(dbToGain(c.dB), c.gain);
    }
}

TEST(Mixing, SmoothingHasAFiveMillisecondTimeConstant) {
    const float k = smoothingCoefficient(48000.0);
    EXPECT_FLOAT_EQ(k, static_cast<float>(1.0 - std::exp(-1.0 / 240.0)));
    double value = 0.0;
    for (int f = 0; f < 240; ++f) {
        smoothGain(value, 1.0, k);
    }
    EXPECT_NEAR(value, 1.0 - std::exp(-1.0), 1e-3);
    for (int f = 0; f < 10000 && value != 1.0; ++f) {
        smoothGain(value, 1.0, k);
    }
    EXPECT_EQ(value, 1.0) << "the gain snaps to its target";
}

TEST(Mixing, MixIntoBusAddsOneFrameAtItsPosition) {
    const struct {
        const char* name;
        int destinationWidth;
        int sourceWidth;
        float pan;
        float gain;
        float left;
        float right;
    } cases[] = {
        // The source frame is (0.8, 0.4); the bus already holds 0.1 on both channels.
        {"mono into mono", 1, 1, 100.0f, 0.5f, 0.1f + 0.4f, 0.1f},
        {"stereo into mono", 1, 2, 0.0f, 1.0f, 0.1f + 0.6f, 0.1f},
        {"mono centre", 2, 1, 0.0f, 1.0f, 0.1f + 0.8f * 0.70710677f, 0.1f + 0.8f * 0.70710677f},
        {"mono quarter left", 2, 1, -50.0f, 1.0f, 0.1f + 0.8f * 0.9238795f,
         0.1f + 0.8f * 0.38268343f},
        {"stereo right", 2, 2, 100.0f, 2.0f, 0.1f, 0.1f + 0.8f},
        {"stereo left", 2, 2, -25.0f, 1.0f, 0.1f + 0.8f, 0.1f + 0.3f},
    };
    const float sample[2] = {0.8f, 0.4f};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> bus(2 * kBlockStride, 0.1f);
        mixIntoBus(bus.data(), c.destinationWidth, sample, c.sourceWidth, c.pan, c.gain, 7);
        EXPECT_NEAR(bus[7], c.left, 1e-6);
        EXPECT_NEAR(bus[kBlockStride + 7], c.right, 1e-6);
        EXPECT_EQ(bus[6], 0.1f);
        EXPECT_EQ(bus[kBlockStride + 8], 0.1f);
    }
}

} // namespace
} // namespace kestravon::ruvi
