#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/wasapi_backend.h"
#include "tests/support/virtual_audio.h"

namespace kestravon::ruvi::testing {

// What the render callback saw, and what it writes: every input channel copied to the output
// channel of the same index, or a tone on every output when toneHz is set.
struct Probe {
    std::atomic<std::int64_t> calls{0};
    std::atomic<int> minFrames{1 << 30};
    std::atomic<int> maxFrames{0};
    std::atomic<int> inputCount{-1};
    std::atomic<int> outputCount{-1};
    std::atomic<double> sampleRate{0.0};
    std::atomic<float> lastInputPeak{0.0f};
    double toneHz = 0.0;
    double phase = 0.0;
    int nanChannel = -1;
};

inline void probeCallback(void* user, const float* const* inputs, std::int32_t inputCount,
                          float* const* outputs, std::int32_t outputCount, std::int32_t frames,
                          double sampleRate) {
    auto& p = *static_cast<Probe*>(user);
    p.calls.fetch_add(1);
    if (frames < p.minFrames.load()) {
        p.minFrames.store(frames);
    }
    if (frames > p.maxFrames.load()) {
        p.maxFrames.store(frames);
    }
    p.inputCount.store(inputCount);
    p.outputCount.store(outputCount);
    p.sampleRate.store(sampleRate);
    float peak = 0.0f;
    for (int c = 0; c < inputCount; ++c) {
        for (int i = 0; i < frames; ++i) {
            peak = std::max(peak, std::fabs(inputs[c][i]));
        }
    }
    p.lastInputPeak.store(peak);
    if (p.toneHz > 0.0) {
        for (int i = 0; i < frames; ++i) {
            const auto v = static_cast<float>(0.25 * std::sin(p.phase));
            p.phase = std::fmod(p.phase + 2.0 * 3.14159265358979323846 * p.toneHz / sampleRate,
                                2.0 * 3.14159265358979323846);
            for (int c = 0; c < outputCount; ++c) {
                outputs[c][i] = c == p.nanChannel ? std::nanf("") : v;
            }
        }
        return;
    }
    for (int c = 0; c < std::min(inputCount, outputCount); ++c) {
        std::copy_n(inputs[c], frames, outputs[c]);
    }
}

// The queue in milliseconds beyond which a stream's consumer trims a backlog:
// twice the resampler's priming fill (its target plus 64 frames), with the 31
// frames behind its read position.
inline double trimmedQueue(const EndpointStatus& e) {
    return e.targetQueueMilliseconds * 2.0 + (2.0 * 64.0 + 31.0) * 1000.0 / e.sampleRate;
}

} // namespace kestravon::ruvi::testing
