#pragma once
// Offline sample-rate conversion of playback lanes: a 64-tap Blackman-windowed sinc interpolator
// evaluated in double precision, unity gain at DC, edge samples repeated. Runs on the loading
// thread; asks config.cancel and reports "resampling" progress every 1024 output frames.

#include "media/playback_config.h"
#include "media/playback_samples.h"

#include <cstdint>
#include <vector>

namespace kestravon::ruvi {

// `inputs` are lanes of equal length; `ratio` is the source rate over config.sampleRate. Returns
// one lane of `outputFrames` samples per input. Output frame i sits at source frame i × ratio.
std::vector<PlaybackSamples> resamplePlaybackLane(const std::vector<PlaybackSamples>& inputs,
                                                  std::uint64_t outputFrames, double ratio,
                                                  const PlaybackConfig& config);

// Bytes of the per-phase coefficient table the converter builds for this rate pair (0 when it
// evaluates the kernel directly); it lives inside the 8 MiB staging reserve.
std::uint64_t playbackResamplerTableBytes(std::uint32_t sourceRate, std::uint32_t sessionRate);

} // namespace kestravon::ruvi
