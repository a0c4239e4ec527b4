#include "engine/mixing.h"

#include <cmath>
#include <numbers>

namespace kestravon::ruvi {

float dbToGain(double dB) noexcept {
    if (!(dB > -120.0)) {
        return 0.0f;
    }
    return static_cast<float>(std::pow(10.0, dB / 20.0));
}

float smoothingCoefficient(double sampleRate) noexcept {
    return static_cast<float>(1.0 - std::exp(-1.0 / (sampleRate * 0.005)));
}

MixCoefficients mixCoefficients(std::int32_t destinationWidth, std::int32_t sourceWidth,
                                float pan) noexcept {
    MixCoefficients c;
    if (destinationWidth != 2) {
        if (sourceWidth == 2) {
            c.leftFrom0 = 0.5f;
            c.leftFrom1 = 0.5f;
        } else {
            c.leftFrom0 = 1.0f;
        }
        return c;
    }
    if (sourceWidth != 2) {
        const double angle = (static_cast<double>(pan) + 100.0) * std::numbers::pi / 400.0;
        c.leftFrom0 = static_cast<float>(std::cos(angle));
        c.rightFrom0 = static_cast<float>(std::sin(angle));
        return c;
    }
    c.leftFrom0 = pan > 0.0f ? 1.0f - pan / 100.0f : 1.0f;
    c.rightFrom1 = pan < 0.0f ? 1.0f + pan / 100.0f : 1.0f;
    return c;
}

void mixIntoBus(float* destination, std::int32_t destinationWidth, const float sample[2],
                std::int32_t sourceWidth, float pan, float gain, std::int32_t frame) noexcept {
    const MixCoefficients c = mixCoefficients(destinationWidth, sourceWidth, pan);
    const float s0 = gain * sample[0];
    const float s1 = sourceWidth == 2 ? gain * sample[1] : 0.0f;
    destination[frame] += c.leftFrom0 * s0 + c.leftFrom1 * s1;
    if (destinationWidth == 2) {
        destination[kBlockStride + frame] += c.rightFrom0 * s0 + c.rightFrom1 * s1;
    }
}

} // namespace kestravon::ruvi
