#include "audio/wave_format.h"

namespace kestravon::ruvi {

WaveFormat makeWaveFormat(bool isFloat, int channels, int sampleRate, int containerBits,
                          int validBits, bool extensible) {
    WaveFormat w;
    w.nChannels = static_cast<std::uint16_t>(channels);
    w.nSamplesPerSec = static_cast<std::uint32_t>(sampleRate);
    w.wBitsPerSample = static_cast<std::uint16_t>(containerBits);
    w.nBlockAlign = static_cast<std::uint16_t>(channels * (containerBits / 8));
    w.nAvgBytesPerSec = static_cast<std::uint32_t>(w.nBlockAlign) * w.nSamplesPerSec;
    if (extensible) {
        w.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        w.cbSize = kWaveFormatExtensionBytes;
        w.wValidBitsPerSample =
            static_cast<std::uint16_t>(validBits > 0 ? validBits : containerBits);
        w.dwChannelMask = channels == 2 ? 0x3u : 0u;
        w.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    } else {
        w.wFormatTag = isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    }
    return w;
}

} // namespace kestravon::ruvi
