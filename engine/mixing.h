#pragma once

#include <cstdint>

namespace kestravon::ruvi {

// Planar audio buffers hold one array per channel at this stride; no block is longer.
inline constexpr std::int32_t kBlockStride = 4096;

// 10^(dB/20) as a 32-bit float; at or below -120 dB the signal is off.
float dbToGain(double dB) noexcept;

// One-pole lag with a 5 ms time constant: 1 - e^(-1 / (sampleRate * 0.005)).
float smoothingCoefficient(double sampleRate) noexcept;

// Moves a fader or send gain one frame toward target, snapping once it is close.
inline void smoothGain(double& value, double target, float k) noexcept {
    value += (target - value) * k;
    const double distance = target > value ? target - value : value - target;
    const double scale = target < 0.0 ? -target : target;
    if (distance < scale * 0.00001 + 0.00000001) {
        value = target;
    }
}

// Moves an insert's bypass amount one frame toward target (0 wet, 1 dry).
inline void smoothBypass(double& value, double target, float k) noexcept {
    value += (target - value) * k;
    const double distance = target > value ? target - value : value - target;
    if (distance < 1e-5f) {
        value = target;
    }
}

// How one source frame lands on a destination bus, resolved once per block from the widths and
// the pan: L += gain * (leftFrom0 * s0 + leftFrom1 * s1), R likewise.
struct MixCoefficients {
    float leftFrom0 = 0.0f;
    float leftFrom1 = 0.0f;
    float rightFrom0 = 0.0f;
    float rightFrom1 = 0.0f;
};

// Mono destinations average a stereo source and ignore pan; a mono source pans into stereo at
// constant power; a stereo source into stereo is balanced.
MixCoefficients mixCoefficients(std::int32_t destinationWidth, std::int32_t sourceWidth,
                                float pan) noexcept;

// Adds one frame (sample[0], sample[1]; the second is ignored for a mono source) into the
// planar destination buffer at frame.
void mixIntoBus(float* destination, std::int32_t destinationWidth, const float sample[2],
                std::int32_t sourceWidth, float pan, float gain, std::int32_t frame) noexcept;

} // namespace kestravon::ruvi
