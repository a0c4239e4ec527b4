#pragma once

#include <cstdint>

namespace kestravon::ruvi {

// The high-resolution counter is CLOCK_MONOTONIC (a vDSO read, no system call).
std::int64_t monotonicNanoseconds() noexcept;

// The counter in 100-ns units.
double qpcTime100ns() noexcept;

} // namespace kestravon::ruvi
