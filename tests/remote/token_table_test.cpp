#include "remote/token_table.h"

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

std::string tokenNumber(int i) {
    std::string text = std::to_string(i);
    return std::string(64 - text.size(), 'a') + text;
}

TEST(TokenTable, ValidUntilExpiry) {
    TokenTable table;
    const auto t0 = SteadyClock::now();
    ASSERT_EQ(table.issue(tokenNumber(1), "0123456789abcdef", t0), TokenTable::Issue::stored);
    const auto found = table.find(tokenNumber(1), t0 + std::chrono::hours(11));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->clientId, "0123456789abcdef");
    EXPECT_EQ(found->expiry, t0 + std::chrono::hours(12));
    EXPECT_FALSE(table.find(tokenNumber(1), t0 + std::chrono::hours(12)));
    EXPECT_FALSE(table.find(tokenNumber(2), t0));
    EXPECT_EQ(table.liveCount(t0), 1u);
    EXPECT_EQ(table.liveCount(t0 + std::chrono::hours(12)), 0u);
}

TEST(TokenTable, FullTableEvictsOldestTokenWithoutSession) {
    TokenTable table;
    const auto t0 = SteadyClock::now();
    for (int i = 0; i < 32; ++i) {
        ASSERT_EQ(table.issue(tokenNumber(i), "c", t0 + std::chrono::seconds(i)),
                  TokenTable::Issue::stored);
    }
    // Tokens 0 and 1 are held by sessions; 2 is then the oldest free one.
    ASSERT_TRUE(table.acquire(tokenNumber(0), t0 + std::chrono::minutes(1)));
    ASSERT_TRUE(table.acquire(tokenNumber(1), t0 + std::chrono::minutes(1)));
    const auto later = t0 + std::chrono::minutes(2);
    EXPECT_EQ(table.issue(tokenNumber(32), "c", later), TokenTable::Issue::stored);
    EXPECT_TRUE(table.find(tokenNumber(0), later));
    EXPECT_TRUE(table.find(tokenNumber(1), later));
    EXPECT_FALSE(table.find(tokenNumber(2), later));
    EXPECT_TRUE(table.find(tokenNumber(32), later));
    EXPECT_EQ(table.liveCount(later), 32u);
}

TEST(TokenTable, RefusesOnlyWhenEveryTokenIsInASession) {
    TokenTable table;
    const auto t0 = SteadyClock::now();
    for (int i = 0; i < 32; ++i) {
        ASSERT_EQ(table.issue(tokenNumber(i), "c", t0), TokenTable::Issue::stored);
        ASSERT_TRUE(table.acquire(tokenNumber(i), t0));
    }
    EXPECT_EQ(table.issue(tokenNumber(99), "c", t0), TokenTable::Issue::full);
    // A session ends: its token may now make room.
    table.release(tokenNumber(7));
    EXPECT_EQ(table.issue(tokenNumber(99), "c", t0), TokenTable::Issue::stored);
    EXPECT_FALSE(table.find(tokenNumber(7), t0));
    // Expired tokens are pruned first, held or not.
    EXPECT_EQ(table.issue(tokenNumber(100), "c", t0 + std::chrono::hours(13)),
              TokenTable::Issue::stored);
    EXPECT_EQ(table.liveCount(t0 + std::chrono::hours(13)), 1u);
}

} // namespace
} // namespace kestravon::ruvi
