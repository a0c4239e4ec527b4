#include "vst3/vst3_effect.h"

#include "vst3/sample_copy.h"
#include "vst3/vst3_effect_impl.h"
#include "vst3/vst3_strings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

using Steinberg::kResultOk;
using Steinberg::tresult;

// The largest difference between a normalized value and a controller's read-back of it that is
// still the controller's own rounding (single-precision plain values over their range).
constexpr double kControllerRounding = 1e-6;

[[noreturn]] void fail(const char* message) {
    throw std::runtime_error(message);
}

template <typename Interface> Interface* queryOf(Steinberg::FUnknown* object) {
    void* result = nullptr;
    if (object == nullptr || object->queryInterface(Interface::iid, &result) != kResultOk) {
        return nullptr;
    }
    return static_cast<Interface*>(result);
}

// The host's stack-owned objects answer for their one interface and FUnknown, uncounted.
tresult answerOwnInterface(const Steinberg::TUID iid, const Steinberg::TUID own, void* self,
                           void** obj) {
    if (obj == nullptr) {
        return Steinberg::kInvalidArgument;
    }
    if (Steinberg::FUnknownPrivate::iidEqual(iid, own) ||
        Steinberg::FUnknownPrivate::iidEqual(iid, Steinberg::FUnknown::iid)) {
        *obj = self;
        return kResultOk;
    }
    *obj = nullptr;
    return Steinberg::kNoInterface;
}

} // namespace

tresult PLUGIN_API ValueQueue::queryInterface(const Steinberg::TUID iid, void** obj) {
    return answerOwnInterface(iid, sv::IParamValueQueue::iid, this, obj);
}

tresult PLUGIN_API ValueQueue::getPoint(Steinberg::int32 index, Steinberg::int32& sampleOffset,
                                        sv::ParamValue& point) {
    if (index != 0) {
        return Steinberg::kInvalidArgument;
    }
    sampleOffset = 0;
    point = value;
    return kResultOk;
}

tresult PLUGIN_API Changes::queryInterface(const Steinberg::TUID iid, void** obj) {
    return answerOwnInterface(iid, sv::IParameterChanges::iid, this, obj);
}

sv::IParamValueQueue* PLUGIN_API Changes::getParameterData(Steinberg::int32 index) {
    if (index < 0 || index >= count) {
        return nullptr;
    }
    return &queues[static_cast<std::size_t>(index)];
}

tresult PLUGIN_API OutputValueQueue::queryInterface(const Steinberg::TUID iid, void** obj) {
    return answerOwnInterface(iid, sv::IParamValueQueue::iid, this, obj);
}

tresult PLUGIN_API OutputValueQueue::getPoint(Steinberg::int32 index,
                                              Steinberg::int32& sampleOffset,
                                              sv::ParamValue& value) {
    if (index < 0 || index >= count) {
        return Steinberg::kInvalidArgument;
    }
    sampleOffset = points[static_cast<std::size_t>(index)].first;
    value = points[static_cast<std::size_t>(index)].second;
    return kResultOk;
}

tresult PLUGIN_API OutputValueQueue::addPoint(Steinberg::int32 sampleOffset, sv::ParamValue value,
                                              Steinberg::int32& index) {
    if (count < kMaxPoints) {
        ++count;
    }
    index = count - 1;
    points[static_cast<std::size_t>(index)] = {sampleOffset, value};
    return kResultOk;
}

tresult PLUGIN_API OutputChanges::queryInterface(const Steinberg::TUID iid, void** obj) {
    return answerOwnInterface(iid, sv::IParameterChanges::iid, this, obj);
}

sv::IParamValueQueue* PLUGIN_API OutputChanges::getParameterData(Steinberg::int32 index) {
    if (index < 0 || index >= count) {
        return nullptr;
    }
    return &queues[static_cast<std::size_t>(index)];
}

sv::IParamValueQueue* PLUGIN_API OutputChanges::addParameterData(const sv::ParamID& id,
                                                                 Steinberg::int32& index) {
    for (Steinberg::int32 i = 0; i < count; ++i) {
        if (queues[static_cast<std::size_t>(i)].id == id) {
            index = i;
            return &queues[static_cast<std::size_t>(i)];
        }
    }
    if (static_cast<std::size_t>(count) >= queues.size()) {
        index = -1;
        return nullptr;
    }
    index = count++;
    OutputValueQueue& queue = queues[static_cast<std::size_t>(index)];
    queue.id = id;
    queue.count = 0;
    return &queue;
}

// ---- host context -------------------------------------------------------------------------

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

// ---- set-up and teardown ------------------------------------------------------------------

void Vst3Effect::Impl::instantiate(std::shared_ptr<LoadedModule> loaded) {
    module = std::move(loaded);
    Steinberg::IPluginFactory* factory = module->factory();
    void* created = nullptr;
    if (factory->createInstance(module->classId(), sv::IComponent::iid, &created) != kResultOk ||
        created == nullptr) {
        fail("VST3 effect creation failed.");
    }
    component = static_cast<sv::IComponent*>(created);
    auto* context = static_cast<sv::IHostApplication*>(&host);
    if (component->initialize(context) != kResultOk) {
        fail("VST3 component initialization failed.");
    }
    componentInitialized = true;
    processor = queryOf<sv::IAudioProcessor>(component);
    if (processor == nullptr) {
        fail("VST3 audio processor is absent.");
    }
    controller = queryOf<sv::IEditController>(component);
    if (controller == nullptr) {
        Steinberg::TUID controllerId{};
        if (component->getControllerClassId(controllerId) != kResultOk) {
            fail("VST3 controller class is absent.");
        }
        created = nullptr;
        if (factory->createInstance(controllerId, sv::IEditController::iid, &created) !=
                kResultOk ||
            created == nullptr) {
            fail("VST3 controller creation failed.");
        }
        controller = static_cast<sv::IEditController*>(created);
        separateController = true;
        if (controller->initialize(context) != kResultOk) {
            fail("VST3 controller initialization failed.");
        }
        controllerInitialized = true;
    }
    if (controller->setComponentHandler(&host) != kResultOk) {
        fail("VST3 controller rejected host handler.");
    }
    componentConnection = queryOf<sv::IConnectionPoint>(component);
    controllerConnection = queryOf<sv::IConnectionPoint>(controller);
    if (separateController && componentConnection != nullptr && controllerConnection != nullptr) {
        if (componentConnection->connect(controllerConnection) != kResultOk) {
            fail("VST3 processor connection failed.");
        }
        componentConnected = true;
        if (controllerConnection->connect(componentConnection) != kResultOk) {
            fail("VST3 controller connection failed.");
        }
        controllerConnected = true;
    }
}

void Vst3Effect::Impl::configureProcessing(double rate, std::int32_t block,
                                           std::int32_t hostChannels, std::int32_t sidechain) {
    if (!std::isfinite(rate) || rate < 8000.0 || rate > 384000.0 || block < 1 || block > 65536 ||
        (hostChannels != 1 && hostChannels != 2) || sidechain < 0 || sidechain > 2) {
        fail("Unsupported host processing configuration.");
    }
    sampleRate = rate;
    maxBlock = block;
    channels = hostChannels;
    sidechainMode = sidechain;

    if (processor->canProcessSampleSize(sv::kSample32) != kResultOk) {
        fail("VST3 effect does not support float32 processing.");
    }
    inputBusCount = component->getBusCount(sv::kAudio, sv::kInput);
    outputBusCount = component->getBusCount(sv::kAudio, sv::kOutput);
    if (inputBusCount < 1 || inputBusCount > kMaxBuses || outputBusCount < 1 ||
        outputBusCount > kMaxBuses) {
        fail("Unsupported VST3 audio-bus count.");
    }

    std::array<sv::SpeakerArrangement, kMaxBuses> inputArrangements{};
    std::array<sv::SpeakerArrangement, kMaxBuses> outputArrangements{};
    for (std::int32_t i = 0; i < inputBusCount; ++i) {
        sv::BusInfo info{};
        if (component->getBusInfo(sv::kAudio, sv::kInput, i, info) != kResultOk) {
            fail("Invalid VST3 input bus.");
        }
        if (info.busType == sv::kMain && mainInputBus < 0) {
            mainInputBus = i;
        } else if (info.busType == sv::kAux && sidechainBus < 0) {
            sidechainBus = i;
        }
        (void)processor->getBusArrangement(sv::kInput, i, inputArrangements[i]);
    }
    for (std::int32_t i = 0; i < outputBusCount; ++i) {
        sv::BusInfo info{};
        if (component->getBusInfo(sv::kAudio, sv::kOutput, i, info) != kResultOk) {
            fail("Invalid VST3 output bus.");
        }
        if (info.busType == sv::kMain && mainOutputBus < 0) {
            mainOutputBus = i;
        }
        (void)processor->getBusArrangement(sv::kOutput, i, outputArrangements[i]);
    }
    if (mainInputBus < 0 || mainOutputBus < 0) {
        fail("VST3 audio effect needs main input and output buses.");
    }
    if (sidechainMode != 0 && sidechainBus < 0) {
        fail("Requested external sidechain bus is absent.");
    }

    const sv::SpeakerArrangement hostArrangement =
        channels == 1 ? sv::SpeakerArr::kMono : sv::SpeakerArr::kStereo;
    inputArrangements[mainInputBus] = hostArrangement;
    outputArrangements[mainOutputBus] = hostArrangement;
    if (sidechainMode != 0) {
        inputArrangements[sidechainBus] =
            sidechainMode == 1 ? sv::SpeakerArr::kMono : sv::SpeakerArr::kStereo;
    }
    if (processor->setBusArrangements(inputArrangements.data(), inputBusCount,
                                      outputArrangements.data(), outputBusCount) != kResultOk) {
        if (channels == 2) {
            fail("VST3 effect rejected stereo bus arrangement.");
        }
        inputArrangements[mainInputBus] = sv::SpeakerArr::kStereo;
        outputArrangements[mainOutputBus] = sv::SpeakerArr::kStereo;
        if (processor->setBusArrangements(inputArrangements.data(), inputBusCount,
                                          outputArrangements.data(), outputBusCount) != kResultOk) {
            fail("VST3 effect rejected mono and stereo bus arrangements.");
        }
    }

    // The counts read after the arrangement are the ones the bus records are built for.
    inputBusCount = component->getBusCount(sv::kAudio, sv::kInput);
    outputBusCount = component->getBusCount(sv::kAudio, sv::kOutput);
    if (inputBusCount < 1 || inputBusCount > kMaxBuses || outputBusCount < 1 ||
        outputBusCount > kMaxBuses || mainInputBus >= inputBusCount ||
        mainOutputBus >= outputBusCount || (sidechainMode != 0 && sidechainBus >= inputBusCount)) {
        fail("VST3 changed bus counts unexpectedly.");
    }
    sv::BusInfo mainIn{};
    sv::BusInfo mainOut{};
    (void)component->getBusInfo(sv::kAudio, sv::kInput, mainInputBus, mainIn);
    (void)component->getBusInfo(sv::kAudio, sv::kOutput, mainOutputBus, mainOut);
    mainInputChannels = mainIn.channelCount;
    mainOutputChannels = mainOut.channelCount;
    if (mainInputChannels < 1 || mainInputChannels > 2 || mainOutputChannels < 1 ||
        mainOutputChannels > 2) {
        fail("Only mono/stereo main buses are supported.");
    }
    if (sidechainMode != 0) {
        sv::BusInfo aux{};
        (void)component->getBusInfo(sv::kAudio, sv::kInput, sidechainBus, aux);
        if (aux.busType != sv::kAux || aux.channelCount != sidechainMode) {
            fail("VST3 sidechain arrangement does not match request.");
        }
    }

    for (std::int32_t i = 0; i < inputBusCount; ++i) {
        const bool on = i == mainInputBus || (sidechainMode != 0 && i == sidechainBus);
        if (component->activateBus(sv::kAudio, sv::kInput, i, on) != kResultOk) {
            fail("VST3 input activation failed.");
        }
    }
    for (std::int32_t i = 0; i < outputBusCount; ++i) {
        if (component->activateBus(sv::kAudio, sv::kOutput, i, i == mainOutputBus) != kResultOk) {
            fail("VST3 output activation failed.");
        }
    }
    const std::int32_t eventInputs = component->getBusCount(sv::kEvent, sv::kInput);
    for (std::int32_t i = 0; i < eventInputs; ++i) {
        (void)component->activateBus(sv::kEvent, sv::kInput, i, false);
    }

    for (auto* scratch : {&inputScratch, &outputScratch, &sidechainScratch}) {
        for (auto& channel : *scratch) {
            channel.assign(static_cast<std::size_t>(maxBlock), 0.0f);
        }
    }
    for (std::int32_t i = 0; i < inputBusCount; ++i) {
        auto& record = inputBuffers[i];
        auto& pointers = inputChannelPointers[i];
        if (i == mainInputBus) {
            pointers = {inputScratch[0].data(), inputScratch[1].data()};
            record.numChannels = mainInputChannels;
        } else {
            pointers = {sidechainScratch[0].data(), sidechainScratch[1].data()};
            record.numChannels = (sidechainMode != 0 && i == sidechainBus) ? sidechainMode : 0;
        }
        record.silenceFlags = 0;
        record.channelBuffers32 = pointers.data();
    }
    for (std::int32_t i = 0; i < outputBusCount; ++i) {
        auto& pointers = outputChannelPointers[i];
        pointers = {outputScratch[0].data(), outputScratch[1].data()};
        outputBuffers[i].numChannels = i == mainOutputBus ? mainOutputChannels : 0;
        outputBuffers[i].silenceFlags = 0;
        outputBuffers[i].channelBuffers32 = pointers.data();
    }

    sv::ProcessSetup setup{sv::kRealtime, sv::kSample32, maxBlock, sampleRate};
    if (processor->setupProcessing(setup) != kResultOk) {
        fail("VST3 processing setup failed.");
    }

    const auto count = static_cast<std::uint32_t>(controller->getParameterCount());
    if (count > static_cast<std::uint32_t>(kMaxParameters)) {
        fail("VST3 parameter count exceeds host bound.");
    }
    parameters.clear();
    parameterFlags.clear();
    parameters.reserve(count);
    parameterFlags.reserve(count);
    parameterIndex.clear();
    parameterIndex.reserve(count);
    for (std::uint32_t index = 0; index < count; ++index) {
        sv::ParameterInfo info{};
        if (controller->getParameterInfo(static_cast<Steinberg::int32>(index), info) != kResultOk) {
            fail("Invalid VST3 parameter metadata.");
        }
        auto where =
            std::lower_bound(parameterIndex.begin(), parameterIndex.end(), info.id,
                             [](const auto& entry, std::uint32_t id) { return entry.first < id; });
        if (where != parameterIndex.end() && where->first == info.id) {
            fail("Duplicate VST3 parameter ID.");
        }
        parameterIndex.insert(where, {info.id, index});
        ParameterInfo entry;
        entry.id = info.id;
        entry.title = utf16ToUtf8(info.title);
        entry.units = utf16ToUtf8(info.units);
        entry.normalized = controller->getParamNormalized(info.id);
        entry.stepCount = info.stepCount;
        entry.readOnly = (info.flags & sv::ParameterInfo::kIsReadOnly) != 0;
        parameters.push_back(std::move(entry));
        parameterFlags.push_back(info.flags);
    }
    values = std::make_unique<ParameterValue[]>(parameters.size());
    // One queue per parameter at most, and at least one for a plug-in that reports a value it
    // does not list.
    outputChanges.queues.assign(std::max<std::size_t>(parameters.size(), 1), OutputValueQueue{});
    outputChanges.clear();
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        values[i].normalized.store(parameters[i].normalized, std::memory_order_relaxed);
    }

    if (component->setActive(true) != kResultOk) {
        fail("VST3 activation failed.");
    }
    active = true;
    // The SDK's effect base answers kNotImplemented here: that is a plug-in that just started.
    const tresult started = processor->setProcessing(true);
    if (started != kResultOk && started != Steinberg::kNotImplemented) {
        fail("VST3 processing start failed.");
    }
    processing = true;
    const Steinberg::uint32 latency = processor->getLatencySamples();
    if (latency > 2147483647u) {
        fail("VST3 latency exceeds host bound.");
    }
    latencySamples = static_cast<std::int32_t>(latency);
    restartFlags.store(0, std::memory_order_release);
}

void Vst3Effect::Impl::shutdown() noexcept {
    closeEditor();
    try {
        if (processing) {
            processor->setProcessing(false);
        }
        processing = false;
        if (active) {
            component->setActive(false);
        }
        active = false;
        if (componentConnected) {
            componentConnection->disconnect(controllerConnection);
        }
        if (controllerConnected) {
            controllerConnection->disconnect(componentConnection);
        }
        componentConnected = controllerConnected = false;
        for (auto** point : {&componentConnection, &controllerConnection}) {
            if (*point != nullptr) {
                (*point)->release();
                *point = nullptr;
            }
        }
        if (controller != nullptr) {
            controller->setComponentHandler(nullptr);
            if (controllerInitialized) {
                controller->terminate();
            }
            controllerInitialized = false;
            controller->release();
            controller = nullptr;
        }
        if (processor != nullptr) {
            processor->release();
            processor = nullptr;
        }
        if (component != nullptr) {
            if (componentInitialized) {
                component->terminate();
            }
            componentInitialized = false;
            component->release();
            component = nullptr;
        }
    } catch (...) {
        // A plug-in that throws while going away is left as it is; the module still goes.
    }
    module.reset();
}

// ---- parameters ---------------------------------------------------------------------------

bool Vst3Effect::Impl::storeParameter(std::size_t index, double value,
                                      bool fromController) noexcept {
    if (!std::isfinite(value) || (parameterFlags[index] & sv::ParameterInfo::kIsReadOnly) != 0) {
        return false;
    }
    ParameterValue& slot = values[index];
    slot.normalized.store(std::clamp(value, 0.0, 1.0), std::memory_order_relaxed);
    slot.pendingForAudio.store(1, std::memory_order_release);
    if (fromController) {
        slot.changedForUi.store(1, std::memory_order_release);
        uiChangesPending.store(1, std::memory_order_release);
    } else {
        slot.changedForController.store(1, std::memory_order_release);
        controllerSyncPending.store(1, std::memory_order_release);
    }
    return true;
}

bool Vst3Effect::Impl::setParameterById(std::uint32_t id, double value,
                                        bool fromController) noexcept {
    if (!std::isfinite(value)) {
        return false;
    }
    auto where = std::lower_bound(parameterIndex.begin(), parameterIndex.end(), id,
                                  [](const std::pair<std::uint32_t, std::uint32_t>& entry,
                                     std::uint32_t key) { return entry.first < key; });
    if (where == parameterIndex.end() || where->first != id) {
        return false;
    }
    return storeParameter(where->second, value, fromController);
}

// ---- processing ---------------------------------------------------------------------------

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

// ---- holder -------------------------------------------------------------------------------

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

bool Vst3Effect::process(const float* const* inputs, float* const* outputs, std::int32_t frames,
                         const float* const* sidechain) noexcept {
    return impl_ != nullptr && impl_->process(inputs, outputs, frames, sidechain);
}

bool Vst3Effect::needsReconfiguration() const noexcept {
    return impl_ != nullptr &&
           (impl_->restartFlags.load(std::memory_order_acquire) & kRebuildMask) != 0;
}

bool Vst3Effect::setParameter(std::uint32_t id, double normalized) {
    return impl_ != nullptr && impl_->setParameterById(id, normalized, false);
}

std::vector<Vst3Effect::ParameterInfo> Vst3Effect::parameters() const {
    if (impl_ == nullptr) {
        return {};
    }
    std::vector<ParameterInfo> result = impl_->parameters;
    for (std::size_t i = 0; i < result.size(); ++i) {
        result[i].normalized = impl_->values[i].normalized.load(std::memory_order_relaxed);
    }
    return result;
}

std::vector<Vst3Effect::ParameterUpdate> Vst3Effect::pollParameterChanges(std::size_t max) {
    std::vector<ParameterUpdate> updates;
    if (impl_ == nullptr || max == 0) {
        return updates;
    }
    Impl& d = *impl_;
    const std::size_t limit = std::min<std::size_t>(max, kMaxParameters);
    std::int32_t flags = d.restartFlags.load(std::memory_order_acquire);
    while (!d.restartFlags.compare_exchange_weak(flags, flags & ~sv::kParamValuesChanged,
                                                 std::memory_order_acq_rel)) {
    }
    const bool reread = (flags & sv::kParamValuesChanged) != 0;
    bool uiPending = d.uiChangesPending.exchange(0, std::memory_order_acquire) != 0;
    const bool syncPending = d.controllerSyncPending.exchange(0, std::memory_order_acquire) != 0;
    if (!reread && !uiPending && !syncPending) {
        return updates;
    }
    const std::size_t count = d.parameters.size();
    if (syncPending && d.controller != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            if (d.parameters[i].readOnly ||
                d.values[i].changedForController.exchange(0, std::memory_order_acquire) == 0) {
                continue;
            }
            try {
                d.controller->setParamNormalized(
                    d.parameters[i].id, d.values[i].normalized.load(std::memory_order_relaxed));
            } catch (...) {
                d.restartFlags.fetch_or(sv::kReloadComponent, std::memory_order_acq_rel);
            }
        }
    }
    if (reread && d.controller != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            if (d.parameters[i].readOnly) {
                continue;
            }
            try {
                const double fresh = d.controller->getParamNormalized(d.parameters[i].id);
                // Only values that really moved are stored, sent and reported. A controller keeps
                // values in its own units and precision, so after a state restore it reads back a
                // value just set as its rounding of it: that is not a move.
                if (std::isfinite(fresh) &&
                    std::abs(std::clamp(fresh, 0.0, 1.0) -
                             d.values[i].normalized.load(std::memory_order_relaxed)) >
                        kControllerRounding) {
                    d.storeParameter(i, fresh, true);
                }
            } catch (...) {
                d.restartFlags.fetch_or(sv::kReloadComponent, std::memory_order_acq_rel);
            }
        }
        uiPending = true;
    }
    if (!uiPending || count == 0) {
        return updates;
    }
    std::size_t visited = 0;
    for (; visited < count && updates.size() < limit; ++visited) {
        const std::size_t i = d.pollCursor;
        d.pollCursor = (d.pollCursor + 1) % count;
        if (!d.parameters[i].readOnly &&
            d.values[i].changedForUi.exchange(0, std::memory_order_acquire) != 0) {
            updates.push_back(
                {d.parameters[i].id, d.values[i].normalized.load(std::memory_order_relaxed)});
        }
    }
    if (updates.size() == limit && visited < count) {
        d.uiChangesPending.store(1, std::memory_order_release);
    }
    return updates;
}

std::int32_t Vst3Effect::latencySamples() const noexcept {
    return impl_ != nullptr ? impl_->latencySamples : 0;
}

} // namespace kestravon::ruvi
