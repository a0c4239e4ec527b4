#include "audio/audio_event.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "audio/performance_counter.h"

namespace kestravon::ruvi {

namespace {

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value,
           const timespec* timeout) noexcept {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
}

} // namespace

void AudioEvent::set() noexcept {
    if (word_.exchange(1, std::memory_order_acq_rel) == 0) {
        futex(&word_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
    }
}

void AudioEvent::reset() noexcept {
    word_.store(0, std::memory_order_release);
}

bool AudioEvent::tryConsume() noexcept {
    if (manualReset_) {
        return isSet();
    }
    std::uint32_t expected = 1;
    return word_.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
}

WaitResult AudioEvent::waitUntil(std::int64_t deadlineNs) noexcept {
    for (;;) {
        if (tryConsume()) {
            return WaitResult::signalled;
        }
        if (monotonicNanoseconds() >= deadlineNs) {
            return WaitResult::timeout;
        }
        const timespec deadline{static_cast<time_t>(deadlineNs / 1'000'000'000),
                                static_cast<long>(deadlineNs % 1'000'000'000)};
        const long rc = futex(&word_, FUTEX_WAIT_BITSET_PRIVATE, 0, &deadline);
        if (rc != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) {
            return WaitResult::failed;
        }
    }
}

WaitResult AudioEvent::waitFor(std::uint32_t milliseconds) noexcept {
    return waitUntil(monotonicNanoseconds() + static_cast<std::int64_t>(milliseconds) * 1'000'000);
}

} // namespace kestravon::ruvi
