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

} // namespace kestravon::ruvi
