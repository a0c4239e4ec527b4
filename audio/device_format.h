#pragma once

#include <cstdint>

#include "audio/wave_format.h"

namespace kestravon::ruvi {

// A sample format the backend accepts, as checkDeviceFormat produces it.
struct DeviceFormat {
    WaveFormat wave{};
    bool isFloat = false;
    std::int32_t bytesPerSample = 0;
    std::int32_t validBits = 0;
    std::int32_t channels = 0;
    std::int32_t sampleRate = 0;
};

// Accepts 16-, 24- and 32-bit integer containers (an extensible 32-bit container may carry fewer
// valid bits) and 32- or 64-bit floats with 1 to 64 channels at 8000 to 192000 Hz.
[[nodiscard]] bool checkDeviceFormat(DeviceFormat& out, const WaveFormat* wave);

// One sample in the device's byte layout (little-endian). Decoding never yields a non-finite
// value; encoding turns a non-finite input into 0 and saturates integers at full scale.
float decodeDeviceSample(const DeviceFormat& format, const std::uint8_t* bytes) noexcept;
void encodeDeviceSample(const DeviceFormat& format, float value, std::uint8_t* bytes) noexcept;

} // namespace kestravon::ruvi
