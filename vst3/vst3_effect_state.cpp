// Saving and restoring an instance's state blob.

#include "vst3/memory_stream.h"
#include "vst3/vst3_effect.h"
#include "vst3/vst3_effect_impl.h"
#include "vst3/vst3_state_blob.h"

#include <cstring>
#include <stdexcept>

namespace kestravon::ruvi {

using Steinberg::kNotImplemented;
using Steinberg::kResultOk;

std::vector<std::uint8_t> Vst3Effect::saveState(std::string& error) {
    error.clear();
    if (impl_ == nullptr) {
        error = "No VST3 instance is open.";
        return {};
    }
    try {
        Impl& d = *impl_;
        for (std::size_t i = 0; i < d.parameters.size(); ++i) {
            if (d.values[i].pendingForAudio.load(std::memory_order_acquire) != 0) {
                throw std::runtime_error(
                    "Process pending parameter changes before saving VST3 state.");
            }
            if (d.parameters[i].readOnly) {
                continue;
            }
            d.controller->setParamNormalized(
                d.parameters[i].id, d.values[i].normalized.load(std::memory_order_relaxed));
        }
        MemoryStream componentStream;
        const auto componentResult = d.component->getState(&componentStream);
        // The SDK's default for a stateless component is kNotImplemented: an empty state.
        const bool componentEmpty = componentResult == kNotImplemented;
        if ((componentResult != kResultOk && !componentEmpty) || componentStream.overflowed()) {
            throw std::runtime_error("VST3 component state capture failed.");
        }
        MemoryStream controllerStream;
        const auto controllerResult = d.controller->getState(&controllerStream);
        if (controllerResult != kResultOk && controllerResult != Steinberg::kResultFalse &&
            controllerResult != kNotImplemented) {
            throw std::runtime_error("VST3 controller state capture failed.");
        }
        if (controllerStream.overflowed()) {
            throw std::runtime_error("VST3 controller state exceeds host bound.");
        }
        Vst3StateBlob blob;
        std::memcpy(blob.classId.data(), d.module->classId(), blob.classId.size());
        if (!componentEmpty) {
            blob.component = componentStream.bytes();
        }
        if (controllerResult == kResultOk) {
            blob.controller = controllerStream.bytes();
        }
        return blob.encode();
    } catch (const std::exception& failure) {
        error = failure.what();
    } catch (...) {
        error = "VST3 state capture failed.";
    }
    return {};
}

bool Vst3Effect::restoreState(std::span<const std::uint8_t> bytes, std::string& error) {
    error.clear();
    if (impl_ == nullptr) {
        error = "No VST3 instance is open.";
        return false;
    }
    try {
        const Impl& old = *impl_;
        const Vst3StateBlob blob = Vst3StateBlob::parse(bytes);
        if (std::memcmp(blob.classId.data(), old.module->classId(), blob.classId.size()) != 0) {
            throw std::runtime_error("Invalid or mismatched VST3 host state.");
        }
        MemoryStream componentStream({blob.component.begin(), blob.component.end()});
        MemoryStream controllerStream({blob.controller.begin(), blob.controller.end()});

        auto fresh = std::make_unique<Impl>();
        fresh->instantiate(old.module);
        // An empty component state is what a stateless component saved: nothing to hand back.
        if (!blob.component.empty()) {
            const auto result = fresh->component->setState(&componentStream);
            if (result != kResultOk && result != kNotImplemented) {
                throw std::runtime_error("VST3 component rejected state.");
            }
            componentStream.seek(0, Steinberg::IBStream::kIBSeekSet, nullptr);
            const auto mirrored = fresh->controller->setComponentState(&componentStream);
            if (mirrored != kResultOk && mirrored != kNotImplemented) {
                throw std::runtime_error("VST3 controller rejected component state.");
            }
        }
        if (!blob.controller.empty() &&
            fresh->controller->setState(&controllerStream) != kResultOk) {
            throw std::runtime_error("VST3 controller rejected its state.");
        }
        fresh->configureProcessing(old.sampleRate, old.maxBlock, old.channels, old.sidechainMode);
        impl_.swap(fresh);
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
    } catch (...) {
        error = "VST3 state restoration failed.";
    }
    return false;
}

} // namespace kestravon::ruvi
