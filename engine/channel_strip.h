#pragma once

#include <cstdint>
#include <memory>

#include "engine/strip_processing.h"

namespace kestravon::ruvi {

// Per-block strip meters: peaks as linear magnitudes, reductions as positive dB.
struct StripMeters {
    float inputPeak = 0.0f;
    float outputPeak = 0.0f;
    float gateReductionDb = 0.0f;
    float compressorReductionDb = 0.0f;
};

// High-pass filter, four EQ bands, gate and compressor of one graph node, applied in place.
//
// Thread contract: one control thread (the UI thread) calls setProcessing, prepare and
// accepted; prepare runs only while the strip is not being rendered. One audio thread calls
// process. readMeters may be called from any thread. Settings reach the audio thread through a
// sequence-counted snapshot: setProcessing never blocks the audio thread, and process never
// allocates, locks, logs or makes a system call; a record published mid-block is taken at a
// later block. A moved-from strip may only be assigned to or destroyed.
class ChannelStrip {
public:
    static constexpr int32_t kMaxFrames = 65536;

    ChannelStrip();
    ~ChannelStrip();
    ChannelStrip(ChannelStrip&&) noexcept;
    ChannelStrip& operator=(ChannelStrip&&) noexcept;
    ChannelStrip(const ChannelStrip&) = delete;
    ChannelStrip& operator=(const ChannelStrip&) = delete;

    // Control side. False (and nothing published) when the record fails isValid.
    [[nodiscard]] bool setProcessing(const StripProcessing& settings);

    // Control side, before rendering. False (nothing changed) unless sampleRate is finite and
    // within 8000..192000 and channels is 1 or 2. Resets filters, envelopes and meters and takes
    // the latest published settings without gliding.
    [[nodiscard]] bool prepare(double sampleRate, int32_t channels);

    // Audio thread. Does nothing when channelPointers or any of its channelCount pointers is
    // null, channelCount differs from the prepared width, or frames is outside 0..kMaxFrames.
    void process(float* const* channelPointers, int32_t channelCount, int32_t frames) noexcept;

    // Meters of the last processed block.
    [[nodiscard]] StripMeters readMeters() const noexcept;

    // Control side: the last record setProcessing accepted.
    [[nodiscard]] const StripProcessing& accepted() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kestravon::ruvi
