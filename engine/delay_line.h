#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestravon::ruvi {

// A fixed delay of whole samples for one to two channels, interleaved by channel. Sized once on
// the control side; step() runs on the audio thread and never allocates.
class DelayLine {
public:
    DelayLine() = default;

    // Zero-filled storage for delay x channels samples; a delay of 0 passes samples through.
    void configure(std::int32_t delay, std::int32_t channels);

    std::int32_t delay() const noexcept { return delay_; }
    std::int32_t channels() const noexcept { return channels_; }

    // Delays one frame in place: frame[c] for every channel c.
    void step(float* frame) noexcept {
        if (delay_ == 0) {
            return;
        }
        float* slot = samples_.data() + static_cast<std::size_t>(writePosition_) * channels_;
        for (std::int32_t c = 0; c < channels_; ++c) {
            const float leaving = slot[c];
            slot[c] = frame[c];
            frame[c] = leaving;
        }
        if (++writePosition_ == delay_) {
            writePosition_ = 0;
        }
    }

private:
    std::vector<float> samples_;
    std::int32_t delay_ = 0;
    std::int32_t channels_ = 1;
    std::int32_t writePosition_ = 0;
};

} // namespace kestravon::ruvi
