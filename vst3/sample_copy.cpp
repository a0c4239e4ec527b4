#include "vst3/sample_copy.h"

#include <algorithm>
#include <bit>

// Built with vectorisation on (see CMakeLists.txt): these loops are most of the host's own cost
// per block. A sample is non-finite when its exponent bits are all set.

namespace kestravon::ruvi {
namespace {

constexpr std::uint32_t kExponent = 0x7f800000u;

inline std::uint32_t finiteMask(std::uint32_t bits) noexcept {
    return (bits & kExponent) == kExponent ? 0u : ~0u;
}

} // namespace

bool copyClean(const float* __restrict source, float* __restrict target,
               std::int32_t frames) noexcept {
    if (source == nullptr) {
        std::fill_n(target, frames, 0.0f);
        return true;
    }
    std::uint32_t any = 0;
    for (std::int32_t k = 0; k < frames; ++k) {
        const auto bits = std::bit_cast<std::uint32_t>(source[k]);
        const std::uint32_t kept = bits & finiteMask(bits);
        any |= kept << 1; // -0 is silent too
        target[k] = std::bit_cast<float>(kept);
    }
    return any == 0;
}

bool copyOut(const float* __restrict source, float* __restrict target,
             std::int32_t frames) noexcept {
    std::uint32_t bad = 0;
    for (std::int32_t k = 0; k < frames; ++k) {
        const auto bits = std::bit_cast<std::uint32_t>(source[k]);
        const std::uint32_t mask = finiteMask(bits);
        bad |= ~mask;
        target[k] = std::bit_cast<float>(bits & mask);
    }
    return bad == 0;
}

bool averageOut(const float* __restrict left, const float* __restrict right,
                float* __restrict target, std::int32_t frames) noexcept {
    std::uint32_t bad = 0;
    for (std::int32_t k = 0; k < frames; ++k) {
        const auto mixed = static_cast<float>(
            (static_cast<double>(right[k]) + static_cast<double>(left[k])) * 0.5);
        const auto bits = std::bit_cast<std::uint32_t>(mixed);
        const std::uint32_t mask = finiteMask(bits);
        bad |= ~mask;
        target[k] = std::bit_cast<float>(bits & mask);
    }
    return bad == 0;
}

} // namespace kestravon::ruvi
