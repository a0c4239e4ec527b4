// Bringing an instance up and down: the plug-in's objects created, initialised and connected;
// then processing configured step by step (host values, sample size, buses, bus records,
// processor set-up, parameter table, start); and the teardown that undoes whatever succeeded.

#include "vst3/vst3_effect_impl.h"
#include "vst3/vst3_strings.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kestravon::ruvi {
namespace {

using Steinberg::kResultOk;
using Steinberg::tresult;

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

} // namespace

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
    acceptHostConfiguration(rate, block, hostChannels, sidechain);
    requireFloat32();
    readBusCounts();
    Arrangements inputArrangements{};
    Arrangements outputArrangements{};
    findBuses(inputArrangements, outputArrangements);
    arrangeBuses(inputArrangements, outputArrangements);
    checkNegotiatedBuses();
    activateBuses();
    prepareBusRecords();
    setUpProcessor();
    readParameterTable();
    startProcessing();
}

// The host's own values, within the bounds the buffers and the bus records are built for.
void Vst3Effect::Impl::acceptHostConfiguration(double rate, std::int32_t block,
                                               std::int32_t hostChannels, std::int32_t sidechain) {
    if (!std::isfinite(rate) || rate < 8000.0 || rate > 384000.0 || block < 1 || block > 65536 ||
        (hostChannels != 1 && hostChannels != 2) || sidechain < 0 || sidechain > 2) {
        fail("Unsupported host processing configuration.");
    }
    sampleRate = rate;
    maxBlock = block;
    channels = hostChannels;
    sidechainMode = sidechain;
}

void Vst3Effect::Impl::requireFloat32() {
    if (processor->canProcessSampleSize(sv::kSample32) != kResultOk) {
        fail("VST3 effect does not support float32 processing.");
    }
}

void Vst3Effect::Impl::readBusCounts() {
    inputBusCount = component->getBusCount(sv::kAudio, sv::kInput);
    outputBusCount = component->getBusCount(sv::kAudio, sv::kOutput);
    if (inputBusCount < 1 || inputBusCount > kMaxBuses || outputBusCount < 1 ||
        outputBusCount > kMaxBuses) {
        fail("Unsupported VST3 audio-bus count.");
    }
}

// The first main input and output and the first auxiliary input, with every bus's arrangement
// as the plug-in has it now.
void Vst3Effect::Impl::findBuses(Arrangements& inputs, Arrangements& outputs) {
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
        (void)processor->getBusArrangement(sv::kInput, i, inputs[i]);
    }
    for (std::int32_t i = 0; i < outputBusCount; ++i) {
        sv::BusInfo info{};
        if (component->getBusInfo(sv::kAudio, sv::kOutput, i, info) != kResultOk) {
            fail("Invalid VST3 output bus.");
        }
        if (info.busType == sv::kMain && mainOutputBus < 0) {
            mainOutputBus = i;
        }
        (void)processor->getBusArrangement(sv::kOutput, i, outputs[i]);
    }
    if (mainInputBus < 0 || mainOutputBus < 0) {
        fail("VST3 audio effect needs main input and output buses.");
    }
    if (sidechainMode != 0 && sidechainBus < 0) {
        fail("Requested external sidechain bus is absent.");
    }
}

// The host's width on both main buses; a mono host falls back to stereo main buses, which the
// processing adapts.
void Vst3Effect::Impl::arrangeBuses(Arrangements& inputs, Arrangements& outputs) {
    const sv::SpeakerArrangement hostArrangement =
        channels == 1 ? sv::SpeakerArr::kMono : sv::SpeakerArr::kStereo;
    inputs[mainInputBus] = hostArrangement;
    outputs[mainOutputBus] = hostArrangement;
    if (sidechainMode != 0) {
        inputs[sidechainBus] = sidechainMode == 1 ? sv::SpeakerArr::kMono : sv::SpeakerArr::kStereo;
    }
    if (processor->setBusArrangements(inputs.data(), inputBusCount, outputs.data(),
                                      outputBusCount) != kResultOk) {
        if (channels == 2) {
            fail("VST3 effect rejected stereo bus arrangement.");
        }
        inputs[mainInputBus] = sv::SpeakerArr::kStereo;
        outputs[mainOutputBus] = sv::SpeakerArr::kStereo;
        if (processor->setBusArrangements(inputs.data(), inputBusCount, outputs.data(),
                                          outputBusCount) != kResultOk) {
            fail("VST3 effect rejected mono and stereo bus arrangements.");
        }
    }
}

// What the plug-in made of the arrangement: the counts read now are the ones the bus records
// are built for, and the main buses' widths the ones processing copies.
void Vst3Effect::Impl::checkNegotiatedBuses() {
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
}

// Only the buses the host feeds and reads are on; no event input is.
void Vst3Effect::Impl::activateBuses() {
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
}

// The scratch buffers of maxBlock samples and the bus records that point into them: the main
// buses at the input and output scratch, the sidechain at its own, every other bus empty.
void Vst3Effect::Impl::prepareBusRecords() {
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
}

void Vst3Effect::Impl::setUpProcessor() {
    sv::ProcessSetup setup{sv::kRealtime, sv::kSample32, maxBlock, sampleRate};
    if (processor->setupProcessing(setup) != kResultOk) {
        fail("VST3 processing setup failed.");
    }
}

// The controller's parameters with their current values, the id index every thread looks
// values up in, and the live values and output queues sized for them.
void Vst3Effect::Impl::readParameterTable() {
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
}

// Active and processing, with the latency it reports now and no restart request left over.
void Vst3Effect::Impl::startProcessing() {
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

} // namespace kestravon::ruvi
