#pragma once

#include <cstddef>
#include <cstdint>

namespace kestravon::ruvi {

inline constexpr std::uint64_t kFnv1a64OffsetBasis = 14695981039346656037ULL;
inline constexpr std::uint64_t kFnv1a64Prime = 1099511628211ULL;

// Continues an FNV-1a 64 state over `count` bytes; a track's hash runs over its data bytes only.
inline std::uint64_t fnv1a64(std::uint64_t state, const void* bytes, std::size_t count) noexcept {
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < count; ++i) {
        state ^= p[i];
        state *= kFnv1a64Prime;
    }
    return state;
}

// Continues four states over four runs of `count` bytes each. The four multiply chains are
// independent, so the CPU overlaps them: about four tracks for the price of one.
inline void fnv1a64x4(std::uint64_t* states, const void* const* runs, std::size_t count) noexcept {
    const auto* p0 = static_cast<const unsigned char*>(runs[0]);
    const auto* p1 = static_cast<const unsigned char*>(runs[1]);
    const auto* p2 = static_cast<const unsigned char*>(runs[2]);
    const auto* p3 = static_cast<const unsigned char*>(runs[3]);
    std::uint64_t a = states[0], b = states[1], c = states[2], d = states[3];
    for (std::size_t i = 0; i < count; ++i) {
        a = (a ^ p0[i]) * kFnv1a64Prime;
        b = (b ^ p1[i]) * kFnv1a64Prime;
        c = (c ^ p2[i]) * kFnv1a64Prime;
        d = (d ^ p3[i]) * kFnv1a64Prime;
    }
    states[0] = a;
    states[1] = b;
    states[2] = c;
    states[3] = d;
}

} // namespace kestravon::ruvi
