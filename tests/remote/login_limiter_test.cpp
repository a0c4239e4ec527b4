#include "remote/login_limiter.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

TEST(LoginLimiter, FiveAttemptsPerAddressPerMinute) {
    LoginLimiter limiter;
    const auto t0 = SteadyClock::now();
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(limiter.tryAttempt("10.0.0.5", t0 + std::chrono::seconds(i)));
    }
    EXPECT_FALSE(limiter.tryAttempt("10.0.0.5", t0 + std::chrono::seconds(10)));
    EXPECT_FALSE(limiter.tryAttempt("10.0.0.5", t0 + std::chrono::seconds(59)));
    EXPECT_TRUE(limiter.tryAttempt("10.0.0.6", t0 + std::chrono::seconds(59)));
    // 60 s after the first attempt a new window opens.
    EXPECT_TRUE(limiter.tryAttempt("10.0.0.5", t0 + std::chrono::seconds(60)));
}

TEST(LoginLimiter, TracksAtMost256Addresses) {
    LoginLimiter limiter;
    const auto t0 = SteadyClock::now();
    for (int i = 0; i < 256; ++i) {
        ASSERT_TRUE(limiter.tryAttempt(
            "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250), t0));
    }
    EXPECT_FALSE(limiter.tryAttempt("10.9.9.9", t0 + std::chrono::seconds(1)));
    EXPECT_TRUE(limiter.tryAttempt("10.0.0.1", t0 + std::chrono::seconds(1)));
    EXPECT_TRUE(limiter.tryAttempt("10.9.9.9", t0 + std::chrono::seconds(60)));
}

} // namespace
} // namespace kestravon::ruvi
