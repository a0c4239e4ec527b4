#pragma once
// Sample decoding for files that passed parseWavHeader: little-endian PCM 16/24/32 and IEEE
// float 32 to float. A nonfinite float sample throws "WAV contains nonfinite audio".

#include "media/wav_header.h"

#include <span>
#include <string>
#include <vector>

namespace kestravon::ruvi {

// One sample at `bytes` (bitsPerSample / 8 bytes).
float decodeWavSample(const std::uint8_t* bytes, const WavFileInfo& info);

// Decodes `frameCount` interleaved frames at `data`: file channel `channels[j]` goes to
// `outputs[j][0 .. frameCount)`. Both spans have the same length.
void decodeWavChannels(const std::uint8_t* data, std::size_t frameCount, const WavFileInfo& info,
                       std::span<const std::uint32_t> channels, std::span<float* const> outputs);

struct DecodedWav {
    WavFileInfo info;
    std::vector<std::vector<float>> channels; // one array per file channel
};

// Reads a whole file through parseWavHeader and decodeWavChannels; throws the reader's messages,
// or "Cannot open WAV file" when the path does not name a readable regular file.
DecodedWav decodeWavFile(const std::string& path);

} // namespace kestravon::ruvi
