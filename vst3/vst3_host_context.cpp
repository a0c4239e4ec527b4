// The host context the plug-in talks to: its name, the handler of its edits and restart
// requests, the frame of its editor view and the run loop.

#include "vst3/vst3_effect_impl.h"

namespace kestravon::ruvi {

using Steinberg::kResultOk;
using Steinberg::tresult;

tresult PLUGIN_API Vst3Effect::Impl::Host::queryInterface(const Steinberg::TUID iid, void** obj) {
    using Steinberg::FUnknownPrivate::iidEqual;
    if (obj == nullptr) {
        return Steinberg::kInvalidArgument;
    }
    if (iidEqual(iid, sv::IComponentHandler::iid)) {
        *obj = static_cast<sv::IComponentHandler*>(this);
        return kResultOk;
    }
    if (iidEqual(iid, Steinberg::IPlugFrame::iid)) {
        *obj = static_cast<Steinberg::IPlugFrame*>(this);
        return kResultOk;
    }
    if (iidEqual(iid, Steinberg::Linux::IRunLoop::iid)) {
        *obj = static_cast<Steinberg::Linux::IRunLoop*>(&owner->runLoop);
        return kResultOk;
    }
    if (iidEqual(iid, Steinberg::FUnknown::iid) || iidEqual(iid, sv::IHostApplication::iid)) {
        *obj = static_cast<sv::IHostApplication*>(this);
        return kResultOk;
    }
    // The SDK's own forwarding asks the support object for the wrong id; ask with the real one.
    if (mPlugInterfaceSupport && mPlugInterfaceSupport->queryInterface(iid, obj) == kResultOk) {
        return kResultOk;
    }
    *obj = nullptr;
    return Steinberg::kNoInterface;
}

tresult PLUGIN_API Vst3Effect::Impl::Host::getName(sv::String128 name) {
    static constexpr char kName[] = "KESTRAVON RUVI";
    for (std::size_t i = 0; i < sizeof(kName); ++i) {
        name[i] = static_cast<Steinberg::char16>(kName[i]);
    }
    return kResultOk;
}

tresult PLUGIN_API Vst3Effect::Impl::Host::performEdit(sv::ParamID id, sv::ParamValue value) {
    return owner->setParameterById(id, value, true) ? kResultOk : Steinberg::kInvalidArgument;
}

tresult PLUGIN_API Vst3Effect::Impl::Host::restartComponent(Steinberg::int32 flags) {
    owner->restartFlags.fetch_or(flags, std::memory_order_acq_rel);
    return kResultOk;
}

} // namespace kestravon::ruvi
