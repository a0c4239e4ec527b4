#include "engine/strip_snapshot.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace kestravon::ruvi {
namespace {

TEST(StripSnapshotLayout, PacksInRecordOrderAndUnpacksBack) {
    StripProcessing r;
    r.hpf = {true, 81};
    r.eq.enabled = true;
    double v = 100;
    for (EqBand& band : r.eq.bands) {
        band = {false, kEqHighShelf, v, v + 1, v + 2};
        v += 10;
    }
    r.gate = {true, -1, 2, 3, 4, 5, 6, 7};
    r.compressor = {true, -11, 12, 13, 14, 15, 16};

    const StripSnapshot::Packed expected{
        1, 81, 1,                                                       // hpf, eq enabled
        0, 2,  100, 101, 102, 0, 2, 110, 111, 112,                      // bands 1 and 2
        0, 2,  120, 121, 122, 0, 2, 130, 131, 132,                      // bands 3 and 4
        1, -1, 2,   3,   4,   5, 6, 7,   1,   -11, 12, 13, 14, 15, 16}; // gate, compressor
    EXPECT_EQ(StripSnapshot::pack(r), expected);
    EXPECT_EQ(StripSnapshot::unpack(expected), r);
    EXPECT_EQ(StripSnapshot::unpack(StripSnapshot::pack(StripProcessing{})), StripProcessing{});

    // Any non-zero double is true, and a type is truncated.
    StripSnapshot::Packed loose = StripSnapshot::pack(StripProcessing{});
    loose[0] = 0.25;
    loose[4] = 1.9;
    const StripProcessing u = StripSnapshot::unpack(loose);
    EXPECT_TRUE(u.hpf.enabled);
    EXPECT_EQ(u.eq.bands[0].type, kEqLowShelf);
}

TEST(StripSnapshotLayout, PullTakesEachRecordOnce) {
    StripSnapshot snapshot;
    int64_t last = -1;
    StripProcessing out;
    EXPECT_FALSE(snapshot.tryPull(last, out)) << "nothing published yet";
    EXPECT_EQ(last, -1);
    StripProcessing r;
    r.hpf.frequencyHz = 300;
    snapshot.publish(r);
    EXPECT_TRUE(snapshot.tryPull(last, out));
    EXPECT_EQ(out, r);
    const int64_t taken = last;
    EXPECT_FALSE(snapshot.tryPull(last, out));
    EXPECT_EQ(last, taken);
}

// A record whose every field is derived from `i`, so a mix of two records is recognisable.
StripProcessing numbered(int i) {
    StripProcessing r;
    double v = i * 64.0;
    auto next = [&v] { return v += 1.0; };
    const bool odd = i % 2 != 0;
    r.hpf = {odd, v};
    r.eq.enabled = !odd;
    for (EqBand& band : r.eq.bands) {
        band = {odd, i % 3, next(), next(), next()};
    }
    r.gate = {odd, next(), next(), next(), next(), next(), next(), next()};
    r.compressor = {!odd, next(), next(), next(), next(), next(), next()};
    return r;
}

TEST(StripSnapshotThreading, ReaderNeverSeesATornRecord) {
    StripSnapshot snapshot;
    constexpr int kRecords = 100000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < kRecords; ++i) {
            snapshot.publish(numbered(i));
        }
        done.store(true, std::memory_order_release);
    });

    int64_t last = -1;
    StripProcessing out;
    long pulls = 0;
    long torn = 0;
    int previous = -1;
    long backwards = 0;
    while (!done.load(std::memory_order_acquire)) {
        if (!snapshot.tryPull(last, out)) {
            continue;
        }
        ++pulls;
        const int i = static_cast<int>(out.hpf.frequencyHz / 64.0);
        torn += out == numbered(i) ? 0 : 1;
        backwards += i > previous ? 0 : 1;
        previous = i;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << pulls << " pulls";
    EXPECT_EQ(backwards, 0);
    // The last record is taken now unless the loop already took it.
    (void)snapshot.tryPull(last, out);
    EXPECT_EQ(out, numbered(kRecords - 1));
}

} // namespace
} // namespace kestravon::ruvi
