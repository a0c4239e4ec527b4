#pragma once
// Sample storage of one playback lane. Growing it leaves new samples uninitialised: every lane is
// written whole by the decoder or the converter straight after it is sized, so zero-filling
// hundreds of megabytes first would only cost time.

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace kestravon::ruvi {

template <typename T> struct UninitialisedAllocator : std::allocator<T> {
    template <typename U> struct rebind { using other = UninitialisedAllocator<U>; };
    UninitialisedAllocator() = default;
    template <typename U> UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

    template <typename U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
    template <typename U, typename... Args> void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using PlaybackSamples = std::vector<float, UninitialisedAllocator<float>>;

struct PlaybackLane {
    std::uint32_t lane = 0;  // destination playback lane
    PlaybackSamples samples; // at the session rate
};

} // namespace kestravon::ruvi
