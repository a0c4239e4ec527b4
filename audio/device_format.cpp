#include "audio/device_format.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace kestravon::ruvi {

bool checkDeviceFormat(DeviceFormat& out, const WaveFormat* wave) {
    if (wave == nullptr) {
        return false;
    }
    const WaveFormat& w = *wave;
    if (w.nChannels < 1 || w.nChannels > 64) {
        return false;
    }
    if (w.nSamplesPerSec < 8000 || w.nSamplesPerSec > 192000) {
        return false;
    }
    bool isFloat = false;
    int validBits = w.wBitsPerSample;
    if (w.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (w.cbSize < kWaveFormatExtensionBytes) {
            return false;
        }
        validBits = w.wValidBitsPerSample;
        if (w.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) {
            isFloat = true;
        } else if (!(w.SubFormat == KSDATAFORMAT_SUBTYPE_PCM)) {
            return false;
        }
    } else if (w.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        isFloat = true;
    } else if (w.wFormatTag != WAVE_FORMAT_PCM) {
        return false;
    }
    const int bytesPerSample = w.wBitsPerSample / 8;
    if (isFloat) {
        if ((bytesPerSample != 4 && bytesPerSample != 8) || validBits != w.wBitsPerSample) {
            return false;
        }
    } else if ((bytesPerSample < 2 || bytesPerSample > 4) || validBits == 0 ||
               validBits > w.wBitsPerSample) {
        return false;
    }
    if (w.wBitsPerSample != 8 * bytesPerSample ||
        w.nBlockAlign != static_cast<std::uint32_t>(bytesPerSample) * w.nChannels ||
        w.nAvgBytesPerSec != static_cast<std::uint32_t>(w.nBlockAlign) * w.nSamplesPerSec) {
        return false;
    }
    out = DeviceFormat{};
    out.wave = w;
    if (w.cbSize < kWaveFormatExtensionBytes) {
        // Only the header and cbSize bytes of extension are part of the record.
        out.wave.wValidBitsPerSample = 0;
        out.wave.dwChannelMask = 0;
        out.wave.SubFormat = FormatGuid{};
    }
    out.isFloat = isFloat;
    out.bytesPerSample = bytesPerSample;
    out.validBits = validBits;
    out.channels = w.nChannels;
    out.sampleRate = static_cast<std::int32_t>(w.nSamplesPerSec);
    return true;
}

namespace {

std::int64_t readSigned(const std::uint8_t* b, int bytes) noexcept {
    std::uint32_t u = 0;
    for (int i = 0; i < bytes; ++i) {
        u |= static_cast<std::uint32_t>(b[i]) << (8 * i);
    }
    const int shift = 32 - 8 * bytes;
    return static_cast<std::int32_t>(u << shift) >> shift;
}

float finiteFloat(double v) noexcept {
    if (!std::isfinite(v) || std::fabs(v) > FLT_MAX) {
        return 0.0f;
    }
    return static_cast<float>(v);
}

} // namespace

float decodeDeviceSample(const DeviceFormat& format, const std::uint8_t* bytes) noexcept {
    if (format.isFloat) {
        if (format.bytesPerSample == 4) {
            float f;
            std::memcpy(&f, bytes, 4);
            return finiteFloat(f);
        }
        if (format.bytesPerSample == 8) {
            double d;
            std::memcpy(&d, bytes, 8);
            return finiteFloat(d);
        }
        return 0.0f;
    }
    switch (format.bytesPerSample) {
    case 2:
        return static_cast<float>(static_cast<double>(readSigned(bytes, 2)) * 0x1p-15);
    case 3:
        return static_cast<float>(static_cast<double>(readSigned(bytes, 3)) * 0x1p-23);
    case 4:
        return static_cast<float>(static_cast<double>(readSigned(bytes, 4)) * 0x1p-31);
    default:
        return 0.0f;
    }
}

void encodeDeviceSample(const DeviceFormat& format, float value, std::uint8_t* bytes) noexcept {
    const double v = std::isfinite(value) ? static_cast<double>(value) : 0.0;
    if (format.isFloat) {
        if (format.bytesPerSample == 8) {
            std::memcpy(bytes, &v, 8);
        } else {
            const float f = static_cast<float>(v);
            std::memcpy(bytes, &f, 4);
        }
        return;
    }
    const int containerBits = 8 * format.bytesPerSample;
    const int validBits =
        format.validBits > 0 && format.validBits < containerBits ? format.validBits : containerBits;
    // Clamp and scale in double: in float, 1 - 2^-31 rounds to 1.0 and +1.0 would wrap.
    const double scale = std::ldexp(1.0, validBits - 1);
    const double clamped = std::fmin(std::fmax(v, -1.0), 1.0 - 1.0 / scale);
    long long q = std::llrint(scale * clamped);
    const long long top = static_cast<long long>(scale) - 1;
    q = q > top ? top : (q < -top - 1 ? -top - 1 : q);
    const std::uint32_t stored = static_cast<std::uint32_t>(static_cast<std::int64_t>(q))
                                 << (containerBits - validBits);
    for (int i = 0; i < format.bytesPerSample; ++i) {
        bytes[i] = static_cast<std::uint8_t>(stored >> (8 * i));
    }
}

} // namespace kestravon::ruvi
