#pragma once

#include <algorithm>
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

// A planned ring holds this much audio, so the writer may stall this long (a commit's file-system
// flush on a busy disk) before a block is dropped.
inline constexpr std::uint32_t kRecorderQueueSeconds = 10;
inline constexpr std::uint32_t kRecorderMinQueueSlots = 128;
inline constexpr std::uint32_t kRecorderMaxQueueSlots = 65536;

// Slots of `blockFrames` frames for kRecorderQueueSeconds at `sampleRate` (128 to 65536), trimmed
// to what fits beside `retainedBytes` of an older queue. Never below 2: a ring that cannot fit
// even that is left to the budget check to refuse with its own message.
[[nodiscard]] constexpr std::uint32_t timeSizedQueueSlots(std::uint32_t sampleRate,
                                                          std::uint32_t blockFrames,
                                                          std::uint64_t laneCount,
                                                          std::uint64_t retainedBytes) noexcept {
    const std::uint64_t block = std::max<std::uint64_t>(blockFrames, 1);
    const std::uint64_t wanted =
        (std::uint64_t{sampleRate} * kRecorderQueueSeconds + block - 1) / block;
    std::uint64_t slots =
        std::clamp<std::uint64_t>(wanted, kRecorderMinQueueSlots, kRecorderMaxQueueSlots);
    const std::uint64_t slotBytes = block * std::max<std::uint64_t>(laneCount, 1) * 4;
    const std::uint64_t room =
        retainedBytes < kRecorderQueueBudgetBytes ? kRecorderQueueBudgetBytes - retainedBytes : 0;
    slots = std::min(slots, room / slotBytes);
    return static_cast<std::uint32_t>(std::max<std::uint64_t>(slots, 2));
}

// How long the writer of a ring may stall before it overruns, at full-size blocks.
[[nodiscard]] constexpr double queueStallToleranceSeconds(std::uint32_t sampleRate,
                                                          std::uint32_t blockFrames,
                                                          std::uint32_t queueSlots) noexcept {
    return sampleRate == 0 ? 0.0 : static_cast<double>(queueSlots) * blockFrames / sampleRate;
}

} // namespace kestravon::ruvi
