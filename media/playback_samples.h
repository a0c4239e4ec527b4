#pragma once
// Sample storage of one playback lane. Growing it leaves new samples uninitialised: every lane is
// written whole by the decoder or the converter straight after it is sized, so zero-filling
// hundreds of megabytes first would only cost time. Large lanes are mapped on their own and
// asked to sit on huge pages, because touching fresh memory 4 KiB at a time costs more than
// decoding into it.

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace kestravon::ruvi {

// Raw storage for sample arrays; large requests get their own huge-page-backed mapping.
void* allocatePlaybackStorage(std::size_t bytes);
void freePlaybackStorage(void* p, std::size_t bytes) noexcept;

template <typename T> struct PlaybackAllocator {
    using value_type = T;
    PlaybackAllocator() = default;
    template <typename U> PlaybackAllocator(const PlaybackAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(allocatePlaybackStorage(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { freePlaybackStorage(p, n * sizeof(T)); }

    template <typename U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
    template <typename U, typename... Args> void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <typename U> bool operator==(const PlaybackAllocator<U>&) const noexcept {
        return true;
    }
};

using PlaybackSamples = std::vector<float, PlaybackAllocator<float>>;

struct PlaybackLane {
    std::uint32_t lane = 0;  // destination playback lane
    PlaybackSamples samples; // at the session rate
};

} // namespace kestravon::ruvi
