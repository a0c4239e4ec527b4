#include "audio/frame_ring.h"

#include <vector>

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

TEST(FrameRing, FreshRingHoldsThirtyTwoSilentFrames) {
    FrameRing ring;
    ring.reset(3, 5000);
    EXPECT_EQ(ring.capacity(), 8192u);
    EXPECT_EQ(ring.fill(), 32u);
    for (std::uint64_t f = 0; f < 32; ++f) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(ring.frame(f)[c], 0.0f);
        }
    }
    FrameRing tiny;
    tiny.reset(1, 1);
    EXPECT_EQ(tiny.capacity(), 1u);
}

TEST(FrameRing, WriteOfExactlyTheFreeSpaceFitsOneMoreIsRefused) {
    FrameRing ring;
    ring.reset(2, 64);
    std::vector<float> frames(2 * 33);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        frames[i] = static_cast<float>(i + 1);
    }
    EXPECT_FALSE(ring.write(frames.data(), 33));
    EXPECT_EQ(ring.writeIndex(), 32u) << "a refused write leaves nothing behind";
    ASSERT_TRUE(ring.write(frames.data(), 32));
    EXPECT_EQ(ring.fill(), 64u);
    EXPECT_EQ(ring.frame(32)[0], 1.0f);
    EXPECT_EQ(ring.frame(63)[1], 64.0f);
    ring.consume(40);
    ASSERT_TRUE(ring.write(frames.data(), 8)); // wraps around the end
    EXPECT_EQ(ring.frame(64)[0], 1.0f);
    EXPECT_EQ(ring.frame(0)[0], 1.0f) << "frame 64 shares the slot of frame 0";
    EXPECT_FALSE(ring.write(frames.data(), 33));
    EXPECT_TRUE(ring.write(frames.data(), 32));
}

TEST(FrameRing, RequestForCaptureBufferRoundsUpToPowerOfTwo) {
    FrameRing ring;
    ring.reset(1, 4 * 480 + 16448); // 18368 requested for a 480-frame device buffer
    EXPECT_EQ(ring.capacity(), 32768u);
}

} // namespace
} // namespace kestravon::ruvi
