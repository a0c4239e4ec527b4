#pragma once
// The preloaded playback lanes and their transport.
//
// Thread contract: load, unload, play, stop, seek and setLoop are called by one control thread
// (the UI thread, or the loading job on a bank not yet installed); render by one audio thread;
// status by any thread. render never allocates, locks, waits or makes a system call: a load or
// unload raises the busy flag and waits for the audio thread to leave render, a seek travels as a
// pending position, and the loop region crosses over under a sequence counter. Only load and
// unload allocate or free, and only they wait (by yielding, never on a lock the audio thread
// takes).

#include "media/playback_config.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestravon::ruvi {

enum class PlaybackState : std::uint32_t {
    empty = 0,
    ready = 1,
    playing = 2,
    paused = 3,
    ended = 4,
    fault = 5,
};

inline constexpr const char* kPlaybackFaultText =
    "Playback callback destination/block differs from prepared map";

struct PlaybackStatus {
    std::uint32_t state = 0; // a PlaybackState
    std::uint32_t sampleRate = 0;
    std::uint64_t loadedChannels = 0;
    std::uint64_t durationFrames = 0;
    std::uint64_t frame = 0;
    std::uint64_t requestedFrame = 0; // the waiting seek, else the position
    std::uint64_t residentAudioBytes = 0;
    double durationSeconds = 0;
    double positionSeconds = 0;
    bool looping = false;
    std::uint64_t loopStartFrame = 0;
    std::uint64_t loopEndFrame = 0;
    std::vector<std::uint32_t> lanes; // destinations in the bank's lane order
    bool incomplete = false;
    std::string faultText;
};

class PlaybackBank {
public:
    PlaybackBank();
    ~PlaybackBank();
    PlaybackBank(const PlaybackBank&) = delete;
    PlaybackBank& operator=(const PlaybackBank&) = delete;

    // Preloads within the budget, then swaps the lanes in; on failure the bank is unchanged.
    void load(const PlaybackConfig& config);
    void unload();

    bool play();
    void stop();
    bool seek(std::uint64_t frame);
    // `end` 0 means the duration; the region must be valid even to switch the loop off.
    bool setLoop(bool enabled, std::uint64_t start, std::uint64_t end);

    // Fills `frames` samples of channels[0 .. channelCount): every channel starts silent, then
    // each lane plays into its destination channel.
    void render(float* const* channels, std::uint64_t channelCount, std::uint32_t frames) noexcept;

    PlaybackStatus status() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kestravon::ruvi
