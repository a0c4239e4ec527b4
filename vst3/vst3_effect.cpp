// The holder of one instance: a new instance replaces the held one only once it is ready.

#include "vst3/vst3_effect.h"

#include "vst3/vst3_effect_impl.h"

#include <exception>

namespace kestravon::ruvi {

Vst3Effect::Vst3Effect() = default;
Vst3Effect::~Vst3Effect() = default;
Vst3Effect::Vst3Effect(Vst3Effect&&) noexcept = default;
Vst3Effect& Vst3Effect::operator=(Vst3Effect&&) noexcept = default;

bool Vst3Effect::open(const std::string& modulePath, double sampleRate, std::int32_t maxBlock,
                      std::int32_t channels, std::string& error, std::int32_t sidechainMode) {
    error.clear();
    try {
        auto fresh = std::make_unique<Impl>();
        fresh->instantiate(acquireModule(modulePath));
        fresh->configureProcessing(sampleRate, maxBlock, channels, sidechainMode);
        impl_.swap(fresh); // the old instance goes only once the new one is ready
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
    } catch (...) {
        error = "VST3 open failed.";
    }
    return false;
}

bool Vst3Effect::isOpen() const noexcept {
    return impl_ != nullptr;
}

std::int32_t Vst3Effect::latencySamples() const noexcept {
    return impl_ != nullptr ? impl_->latencySamples : 0;
}

} // namespace kestravon::ruvi
