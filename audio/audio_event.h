#pragma once

#include <atomic>
#include <cstdint>

namespace kestravon::ruvi {

enum class WaitResult { signalled, timeout, failed };

// A kernel-style event on a futex word: manual-reset events stay set until reset, auto-reset
// events release one waiter and clear themselves.
// Thread contract: set/reset from any thread; waits from any thread. No allocation, no lock;
// a wait blocks in the kernel only when the event is clear.
class AudioEvent {
public:
    explicit AudioEvent(bool manualReset) noexcept : manualReset_(manualReset) {}
    AudioEvent(const AudioEvent&) = delete;
    AudioEvent& operator=(const AudioEvent&) = delete;

    void set() noexcept;
    void reset() noexcept;
    bool isSet() const noexcept { return word_.load(std::memory_order_acquire) != 0; }
    // Consumes the signal of an auto-reset event; true when it was set.
    bool tryConsume() noexcept;
    // Waits until the event is set or until the CLOCK_MONOTONIC deadline in nanoseconds passes.
    WaitResult waitUntil(std::int64_t deadlineNs) noexcept;
    WaitResult waitFor(std::uint32_t milliseconds) noexcept;

private:
    std::atomic<std::uint32_t> word_{0};
    bool manualReset_;
};

} // namespace kestravon::ruvi
