#pragma once

#include <cstdint>

namespace kestravon::ruvi {

// Old and new recorder queues together may hold at most 512 MiB.
inline constexpr std::uint64_t kRecorderQueueBudgetBytes = 536870912;

// True when a queue of `slots` x `blockFrames` x `laneCount` floats fits beside
// `retainedBytes` of an older queue.
[[nodiscard]] constexpr bool recorderQueueFitsBudget(std::uint64_t slots, std::uint64_t blockFrames,
                                                     std::uint64_t laneCount,
                                                     std::uint64_t retainedBytes) noexcept {
    const std::uint64_t floats = slots * blockFrames * laneCount;
    return floats <= kRecorderQueueBudgetBytes / 4 && retainedBytes <= kRecorderQueueBudgetBytes &&
           floats * 4 <= kRecorderQueueBudgetBytes - retainedBytes;
}

} // namespace kestravon::ruvi
