#pragma once
// WAV header inspection: walks the RIFF/RF64 chunk list of a file and decides, before any sample
// is decoded, whether it can be played and where its samples are. Every refusal throws a
// std::runtime_error carrying one fixed message.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestravon::ruvi {

struct WavFileInfo {
    std::uint32_t sampleRate = 0;    // 8000 to 192000
    std::uint32_t channels = 0;      // 1 to 128
    std::uint32_t bitsPerSample = 0; // 16, 24 or 32
    std::uint32_t blockAlign = 0;    // bytes per frame
    std::uint32_t formatTag = 0;     // 1 PCM or 3 IEEE float (the subformat for extensible files)
    std::uint64_t frames = 0;
    std::uint64_t dataOffset = 0; // file offset of the first sample byte
    std::uint64_t dataBytes = 0;
    std::uint64_t fileSize = 0;
};

struct WavInspection {
    std::uint32_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint64_t frames = 0;
};

inline constexpr std::uint32_t kWavFormatPcm = 1;
inline constexpr std::uint32_t kWavFormatFloat = 3;

// The byte source the reader works through: a file, or memory for tests and fuzzing.
class WavStream {
public:
    virtual ~WavStream() = default;
    // Reads up to `size` bytes at the current position; fewer only at the end or on an error.
    virtual std::size_t read(void* buffer, std::size_t size) = 0;
    // Moves to an absolute offset; false when the stream cannot go there.
    virtual bool seek(std::int64_t offset) = 0;
};

// Takes the size from the file system for `path` (its error is reported as "file_size" fails).
WavFileInfo parseWavHeader(WavStream& stream, const std::string& path);
// The same checks against a size the caller already knows.
WavFileInfo parseWavHeader(WavStream& stream, std::uint64_t fileSize);

void seekWavStream(WavStream& stream, std::uint64_t offset);
// Reads exactly `size` bytes or throws "Truncated or unreadable WAV".
void readWavStream(WavStream& stream, void* buffer, std::size_t size);

// Opens `path` (1 to 4096 bytes of UTF-8) and parses its header.
WavInspection inspectPlaybackWav(const std::string& path);

} // namespace kestravon::ruvi
