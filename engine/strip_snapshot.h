#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/strip_processing.h"

namespace kestravon::ruvi {

// A StripProcessing record flattened into 38 doubles behind a sequence counter (a seqlock).
//
// Thread contract: exactly one writer thread calls publish; exactly one reader thread calls
// tryPull. Neither blocks, allocates or makes a system call. The counter is odd while a record is
// being written; a reader that sees it odd, or sees it change across its copy, keeps what it has
// and tries again later.
class StripSnapshot {
public:
    static constexpr std::size_t kSlots = 38;
    using Packed = std::array<double, kSlots>;

    // Booleans as 0.0/1.0 and band types as 0.0, 1.0 or 2.0, in record order.
    static Packed pack(const StripProcessing& record) noexcept;
    // Starts from the defaults; a non-zero double is true, band types are truncated.
    static StripProcessing unpack(const Packed& packed) noexcept;

    void publish(const StripProcessing& record) noexcept;

    // Copies the latest complete record into `out` when it is newer than `lastApplied`, and
    // stores its sequence value there. False (both untouched) until the first publish.
    [[nodiscard]] bool tryPull(int64_t& lastApplied, StripProcessing& out) noexcept;

private:
    std::array<std::atomic<double>, kSlots> slots_{};
    std::atomic<uint64_t> sequence_{0};
};

} // namespace kestravon::ruvi
