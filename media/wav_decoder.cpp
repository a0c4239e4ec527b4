#include "media/wav_decoder.h"

#include "media/wav_file_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

inline float pcm16(const std::uint8_t* p) {
    const auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
    return static_cast<float>(v) * 0x1p-15f;
}

inline float pcm24(const std::uint8_t* p) {
    const std::uint32_t u = static_cast<std::uint32_t>(p[0]) |
                            (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16);
    const std::int32_t v = static_cast<std::int32_t>(u << 8) >> 8;
    return static_cast<float>(v) * 0x1p-23f;
}

inline float pcm32(const std::uint8_t* p) {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return static_cast<float>(static_cast<double>(v) * 0x1p-31);
}

inline float ieee32(const std::uint8_t* p) {
    float v;
    std::memcpy(&v, p, 4);
    if (!std::isfinite(v)) {
        throw std::runtime_error("WAV contains nonfinite audio");
    }
    return v;
}

// 24-bit samples read as one 4-byte word; the byte above the sample is shifted out. Never used
// for the last frame, whose word could reach past the caller's buffer.
inline float pcm24Word(const std::uint8_t* p) {
    std::uint32_t u;
    std::memcpy(&u, p, 4);
    return static_cast<float>(static_cast<std::int32_t>(u << 8) >> 8) * 0x1p-23f;
}

void decodeAll24(const std::uint8_t* data, std::size_t frameCount, std::uint32_t blockAlign,
                 std::span<const std::uint32_t> channels, std::span<float* const> outputs) {
    for (std::size_t j = 0; j < channels.size(); ++j) {
        const std::uint8_t* p = data + static_cast<std::size_t>(channels[j]) * 3;
        float* out = outputs[j];
        std::size_t i = 0;
        for (; i + 1 < frameCount; ++i, p += blockAlign) {
            out[i] = pcm24Word(p);
        }
        if (i < frameCount) {
            out[i] = pcm24(p);
        }
    }
}

template <float (*Decode)(const std::uint8_t*), unsigned Bytes>
void decodeAll(const std::uint8_t* data, std::size_t frameCount, std::uint32_t blockAlign,
               std::span<const std::uint32_t> channels, std::span<float* const> outputs) {
    for (std::size_t j = 0; j < channels.size(); ++j) {
        const std::uint8_t* p = data + static_cast<std::size_t>(channels[j]) * Bytes;
        float* out = outputs[j];
        for (std::size_t i = 0; i < frameCount; ++i, p += blockAlign) {
            out[i] = Decode(p);
        }
    }
}

} // namespace

float decodeWavSample(const std::uint8_t* bytes, const WavFileInfo& info) {
    if (info.formatTag == kWavFormatFloat) {
        return ieee32(bytes);
    }
    switch (info.bitsPerSample) {
    case 16:
        return pcm16(bytes);
    case 24:
        return pcm24(bytes);
    default:
        return pcm32(bytes);
    }
}

void decodeWavChannels(const std::uint8_t* data, std::size_t frameCount, const WavFileInfo& info,
                       std::span<const std::uint32_t> channels, std::span<float* const> outputs) {
    const std::uint32_t stride = info.blockAlign;
    if (info.formatTag == kWavFormatFloat) {
        decodeAll<ieee32, 4>(data, frameCount, stride, channels, outputs);
    } else if (info.bitsPerSample == 16) {
        decodeAll<pcm16, 2>(data, frameCount, stride, channels, outputs);
    } else if (info.bitsPerSample == 24) {
        decodeAll24(data, frameCount, stride, channels, outputs);
    } else {
        decodeAll<pcm32, 4>(data, frameCount, stride, channels, outputs);
    }
}

DecodedWav decodeWavFile(const std::string& path) {
    WavFileStream stream;
    if (!stream.open(path)) {
        throw std::runtime_error("Cannot open WAV file");
    }
    DecodedWav result;
    result.info = parseWavHeader(stream, path);
    const WavFileInfo& info = result.info;
    result.channels.assign(info.channels, std::vector<float>(info.frames));
    std::vector<std::uint32_t> channels(info.channels);
    std::vector<float*> outputs(info.channels);
    for (std::uint32_t c = 0; c < info.channels; ++c) {
        channels[c] = c;
    }
    const std::size_t pieceFrames = std::max<std::size_t>(1, 65536 / info.blockAlign);
    std::vector<std::uint8_t> piece(pieceFrames * info.blockAlign);
    seekWavStream(stream, info.dataOffset);
    for (std::uint64_t done = 0; done < info.frames;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(pieceFrames, info.frames - done));
        readWavStream(stream, piece.data(), n * info.blockAlign);
        for (std::uint32_t c = 0; c < info.channels; ++c) {
            outputs[c] = result.channels[c].data() + done;
        }
        decodeWavChannels(piece.data(), n, info, channels, outputs);
        done += n;
    }
    return result;
}

} // namespace kestravon::ruvi
