#include "audio/frame_ring.h"

#include <algorithm>

namespace kestravon::ruvi {

void FrameRing::reset(int channels, std::uint64_t requestFrames) {
    std::uint64_t capacity = 1;
    while (capacity < requestFrames) {
        capacity <<= 1;
    }
    storage_.assign(capacity * static_cast<std::uint64_t>(std::max(channels, 0)), 0.0f);
    channels_ = channels;
    capacity_ = capacity;
    mask_ = capacity - 1;
    read_.store(0, std::memory_order_relaxed);
    // A fresh ring starts with 32 silent frames.
    write_.store(32, std::memory_order_release);
}

bool FrameRing::write(const float* frames, std::int32_t count) noexcept {
    const std::uint64_t w = write_.load(std::memory_order_relaxed);
    const std::uint64_t r = read_.load(std::memory_order_acquire);
    const auto n = static_cast<std::uint64_t>(count);
    if (capacity_ < w + n - r) {
        return false;
    }
    const auto ch = static_cast<std::uint64_t>(channels_);
    for (std::uint64_t i = 0; i < n; ++i) {
        std::copy_n(frames + i * ch, ch, writableFrame(w + i));
    }
    write_.store(w + n, std::memory_order_release);
    return true;
}

} // namespace kestravon::ruvi
