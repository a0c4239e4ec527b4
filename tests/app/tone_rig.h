#pragma once
// A 1 kHz tone rendered through the engine's current graph on this thread, block by block, as the
// device thread would run it, with the level of any output lane measured after it settles.
// Lanes come from the device layout below: a stereo capture "cap" and a 12-lane render "play".

#include "audio/backend_status.h"
#include "audio/device_records.h"
#include "engine/mixing.h"
#include "engine/native_graph_engine.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <numbers>
#include <vector>

namespace kestravon::ruvi::livetest {

inline constexpr double kRate = 48000.0;
inline constexpr int kBlock = 128;
inline constexpr int kInputs = 2;
inline constexpr int kOutputs = 12;
inline constexpr double kToneHz = 1000.0;

inline BackendStatus toneDevice() {
    BackendStatus layout;
    layout.sampleRate = static_cast<std::int32_t>(kRate);
    layout.inputChannels = kInputs;
    layout.outputChannels = kOutputs;
    EndpointStatus capture;
    capture.id = "cap";
    capture.capture = true;
    capture.channels = kInputs;
    EndpointStatus render;
    render.id = "play";
    render.channels = kOutputs;
    layout.streams = {capture, render};
    return layout;
}

inline nlohmann::json port(const char* device, int channel) {
    return {{"deviceId", device}, {"channel", channel}};
}

// The same two endpoints as the known device list, for methods that plan their own layout.
inline std::vector<EndpointInfo> toneDevices() {
    EndpointInfo capture;
    capture.id = "cap";
    capture.capture = true;
    capture.channels = kInputs;
    capture.sampleRate = static_cast<std::int32_t>(kRate);
    capture.available = true;
    EndpointInfo render = capture;
    render.id = "play";
    render.capture = false;
    render.channels = kOutputs;
    return {capture, render};
}

// Renders the tone and keeps the last window of every output lane.
class ToneRig {
public:
    explicit ToneRig(NativeGraphEngine& engine)
        : engine_(engine), in_(kInputs * kBlockStride), out_(kOutputs * kBlockStride) {}

    // RMS level in dBFS of one lane over `measureMs`, after `settleMs` of rendering.
    double levelDb(int lane, double settleMs = 60.0, double measureMs = 40.0) {
        render(settleMs);
        const std::vector<std::vector<float>> kept = render(measureMs);
        double sum = 0.0;
        for (float s : kept[static_cast<std::size_t>(lane)]) {
            sum += static_cast<double>(s) * s;
        }
        const double rms = std::sqrt(sum / static_cast<double>(kept[0].size()));
        return rms > 0.0 ? 20.0 * std::log10(rms) : -400.0;
    }

private:
    std::vector<std::vector<float>> render(double ms) {
        const int frames = static_cast<int>(ms * kRate / 1000.0);
        std::vector<std::vector<float>> kept(kOutputs);
        const float* inputs[kInputs];
        float* outputs[kOutputs];
        for (int c = 0; c < kInputs; ++c) {
            inputs[c] = in_.data() + c * kBlockStride;
        }
        for (int c = 0; c < kOutputs; ++c) {
            outputs[c] = out_.data() + c * kBlockStride;
        }
        for (int done = 0; done < frames; done += kBlock) {
            for (int k = 0; k < kBlock; ++k) {
                const float s = static_cast<float>(
                    0.5 * std::sin(2.0 * std::numbers::pi * kToneHz * phase_++ / kRate));
                in_[static_cast<std::size_t>(k)] = s;
                in_[static_cast<std::size_t>(kBlockStride + k)] = s;
            }
            engine_.render(inputs, kInputs, outputs, kOutputs, kBlock, kRate);
            for (int c = 0; c < kOutputs; ++c) {
                kept[static_cast<std::size_t>(c)].insert(kept[static_cast<std::size_t>(c)].end(),
                                                         outputs[c], outputs[c] + kBlock);
            }
        }
        return kept;
    }

    NativeGraphEngine& engine_;
    std::vector<float> in_;
    std::vector<float> out_;
    double phase_ = 0.0;
};

} // namespace kestravon::ruvi::livetest
