#pragma once

#include <cstdint>

namespace kestravon::ruvi {

// Sample loops of the plug-in processing path: real-time safe, no allocation, no locks.
// A NaN or infinite sample is written as 0.

// Copies one host channel into plug-in scratch (a null source gives silence); true when every
// copied sample is zero.
bool copyClean(const float* source, float* target, std::int32_t frames) noexcept;
// Writes plug-in output to the host; false when a sample was not finite.
bool copyOut(const float* source, float* target, std::int32_t frames) noexcept;
// Writes the average of two plug-in outputs (summed in double) for a mono host; false when a
// result was not finite.
bool averageOut(const float* left, const float* right, float* target, std::int32_t frames) noexcept;

} // namespace kestravon::ruvi
