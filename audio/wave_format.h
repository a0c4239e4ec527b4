#pragma once

#include <array>
#include <cstdint>

namespace kestravon::ruvi {

// A 128-bit format subtype in the layout of a GUID.
struct FormatGuid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};
    friend bool operator==(const FormatGuid&, const FormatGuid&) = default;
};

inline constexpr FormatGuid KSDATAFORMAT_SUBTYPE_PCM{
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr FormatGuid KSDATAFORMAT_SUBTYPE_IEEE_FLOAT{
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

inline constexpr std::uint16_t WAVE_FORMAT_PCM = 1;
inline constexpr std::uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
inline constexpr std::uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The 18-byte wave format header followed by the 22-byte extensible extension. The extension
// fields mean something only when cbSize says they are present.
struct WaveFormat {
    std::uint16_t wFormatTag = 0;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;
    std::uint16_t wValidBitsPerSample = 0;
    std::uint32_t dwChannelMask = 0;
    FormatGuid SubFormat{};
    friend bool operator==(const WaveFormat&, const WaveFormat&) = default;
};

inline constexpr std::uint16_t kWaveFormatExtensionBytes = 22;

// A consistent format: container bits per sample, and for extensible records the valid bits.
// A plain tag (PCM or IEEE float) is written when validBits is 0 and the container is not
// extensible-only.
WaveFormat makeWaveFormat(bool isFloat, int channels, int sampleRate, int containerBits,
                          int validBits = 0, bool extensible = true);

} // namespace kestravon::ruvi
