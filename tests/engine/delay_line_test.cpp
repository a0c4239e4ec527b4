#include "engine/delay_line.h"

#include <vector>

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

TEST(DelayLine, DelaysEachChannelByWholeFrames) {
    DelayLine line;
    line.configure(3, 2);
    std::vector<float> left;
    std::vector<float> right;
    for (int f = 1; f <= 8; ++f) {
        float frame[2] = {static_cast<float>(f), static_cast<float>(-f)};
        line.step(frame);
        left.push_back(frame[0]);
        right.push_back(frame[1]);
    }
    EXPECT_EQ(left, (std::vector<float>{0, 0, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(right, (std::vector<float>{0, 0, 0, -1, -2, -3, -4, -5}));

    DelayLine none;
    none.configure(0, 2);
    float frame[2] = {0.5f, 0.25f};
    none.step(frame);
    EXPECT_EQ(frame[0], 0.5f);
    EXPECT_EQ(frame[1], 0.25f);
}

} // namespace
} // namespace kestravon::ruvi
