#pragma once
// Preloading of playback lanes: every chosen file channel is decoded to float and converted to
// the session rate, within the memory budget, before the bank takes it. Runs on a loading
// thread (a background job or the UI thread), never on the audio thread.

#include "media/playback_config.h"
#include "media/playback_samples.h"

#include <cstdint>
#include <vector>

namespace kestravon::ruvi {

struct PreloadResult {
    std::uint32_t sampleRate = 0;
    std::uint32_t blockFrames = 0;
    std::uint64_t loadedChannels = 0; // highest destination lane + 1
    std::uint64_t durationFrames = 0; // the longest lane after conversion
    std::uint64_t residentAudioBytes = 0;
    std::vector<PlaybackLane> lanes;
};

// `alreadyUsedBytes` is what the bank already holds (0 for a new bank); it counts against the
// budget together with the 8 MiB conversion staging reserve. Throws and keeps nothing on failure.
PreloadResult preloadPlayback(const PlaybackConfig& config, std::uint64_t alreadyUsedBytes);

// FNV-1a 64 over `size` bytes, continuing from `hash`.
std::uint64_t playbackFnv1a64(const void* data, std::size_t size,
                              std::uint64_t hash = 0xcbf29ce484222325ull);

} // namespace kestravon::ruvi
