#include "app/render_callback.h"

#include "app/application_impl.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace kestravon::ruvi {

// User data is the Application's Impl: the members the audio path reads live there.
void audioRenderCallback(void* userData, const float* const* inputs, std::int32_t inputCount,
                         float* const* outputs, std::int32_t outputCount, std::int32_t frames,
                         double sampleRate) noexcept {
    auto& app = *static_cast<Application::Impl*>(userData);

    // The take sees the raw physical inputs of every real block, whatever happens after.
    if (frames > 0 && inputCount >= 0) {
        (void)app.recorder.pushBlock(inputs, static_cast<std::uint64_t>(inputCount),
                                     static_cast<std::uint32_t>(frames));
    }

    const std::uint32_t lanes = app.playbackChannels;
    if (lanes == 0) {
        app.graph.render(inputs, inputCount, outputs, outputCount, frames, sampleRate);
        return;
    }

    // A negative frame count compares as a huge unsigned one and is refused with the long ones.
    if (static_cast<std::uint32_t>(frames) > kMaxRenderFrames || inputCount < 0 ||
        static_cast<std::uint64_t>(inputCount) + lanes > kMaxRenderChannels) {
        if (outputs != nullptr && frames > 0) {
            for (std::int32_t c = 0; c < outputCount; ++c) {
                if (outputs[c] != nullptr) {
                    std::fill_n(outputs[c], frames, 0.0f);
                }
            }
        }
        return;
    }

    app.playback->render(app.playbackChannelBuffers.data(), lanes,
                         static_cast<std::uint32_t>(frames));
    const auto physical = static_cast<std::size_t>(inputCount);
    for (std::size_t i = 0; i < physical; ++i) {
        app.renderInputs[i] = inputs[i];
    }
    for (std::size_t k = 0; k < lanes; ++k) {
        app.renderInputs[physical + k] = app.playbackChannelBuffers[k];
    }
    app.graph.render(app.renderInputs.data(), inputCount + static_cast<std::int32_t>(lanes),
                     outputs, outputCount, frames, sampleRate);
}

BackendStatus buildPhysicalChannelLayout(const std::vector<EndpointInfo>& devices,
                                         std::int32_t sampleRate) {
    BackendStatus layout;
    layout.sampleRate = sampleRate;
    for (const EndpointInfo& device : devices) {
        if (!device.available) {
            continue;
        }
        std::int32_t& total = device.capture ? layout.inputChannels : layout.outputChannels;
        EndpointStatus stream;
        stream.id = device.id;
        stream.name = device.name;
        stream.capture = device.capture;
        stream.firstChannel = total;
        stream.channels = device.channels;
        stream.sampleRate = device.sampleRate;
        layout.streams.push_back(std::move(stream));
        total += device.channels;
    }
    return layout;
}

} // namespace kestravon::ruvi
