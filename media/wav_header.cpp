#include "media/wav_header.h"

#include "media/wav_file_stream.h"

#include <bit>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

std::uint16_t u16At(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t u32At(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t u64At(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(u32At(p)) | (static_cast<std::uint64_t>(u32At(p + 4)) << 32);
}

bool idIs(const std::uint8_t* p, const char (&id)[5]) {
    return std::memcmp(p, id, 4) == 0;
}

constexpr std::uint8_t kSubformatBase[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                             0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::uint32_t kSizeSentinel = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxChunks = 65536;

struct FormatFields {
    std::uint32_t tag = 0;
    std::uint32_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t byteRate = 0;
    std::uint32_t blockAlign = 0;
    std::uint32_t bits = 0;
};

FormatFields parseFormat(const std::uint8_t* fmt, std::uint32_t size) {
    FormatFields f;
    f.tag = u16At(fmt);
    f.channels = u16At(fmt + 2);
    f.sampleRate = u32At(fmt + 4);
    f.byteRate = u32At(fmt + 8);
    f.blockAlign = u16At(fmt + 12);
    f.bits = u16At(fmt + 14);
    if (f.tag == 0xFFFE) {
        if (size < 40) {
            fail("Unsupported WAV extensible subformat");
        }
        const std::uint32_t extension = u16At(fmt + 16);
        const std::uint32_t validBits = u16At(fmt + 18);
        if (extension < 22 || validBits < 1 || validBits > f.bits ||
            std::memcmp(fmt + 28, kSubformatBase, sizeof kSubformatBase) != 0) {
            fail("Unsupported WAV extensible subformat");
        }
        f.tag = u32At(fmt + 24);
        const std::uint32_t mask = u32At(fmt + 20);
        if (mask != 0 && static_cast<std::uint32_t>(std::popcount(mask)) != f.channels) {
            fail("WAV channel mask does not match channels");
        }
    }
    const bool pcm = f.tag == kWavFormatPcm && (f.bits == 16 || f.bits == 24 || f.bits == 32);
    const bool ieee = f.tag == kWavFormatFloat && f.bits == 32;
    if ((!pcm && !ieee) || f.channels < 1 || f.channels > 128 || f.sampleRate < 8000 ||
        f.sampleRate > 192000 || f.blockAlign != f.channels * f.bits / 8 ||
        static_cast<std::uint64_t>(f.byteRate) !=
            static_cast<std::uint64_t>(f.sampleRate) * f.blockAlign) {
        fail("Unsupported/corrupt WAV PCM format");
    }
    return f;
}

} // namespace

void seekWavStream(WavStream& stream, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        fail("WAV offset exceeds file addressing");
    }
    if (!stream.seek(static_cast<std::int64_t>(offset))) {
        fail("WAV seek failed");
    }
}

void readWavStream(WavStream& stream, void* buffer, std::size_t size) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const std::size_t n = stream.read(out + done, size - done);
        if (n == 0) {
            fail("Truncated or unreadable WAV");
        }
        done += n;
    }
}

WavFileInfo parseWavHeader(WavStream& stream, const std::string& path) {
    // Throws std::filesystem::filesystem_error naming "file_size" when the size is unknown.
    return parseWavHeader(stream, static_cast<std::uint64_t>(std::filesystem::file_size(path)));
}

WavFileInfo parseWavHeader(WavStream& stream, std::uint64_t fileSize) {
    if (fileSize < 44) {
        fail("WAV file too short");
    }
    std::uint8_t head[12];
    seekWavStream(stream, 0);
    readWavStream(stream, head, sizeof head);
    const bool rf64 = idIs(head, "RF64");
    if ((!rf64 && !idIs(head, "RIFF")) || !idIs(head + 8, "WAVE")) {
        fail("Only RIFF/RF64 WAVE files are supported");
    }
    const std::uint32_t riffSize = u32At(head + 4);
    std::uint64_t riffEnd = 0;
    if (rf64) {
        if (riffSize != kSizeSentinel) {
            fail("RF64 lacks RIFF size sentinel");
        }
        riffEnd = fileSize;
    } else {
        if (riffSize < 4 || riffSize != fileSize - 8) {
            fail("RIFF size does not match complete file");
        }
        riffEnd = static_cast<std::uint64_t>(riffSize) + 8;
    }

    bool seenDs64 = false, seenFmt = false, seenFact = false, seenData = false;
    std::uint64_t ds64DataSize = 0, ds64SampleCount = 0;
    std::uint32_t factSampleCount = 0;
    std::uint64_t dataOffset = 0, dataBytes = 0;
    FormatFields format;

    std::uint64_t position = 12;
    std::uint32_t chunks = 0;
    while (position < riffEnd) {
        if (chunks >= kMaxChunks || riffEnd - position < 8) {
            fail("Invalid/oversized WAV chunk catalogue");
        }
        ++chunks;
        std::uint8_t header[8];
        seekWavStream(stream, position);
        readWavStream(stream, header, sizeof header);
        const std::uint8_t* id = header;
        std::uint64_t size = u32At(header + 4);
        if (size == kSizeSentinel) {
            if (!(rf64 && seenDs64 && idIs(id, "data"))) {
                fail("Unsupported RF64 extended chunk table");
            }
            size = ds64DataSize;
        }
        const std::uint64_t left = riffEnd - position - 8;
        if (size > left || ((size & 1) != 0 && size == left)) {
            fail("WAV chunk extends beyond RIFF boundary");
        }
        if (idIs(id, "ds64")) {
            if (!rf64 || seenDs64 || position != 12 || size != 28) {
                fail("Unsupported/malformed RF64 ds64 chunk");
            }
            std::uint8_t body[28];
            readWavStream(stream, body, sizeof body);
            const std::uint64_t riff64 = u64At(body);
            if (riff64 > std::numeric_limits<std::uint64_t>::max() - 8 || riff64 + 8 != fileSize ||
                u32At(body + 24) != 0) {
                fail("RF64 length/table is unsupported or corrupt");
            }
            ds64DataSize = u64At(body + 8);
            ds64SampleCount = u64At(body + 16);
            seenDs64 = true;
        } else if (idIs(id, "fmt ")) {
            if (seenFmt || size < 16 || size > 4096) {
                fail("Malformed/duplicate WAV format chunk");
            }
            std::uint8_t body[4096];
            readWavStream(stream, body, static_cast<std::size_t>(size));
            format = parseFormat(body, static_cast<std::uint32_t>(size));
            seenFmt = true;
        } else if (idIs(id, "fact")) {
            if (seenFact || size < 4) {
                fail("Malformed/duplicate WAV fact chunk");
            }
            std::uint8_t body[4];
            readWavStream(stream, body, sizeof body);
            factSampleCount = u32At(body);
            seenFact = true;
        } else if (idIs(id, "data")) {
            if (seenData) {
                fail("Multiple WAV data chunks unsupported");
            }
            dataOffset = position + 8;
            dataBytes = size;
            seenData = true;
        }
        position += 8 + size + (size & 1);
    }

    if (position != riffEnd || !seenFmt || !seenData || (rf64 && !seenDs64) || dataBytes == 0 ||
        dataBytes % format.blockAlign != 0) {
        fail("Incomplete/unaligned WAV payload");
    }
    WavFileInfo info;
    info.sampleRate = format.sampleRate;
    info.channels = format.channels;
    info.bitsPerSample = format.bits;
    info.blockAlign = format.blockAlign;
    info.formatTag = format.tag;
    info.frames = dataBytes / format.blockAlign;
    info.dataOffset = dataOffset;
    info.dataBytes = dataBytes;
    info.fileSize = fileSize;
    if (rf64 && ds64SampleCount != 0 && ds64SampleCount != info.frames) {
        fail("RF64 sample count does not match data");
    }
    if (seenFact && factSampleCount != 0 && factSampleCount != kSizeSentinel &&
        factSampleCount != info.frames) {
        fail("WAV fact sample count does not match data");
    }
    return info;
}

WavInspection inspectPlaybackWav(const std::string& path) {
    if (path.empty() || path.size() > 4096) {
        fail("Invalid playback inspection path");
    }
    WavFileStream stream;
    if (!stream.open(path)) {
        fail("Cannot open playback WAV for metadata inspection");
    }
    const WavFileInfo info = parseWavHeader(stream, path);
    return WavInspection{info.channels, info.sampleRate, info.frames};
}

} // namespace kestravon::ruvi
