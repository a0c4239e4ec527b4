// One block on the audio thread: waiting parameter values handed over, the host's channels
// copied into the plug-in's buses and back, every non-finite sample refused.

#include "vst3/sample_copy.h"
#include "vst3/vst3_effect_impl.h"

#include <algorithm>

namespace kestravon::ruvi {

using Steinberg::kResultOk;

void Vst3Effect::Impl::silence(float* const* outputs, std::int32_t frames) noexcept {
    if (outputs == nullptr || frames <= 0) {
        return;
    }
    const std::int32_t count = std::min(frames, maxBlock);
    for (std::int32_t j = 0; j < channels; ++j) {
        if (outputs[j] != nullptr) {
            std::fill_n(outputs[j], count, 0.0f);
        }
    }
}

bool Vst3Effect::Impl::process(const float* const* inputs, float* const* outputs,
                               std::int32_t frames, const float* const* sidechain) noexcept {
    // A zero-frame call only delivers waiting values, so it runs even on an instance that
    // waits to be rebuilt: the state capture of every other insert must not fail on it.
    const bool rebuild = (restartFlags.load(std::memory_order_acquire) & kRebuildMask) != 0;
    if (frames < 0 || frames > maxBlock || (frames > 0 && (outputs == nullptr || rebuild))) {
        silence(outputs, frames);
        return false;
    }
    if (frames > 0) {
        for (std::int32_t j = 0; j < channels; ++j) {
            if (outputs[j] == nullptr) {
                silence(outputs, frames);
                return false;
            }
        }
    }
    try {
        Steinberg::int32 count = 0;
        const bool resend = frames > 0 && resendPending.load(std::memory_order_relaxed) != 0 &&
                            resendPending.exchange(0, std::memory_order_acquire) != 0;
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            ParameterValue& value = values[i];
            // A plain load first: the exchange is paid only by parameters that changed.
            bool taken = value.pendingForAudio.load(std::memory_order_relaxed) != 0 &&
                         value.pendingForAudio.exchange(0, std::memory_order_acquire) != 0;
            if (resend) {
                taken |= value.resendForAudio.exchange(0, std::memory_order_relaxed) != 0;
            }
            if (!taken) {
                continue;
            }
            ValueQueue& queue = changes.queues[static_cast<std::size_t>(count++)];
            queue.id = parameters[i].id;
            queue.value = value.normalized.load(std::memory_order_relaxed);
            if (frames == 0) {
                value.resendForAudio.store(1, std::memory_order_relaxed);
            }
        }
        changes.count = count;
        if (frames == 0 && count > 0) {
            resendPending.store(1, std::memory_order_release);
        }

        std::uint64_t inputSilence = 0;
        for (std::int32_t i = 0; i < mainInputChannels; ++i) {
            const float* source = nullptr;
            if (inputs != nullptr) {
                source = channels == 1 ? inputs[0] : inputs[std::min(i, channels - 1)];
            }
            if (copyClean(source, inputScratch[i].data(), frames)) {
                inputSilence |= std::uint64_t{1} << i;
            }
        }
        for (std::int32_t i = 0; i < mainOutputChannels; ++i) {
            std::fill_n(outputScratch[i].data(), frames, 0.0f);
        }
        inputBuffers[mainInputBus].silenceFlags = inputSilence;
        if (sidechainMode != 0) {
            auto& record = inputBuffers[sidechainBus];
            record.numChannels = sidechain != nullptr ? sidechainMode : 0;
            record.silenceFlags = 0;
            for (std::int32_t j = 0; j < record.numChannels; ++j) {
                if (copyClean(sidechain[j], sidechainScratch[j].data(), frames)) {
                    record.silenceFlags |= std::uint64_t{1} << j;
                }
            }
        }
        for (std::int32_t i = 0; i < outputBusCount; ++i) {
            outputBuffers[i].silenceFlags = 0;
        }

        sv::ProcessData data;
        data.processMode = sv::kRealtime;
        data.symbolicSampleSize = sv::kSample32;
        data.numSamples = frames;
        data.numInputs = inputBusCount;
        data.numOutputs = outputBusCount;
        data.inputs = inputBuffers.data();
        data.outputs = outputBuffers.data();
        data.inputParameterChanges = &changes;
        outputChanges.clear();
        data.outputParameterChanges = &outputChanges;
        if (processor->process(data) != kResultOk) {
            silence(outputs, frames);
            return false;
        }

        if (frames == 0) {
            return true; // a flush: there may be no output buffers at all
        }
        bool failed = false;
        for (std::int32_t j = 0; j < channels; ++j) {
            const bool clean =
                channels == 1 && mainOutputChannels == 2
                    ? averageOut(outputScratch[0].data(), outputScratch[1].data(), outputs[j],
                                 frames)
                    : copyOut(outputScratch[std::min(j, mainOutputChannels - 1)].data(), outputs[j],
                              frames);
            failed |= !clean;
        }
        if (failed) {
            silence(outputs, frames);
            return false;
        }
        return true;
    } catch (...) {
        silence(outputs, frames);
        return false;
    }
}

bool Vst3Effect::process(const float* const* inputs, float* const* outputs, std::int32_t frames,
                         const float* const* sidechain) noexcept {
    return impl_ != nullptr && impl_->process(inputs, outputs, frames, sidechain);
}

bool Vst3Effect::needsReconfiguration() const noexcept {
    return impl_ != nullptr &&
           (impl_->restartFlags.load(std::memory_order_acquire) & kRebuildMask) != 0;
}

} // namespace kestravon::ruvi
