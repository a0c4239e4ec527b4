#pragma once
// What a playback load asks for: the session rate, the largest render block, the memory budget,
// the lanes to fill from which file channels, and the hooks for cancellation and progress.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestravon::ruvi {

struct PlaybackLaneSource {
    std::string path;                   // UTF-8, 1 to 4096 bytes
    std::uint32_t sourceChannel = 0;    // channel within the file, below 128
    std::uint32_t lane = 0;             // destination lane, 0 to 127, unique in a request
    std::uint64_t expectedChecksum = 0; // FNV-1a 64 of the file's data chunk bytes
    bool hasExpectedChecksum = false;
};

inline constexpr std::uint64_t kPlaybackDefaultBudgetBytes = 536870912; // 512 MiB
inline constexpr std::uint64_t kPlaybackMinimumBudgetBytes = 16777216;  // 16 MiB
inline constexpr std::uint64_t kPlaybackStagingReserveBytes = 8388608;  // 8 MiB
inline constexpr std::uint32_t kPlaybackMaxLanes = 128;
inline constexpr std::uint32_t kPlaybackMaxBlockFrames = 4096;

struct PlaybackConfig {
    PlaybackConfig() = default;

    std::uint32_t sampleRate = 48000; // 8000 to 192000
    std::uint32_t blockFrames = 4096; // 1 to 4096
    std::uint64_t memoryBudgetBytes = kPlaybackDefaultBudgetBytes;
    std::vector<PlaybackLaneSource> sources; // 1 to 128
    std::function<bool()> cancel;            // true cancels; may be empty
    std::function<void(std::string_view stage, double fraction)> progress; // may be empty
    nlohmann::json files = nlohmann::json::array();                        // the playback catalogue
    std::uint32_t laneCount = 0; // first lane of the next file
};

// Plans a load of the WAV files named in `paths` (a JSON array of absolute UTF-8 paths).
PlaybackConfig makePlaybackConfig(const nlohmann::json& paths, std::uint32_t sessionRate);

// Asks `cancel` first ("File operation cancelled"), then tells `progress`.
void reportPlaybackProgress(const PlaybackConfig& config, std::string_view stage, double fraction);

// A transport frame from a request: an unsigned or non-negative integer.
std::uint64_t playbackFrameFromJson(const nlohmann::json& value);

// The local path check every playback path passes before any file operation.
void checkPlaybackLocalPath(const std::string& path);

} // namespace kestravon::ruvi
