#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace kestravon::ruvi {

// Interleaved frames between exactly one producer thread and one consumer thread. The counters
// only grow; positions are masked by capacity - 1.
// Thread contract: reset() only while neither side runs (it allocates). The producer calls
// write() (or writes in place and publish()es); the consumer reads frames between readIndex and
// the acquired writeIndex and releases them with consume(). Neither side locks or allocates.
class alignas(64) FrameRing {
public:
    // Throws std::bad_alloc when the storage cannot be allocated.
    void reset(int channels, std::uint64_t requestFrames);

    [[nodiscard]] bool write(const float* frames, std::int32_t count) noexcept;

    int channels() const noexcept { return channels_; }
    std::uint64_t capacity() const noexcept { return capacity_; }
    std::uint64_t writeIndex() const noexcept { return write_.load(std::memory_order_acquire); }
    std::uint64_t readIndex() const noexcept { return read_.load(std::memory_order_acquire); }
    std::uint64_t fill() const noexcept { return writeIndex() - readIndex(); }

    // The frame at an absolute counter position.
    const float* frame(std::uint64_t index) const noexcept {
        return storage_.data() + (index & mask_) * static_cast<std::uint64_t>(channels_);
    }
    float* writableFrame(std::uint64_t index) noexcept {
        return storage_.data() + (index & mask_) * static_cast<std::uint64_t>(channels_);
    }
    // Producer: make frames up to newWriteIndex visible.
    void publish(std::uint64_t newWriteIndex) noexcept {
        write_.store(newWriteIndex, std::memory_order_release);
    }
    // Consumer: hand frames before newReadIndex back to the producer.
    void consume(std::uint64_t newReadIndex) noexcept {
        read_.store(newReadIndex, std::memory_order_release);
    }

private:
    std::vector<float> storage_;
    int channels_ = 0;
    std::uint64_t capacity_ = 1;
    std::uint64_t mask_ = 0;
    alignas(64) std::atomic<std::uint64_t> write_{0};
    // The class is 64-byte aligned, so read_ ends it alone on its own line.
    alignas(64) std::atomic<std::uint64_t> read_{0};
};

} // namespace kestravon::ruvi
