#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestravon::ruvi {

// The only tap this build records: raw physical inputs before trim, effects and faders.
inline constexpr const char* kRecorderTap = "raw-input-pre-effects-pre-fader";

inline constexpr std::size_t kRecorderTrackNameMaxBytes = 1024;

// A track id the recorder can put in a file name: 1 to 96 of A-Z a-z 0-9 _ -.
bool isValidRecorderTrackId(const std::string& id) noexcept;

// One recorded track: an armed input strip and the aggregate input lanes it takes (1 or 2).
struct RecorderTrackSpec {
    std::string id;   // 1 to 96 of A-Z a-z 0-9 _ -, unique in the take
    std::string name; // at most 1024 bytes of UTF-8
    std::vector<std::uint32_t> sourceLanes;
};

// One planned take, handed to RawRecorder::prepareTake.
struct RecorderTakeConfig {
    std::string directory;            // the take folder itself (UTF-8 path); its parent must exist
    std::uint32_t sampleRate = 48000; // 8000 to 384000
    std::uint32_t blockFrames = 512;  // largest block the tap accepts, 1 to 65536
    std::uint32_t queueSlots = 256;   // 2 to 65536
    std::vector<RecorderTrackSpec> tracks; // 1 to 128
    std::string tap = kRecorderTap;
    std::uint64_t firstSourceFrame = 0;
    std::uint64_t retainedQueueBytes = 0; // an older queue still alive while this one is prepared
};

} // namespace kestravon::ruvi
