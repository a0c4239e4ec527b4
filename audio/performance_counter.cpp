#include "audio/performance_counter.h"

#include <ctime>

namespace kestravon::ruvi {

std::int64_t monotonicNanoseconds() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double qpcTime100ns() noexcept {
    return static_cast<double>(monotonicNanoseconds()) / 100.0;
}

} // namespace kestravon::ruvi
