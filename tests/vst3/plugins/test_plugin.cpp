// A small VST3 effect for the host's tests. Compile definitions pick its behaviour:
//   TP_CID_SEED          distinguishes the class ids of the bundles
//   TP_SINGLE            the component is its own edit controller
//   TP_BUS_MODE          0 mono or stereo, 1 stereo only, 2 refuses both, 3 a 3-channel main bus
//   TP_PARAMS            parameter count (at least 4); TP_DUPLICATE_ID repeats id 0 at the end
//   TP_LATENCY           reported latency, and a real delay of that many samples
//   TP_FAIL_PROCESSING   setProcessing(true) answers kResultFalse (else kNotImplemented)
//   TP_MODULE            0 normal, 1 ModuleEntry fails, 2 no classes, 3 4097 classes,
//                        4 only a controller class, 5 no ModuleEntry
// Parameters: 0 gain (0.5 is unity), 1 meter (read-only), 2 fault (stepCount 3: none, right
// output silent, NaN output, infinite output), 3.. spare.

#include "test_plugin_probe.h"

#include "pluginterfaces/base/ibstream.h"
#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivsthostapplication.h"
#include "pluginterfaces/vst/ivstmessage.h"
#include "pluginterfaces/vst/ivstparameterchanges.h"
#include "pluginterfaces/vst/ivstpluginterfacesupport.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef TP_CID_SEED
#define TP_CID_SEED 1
#endif
#ifndef TP_BUS_MODE
#define TP_BUS_MODE 0
#endif
#ifndef TP_PARAMS
#define TP_PARAMS 4
#endif
#ifndef TP_LATENCY
#define TP_LATENCY 0
#endif
#ifndef TP_MODULE
#define TP_MODULE 0
#endif
// TP_MEMO: the component state also holds a note (at most kMemoBytes) that no parameter reaches;
// it comes only from a restored state, so only a kept state brings it back.
#ifndef TP_MEMO
#define TP_MEMO 0
#endif

#define TP_EXPORT extern "C" __attribute__((visibility("default")))

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

TestplugProbe gProbe{};
std::atomic<int> gComponentStateMode{0};
std::atomic<int> gControllerStateMode{0};
std::atomic<int> gEditorMode{0};

constexpr std::uint32_t kGain = 0;
constexpr std::uint32_t kMeter = 1;
constexpr std::uint32_t kFault = 2;
constexpr std::int64_t kHugeState = 16777216 + 1024;
constexpr std::uint32_t kMemoBytes = 256;

void trace(const char* event) {
    using TraceFn = void (*)(const char*);
    auto fn = reinterpret_cast<TraceFn>(::dlsym(RTLD_DEFAULT, "ruviTestplugTrace"));
    if (fn != nullptr) {
        fn(event);
    }
}

void makeCid(TUID cid, int role) {
    for (int i = 0; i < 16; ++i) {
        cid[i] = static_cast<char>(0x40 + TP_CID_SEED * 7 + i);
    }
    cid[15] = static_cast<char>(role);
}

std::uint32_t paramIdAt(int index) {
#ifdef TP_DUPLICATE_ID
    if (index == TP_PARAMS - 1) {
        return 0;
    }
#endif
    return static_cast<std::uint32_t>(index);
}

void setTitle(String128 target, const char* text) {
    std::size_t i = 0;
    for (; text[i] != 0 && i < 127; ++i) {
        target[i] = static_cast<char16>(text[i]);
    }
    target[i] = 0;
}

bool writeAll(IBStream* stream, const void* data, std::int64_t size) {
    auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const auto chunk = static_cast<int32>(std::min<std::int64_t>(size, 1 << 20));
        int32 written = 0;
        if (stream->write(const_cast<char*>(bytes), chunk, &written) != kResultOk ||
            written != chunk) {
            return false;
        }
        bytes += chunk;
        size -= chunk;
    }
    return true;
}

bool writeHuge(IBStream* stream) {
    std::vector<char> block(1 << 20, 'x');
    for (std::int64_t left = kHugeState; left > 0;
         left -= static_cast<std::int64_t>(block.size())) {
        if (!writeAll(stream, block.data(),
                      std::min<std::int64_t>(left, static_cast<std::int64_t>(block.size())))) {
            return false;
        }
    }
    return true;
}

class TestView;
class TestPlugin;
std::mutex gNewestMutex;
TestPlugin* gNewestController = nullptr;
TestView* gNewestView = nullptr;

class TestView final : public IPlugView {
public:
    explicit TestView(int mode) : mode_(mode) {}

    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, IPlugView::iid) ||
            FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
            addRef();
            *obj = this;
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return ++refs_; }
    uint32 PLUGIN_API release() override {
        const uint32 left = --refs_;
        if (left == 0) {
            std::lock_guard lock(gNewestMutex);
            if (gNewestView == this) {
                gNewestView = nullptr;
            }
            delete this;
        }
        return left;
    }
    tresult PLUGIN_API isPlatformTypeSupported(FIDString type) override {
        return std::strcmp(type, kPlatformTypeX11EmbedWindowID) == 0 ? kResultTrue : kResultFalse;
    }
    tresult PLUGIN_API attached(void* parent, FIDString) override {
        if (parent == nullptr) {
            return kInvalidArgument;
        }
        ++gProbe.viewAttaches;
        {
            std::lock_guard lock(gNewestMutex);
            gNewestView = this;
        }
        if (mode_ == 4 && frame_ != nullptr) {
            ViewRect wanted(0, 0, 640, 480);
            gProbe.resizeViewResult = frame_->resizeView(this, &wanted);
        }
        return kResultOk;
    }
    tresult PLUGIN_API removed() override { return kResultOk; }
    tresult PLUGIN_API onWheel(float) override { return kResultFalse; }
    tresult PLUGIN_API onKeyDown(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API onKeyUp(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API getSize(ViewRect* size) override {
        switch (mode_) {
        case 2:
            *size = ViewRect(0, 0, 0, 0);
            break;
        case 3:
            *size = ViewRect(0, 0, 9000, 600);
            break;
        default:
            *size = rect_;
        }
        return kResultOk;
    }
    tresult PLUGIN_API onSize(ViewRect* newSize) override {
        rect_ = *newSize;
        gProbe.viewOnSizeWidth = newSize->getWidth();
        gProbe.viewOnSizeHeight = newSize->getHeight();
        return kResultOk;
    }
    tresult PLUGIN_API onFocus(TBool) override { return kResultOk; }
    tresult PLUGIN_API setFrame(IPlugFrame* frame) override {
        frame_ = frame;
        return kResultOk;
    }
    tresult PLUGIN_API canResize() override { return mode_ == 1 ? kResultFalse : kResultTrue; }
    tresult PLUGIN_API checkSizeConstraint(ViewRect* rect) override {
        rect->right = rect->left + std::min(rect->getWidth(), 800);
        rect->bottom = rect->top + std::min(rect->getHeight(), 600);
        return kResultOk;
    }

    IPlugFrame* frame() const { return frame_; }

private:
    std::atomic<uint32> refs_{1};
    int mode_;
    IPlugFrame* frame_ = nullptr;
    ViewRect rect_{0, 0, 400, 300};
};

// One class plays the component, the controller or both (single-component build).
class TestPlugin final : public IComponent,
                         public IAudioProcessor,
                         public IEditController,
                         public IConnectionPoint {
public:
    explicit TestPlugin(bool isComponent, bool isController)
        : isComponent_(isComponent), isController_(isController) {
        for (int i = 0; i < TP_PARAMS; ++i) {
            values_[static_cast<std::size_t>(i)] = i == static_cast<int>(kGain) ? 0.5 : 0.0;
        }
    }
    ~TestPlugin() {
        std::lock_guard lock(gNewestMutex);
        if (gNewestController == this) {
            gNewestController = nullptr;
        }
    }

    // FUnknown
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        void* found = nullptr;
        if (FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
            found = static_cast<IComponent*>(this);
        } else if (isComponent_ && FUnknownPrivate::iidEqual(iid, IComponent::iid)) {
            found = static_cast<IComponent*>(this);
        } else if (isComponent_ && FUnknownPrivate::iidEqual(iid, IAudioProcessor::iid)) {
            found = static_cast<IAudioProcessor*>(this);
        } else if (isController_ && FUnknownPrivate::iidEqual(iid, IEditController::iid)) {
            found = static_cast<IEditController*>(this);
        } else if (FUnknownPrivate::iidEqual(iid, IConnectionPoint::iid)) {
            found = static_cast<IConnectionPoint*>(this);
        } else if (FUnknownPrivate::iidEqual(iid, IPluginBase::iid)) {
            found = static_cast<IPluginBase*>(static_cast<IComponent*>(this));
        }
        *obj = found;
        if (found == nullptr) {
            return kNoInterface;
        }
        addRef();
        return kResultOk;
    }
    uint32 PLUGIN_API addRef() override { return ++refs_; }
    uint32 PLUGIN_API release() override {
        const uint32 left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // IPluginBase (shared by the component and controller roles)
    tresult PLUGIN_API initialize(FUnknown* context) override {
        if (context == nullptr || initialized_) {
            return kResultFalse; // a second initialize of one object is a host fault
        }
        initialized_ = true;
        recordHost(context);
        if (isComponent_) {
            ++gProbe.componentInitializes;
        }
        if (isController_) {
            ++gProbe.controllerInitializes;
        }
        return kResultOk;
    }
    tresult PLUGIN_API terminate() override {
        if (!initialized_) {
            return kResultFalse;
        }
        initialized_ = false;
        if (isComponent_) {
            ++gProbe.componentTerminates;
        }
        if (isController_) {
            ++gProbe.controllerTerminates;
        }
        return kResultOk;
    }

    // IComponent
    tresult PLUGIN_API getControllerClassId(TUID classId) override {
        makeCid(classId, 2);
        return kResultOk;
    }
    tresult PLUGIN_API setIoMode(IoMode) override { return kResultOk; }
    int32 PLUGIN_API getBusCount(MediaType type, BusDirection) override {
        return type == kAudio ? 1 : 0;
    }
    tresult PLUGIN_API getBusInfo(MediaType type, BusDirection dir, int32 index,
                                  BusInfo& bus) override {
        if (type != kAudio || index != 0) {
            return kInvalidArgument;
        }
        bus.mediaType = kAudio;
        bus.direction = dir;
        bus.channelCount = dir == kInput ? inChannels_ : outChannels_;
        setTitle(bus.name, dir == kInput ? "In" : "Out");
        bus.busType = kMain;
        bus.flags = BusInfo::kDefaultActive;
        return kResultOk;
    }
    tresult PLUGIN_API getRoutingInfo(RoutingInfo&, RoutingInfo&) override {
        return kNotImplemented;
    }
    tresult PLUGIN_API activateBus(MediaType, BusDirection, int32, TBool) override {
        return kResultOk;
    }
    tresult PLUGIN_API setActive(TBool state) override {
        active_ = state != 0;
        return kResultOk;
    }
    // IComponent and IEditController share one setState and getState: the role decides.
    tresult PLUGIN_API setState(IBStream* state) override {
        if (!isComponent_) {
            ++gProbe.controllerSetStates;
            char tag[4]{};
            int32 got = 0;
            return state->read(tag, 4, &got) == kResultOk && got == 4 &&
                           std::memcmp(tag, "CTRL", 4) == 0
                       ? kResultOk
                       : kResultFalse;
        }
        ++gProbe.componentSetStates;
        if (gComponentStateMode.load() == 3) {
            return kResultFalse;
        }
        return readValues(state) ? kResultOk : kResultFalse;
    }
    tresult PLUGIN_API getState(IBStream* state) override {
        const int mode = isComponent_ ? gComponentStateMode.load() : gControllerStateMode.load();
        switch (mode) {
        case 1:
            return kNotImplemented;
        case 2:
            return writeHuge(state) ? kResultOk : kResultFalse;
        default:
            if (!isComponent_) {
                return writeAll(state, "CTRL", 4) ? kResultOk : kResultFalse;
            }
            return writeValues(state) ? kResultOk : kResultFalse;
        }
    }

    // IAudioProcessor
    tresult PLUGIN_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                          SpeakerArrangement* outputs, int32 numOuts) override {
        if (numIns != 1 || numOuts != 1) {
            return kResultFalse;
        }
        const int in = SpeakerArr::getChannelCount(inputs[0]);
        const int out = SpeakerArr::getChannelCount(outputs[0]);
        if (TP_BUS_MODE == 2 || (TP_BUS_MODE == 1 && (in != 2 || out != 2)) || in < 1 || in > 2 ||
            in != out) {
            return kResultFalse;
        }
        inChannels_ = TP_BUS_MODE == 3 ? 3 : in;
        outChannels_ = TP_BUS_MODE == 3 ? 3 : out;
        return kResultOk;
    }
    tresult PLUGIN_API getBusArrangement(BusDirection dir, int32 index,
                                         SpeakerArrangement& arr) override {
        if (index != 0) {
            return kInvalidArgument;
        }
        arr = (dir == kInput ? inChannels_ : outChannels_) == 1 ? SpeakerArr::kMono
                                                                : SpeakerArr::kStereo;
        return kResultOk;
    }
    tresult PLUGIN_API canProcessSampleSize(int32 size) override {
        return size == kSample32 ? kResultOk : kResultFalse;
    }
    uint32 PLUGIN_API getLatencySamples() override { return TP_LATENCY; }
    tresult PLUGIN_API setupProcessing(ProcessSetup& setup) override {
        for (auto& line : delay_) {
            line.assign(static_cast<std::size_t>(TP_LATENCY) + 1, 0.0f);
        }
        return setup.symbolicSampleSize == kSample32 ? kResultOk : kResultFalse;
    }
    tresult PLUGIN_API setProcessing(TBool) override {
#ifdef TP_FAIL_PROCESSING
        return kResultFalse;
#else
        return kNotImplemented;
#endif
    }
    tresult PLUGIN_API process(ProcessData& data) override {
        ++gProbe.processCalls;
        gProbe.lastFrames = data.numSamples;
        gProbe.changeCount = 0;
        if (data.inputParameterChanges != nullptr) {
            const int32 count = data.inputParameterChanges->getParameterCount();
            gProbe.changeCount = count;
            for (int32 i = 0; i < count; ++i) {
                IParamValueQueue* queue = data.inputParameterChanges->getParameterData(i);
                int32 offset = -1;
                ParamValue value = -1;
                queue->getPoint(0, offset, value);
                const ParamID id = queue->getParameterId();
                if (i < 64) {
                    gProbe.changeIds[i] = id;
                    gProbe.changeValues[i] = value;
                    gProbe.changeOffsets[i] = offset;
                    gProbe.changePoints[i] = queue->getPointCount();
                }
                if (id < static_cast<ParamID>(TP_PARAMS)) {
                    audioValues_[id] = value;
                }
            }
        }
        if (data.numSamples == 0) {
            return kResultOk;
        }
        if (data.numInputs < 1 || data.numOutputs < 1) {
            return kResultFalse;
        }
        const AudioBusBuffers& in = data.inputs[0];
        AudioBusBuffers& out = data.outputs[0];
        gProbe.mainInputChannels = in.numChannels;
        gProbe.mainOutputChannels = out.numChannels;
        gProbe.inputSilence = in.silenceFlags;
        const double gain = audioValues_[kGain] * 2.0;
        const int fault = static_cast<int>(std::lround(audioValues_[kFault] * 3.0));
        for (int32 c = 0; c < out.numChannels; ++c) {
            const float* source = in.channelBuffers32[std::min(c, in.numChannels - 1)];
            float* target = out.channelBuffers32[c];
            auto& line = delay_[static_cast<std::size_t>(std::min(c, 2))];
            for (int32 k = 0; k < data.numSamples; ++k) {
                float sample = static_cast<float>(source[k] * gain);
                if (TP_LATENCY > 0) {
                    line[writePos_[c]] = sample;
                    const std::size_t read = (writePos_[c] + 1) % line.size();
                    sample = line[read];
                    writePos_[c] = read;
                }
                target[k] = sample;
            }
            if (c == 1 && fault == 1) {
                std::fill_n(target, data.numSamples, 0.0f);
            }
        }
        if (fault >= 2 && out.numChannels > 0) {
            out.channelBuffers32[0][0] = fault == 2 ? std::numeric_limits<float>::quiet_NaN()
                                                    : std::numeric_limits<float>::infinity();
        }
        return kResultOk;
    }
    uint32 PLUGIN_API getTailSamples() override {
        return 0;
    }

    // IEditController
    tresult PLUGIN_API setComponentState(IBStream* state) override {
        ++gProbe.controllerSetComponentStates;
        return readValues(state) ? kResultOk : kResultFalse;
    }
    int32 PLUGIN_API getParameterCount() override {
        return TP_PARAMS;
    }
    tresult PLUGIN_API getParameterInfo(int32 index, ParameterInfo& info) override {
        if (index < 0 || index >= TP_PARAMS) {
            return kInvalidArgument;
        }
        info.id = paramIdAt(index);
        info.stepCount = info.id == kFault ? 3 : 0;
        info.defaultNormalizedValue = info.id == kGain ? 0.5 : 0.0;
        info.flags = info.id == kMeter ? ParameterInfo::kIsReadOnly : ParameterInfo::kCanAutomate;
        setTitle(info.title, info.id == kGain    ? "Gain"
                             : info.id == kMeter ? "Meter"
                             : info.id == kFault ? "Fault"
                                                 : "Spare");
        setTitle(info.shortTitle, "P");
        setTitle(info.units, info.id == kGain ? "dB" : "");
        info.unitId = 0;
        return kResultOk;
    }
    tresult PLUGIN_API getParamStringByValue(ParamID, ParamValue, String128 string) override {
        setTitle(string, "");
        return kResultOk;
    }
    tresult PLUGIN_API getParamValueByString(ParamID, TChar*, ParamValue&) override {
        return kResultFalse;
    }
    ParamValue PLUGIN_API normalizedParamToPlain(ParamID, ParamValue value) override {
        return value;
    }
    ParamValue PLUGIN_API plainParamToNormalized(ParamID, ParamValue value) override {
        return value;
    }
    ParamValue PLUGIN_API getParamNormalized(ParamID id) override {
        return id < static_cast<ParamID>(TP_PARAMS) ? values_[id].load() : 0.0;
    }
    tresult PLUGIN_API setParamNormalized(ParamID id, ParamValue value) override {
        if (id >= static_cast<ParamID>(TP_PARAMS)) {
            return kInvalidArgument;
        }
        values_[id] = value;
        return kResultOk;
    }
    tresult PLUGIN_API setComponentHandler(IComponentHandler* handler) override {
        handler_ = handler;
        std::lock_guard lock(gNewestMutex);
        gNewestController =
            handler != nullptr ? this : (gNewestController == this ? nullptr : gNewestController);
        return kResultOk;
    }
    IPlugView* PLUGIN_API createView(FIDString name) override {
        const int mode = gEditorMode.load();
        if (mode == 5 || std::strcmp(name, ViewType::kEditor) != 0) {
            return nullptr;
        }
        return new TestView(mode);
    }

    // IConnectionPoint
    tresult PLUGIN_API connect(IConnectionPoint* other) override {
        if (other == nullptr || other == this) {
            return kInvalidArgument;
        }
        ++gProbe.connects;
        return kResultOk;
    }
    tresult PLUGIN_API disconnect(IConnectionPoint*) override {
        return kResultOk;
    }
    tresult PLUGIN_API notify(IMessage*) override {
        return kResultOk;
    }

    IComponentHandler* handler() const {
        return handler_;
    }
    void setOwnValue(ParamID id, double value) {
        if (id < static_cast<ParamID>(TP_PARAMS)) {
            values_[id] = value;
        }
    }

private:
    static void recordHost(FUnknown* context) {
        void* found = nullptr;
        if (context->queryInterface(IHostApplication::iid, &found) == kResultOk &&
            found != nullptr) {
            String128 name{};
            static_cast<IHostApplication*>(found)->getName(name);
            for (int i = 0; i < 63 && name[i] != 0; ++i) {
                gProbe.hostName[i] = static_cast<char>(name[i]);
            }
        }
        found = nullptr;
        gProbe.hostHasInterfaceSupport =
            context->queryInterface(IPlugInterfaceSupport::iid, &found) == kResultOk &&
            found != nullptr;
        if (found != nullptr) {
            static_cast<FUnknown*>(found)->release(); // counted, unlike the host's own parts
        }
        found = nullptr;
        gProbe.hostHasComponentHandler =
            context->queryInterface(IComponentHandler::iid, &found) == kResultOk &&
            found != nullptr;
    }

    bool writeValues(IBStream* stream) {
        if (!writeAll(stream, "COMP", 4)) {
            return false;
        }
        for (int i = 0; i < TP_PARAMS; ++i) {
            const double value = isController_ ? values_[static_cast<std::size_t>(i)].load()
                                               : audioValues_[static_cast<std::size_t>(i)];
            if (!writeAll(stream, &value, sizeof(value))) {
                return false;
            }
        }
        if (TP_MEMO != 0) {
            const auto size = static_cast<std::uint32_t>(memo_.size());
            return writeAll(stream, &size, sizeof(size)) &&
                   writeAll(stream, memo_.data(), static_cast<std::int64_t>(size));
        }
        return true;
    }
    bool readValues(IBStream* stream) {
        char tag[4]{};
        int32 got = 0;
        if (stream->read(tag, 4, &got) != kResultOk || got != 4 ||
            std::memcmp(tag, "COMP", 4) != 0) {
            return false;
        }
        for (int i = 0; i < TP_PARAMS; ++i) {
            double value = 0;
            if (stream->read(&value, sizeof(value), &got) != kResultOk || got != sizeof(value)) {
                return false;
            }
            audioValues_[static_cast<std::size_t>(i)] = value;
            values_[static_cast<std::size_t>(i)] = value;
        }
        if (TP_MEMO != 0) {
            std::uint32_t size = 0;
            if (stream->read(&size, sizeof(size), &got) != kResultOk || got != sizeof(size) ||
                size > kMemoBytes) {
                return false;
            }
            std::string memo(size, '\0');
            if (size > 0 &&
                (stream->read(memo.data(), static_cast<int32>(size), &got) != kResultOk ||
                 got != static_cast<int32>(size))) {
                return false;
            }
            memo_ = std::move(memo);
        }
        return true;
    }

    std::atomic<uint32> refs_{1};
    bool isComponent_;
    bool isController_;
    bool initialized_ = false;
    bool active_ = false;
    int inChannels_ = TP_BUS_MODE == 3 ? 3 : 2;
    int outChannels_ = TP_BUS_MODE == 3 ? 3 : 2;
    std::atomic<double> values_[TP_PARAMS];
    double audioValues_[TP_PARAMS]{0.5};
    std::string memo_; // TP_MEMO only
    std::vector<float> delay_[3];
    std::size_t writePos_[3]{};
    IComponentHandler* handler_ = nullptr;
};

class TestFactory final : public IPluginFactory {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, IPluginFactory::iid) ||
            FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
            *obj = this;
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override {
        trace("factory released");
        return 1;
    }
    tresult PLUGIN_API getFactoryInfo(PFactoryInfo* info) override {
        *info = PFactoryInfo("Test", "", "", PFactoryInfo::kUnicode);
        return kResultOk;
    }
    int32 PLUGIN_API countClasses() override {
        switch (TP_MODULE) {
        case 2:
            return 0;
        case 3:
            return 4097;
        case 4:
            return 1;
        default:
            return 2;
        }
    }
    tresult PLUGIN_API getClassInfo(int32 index, PClassInfo* info) override {
        TUID cid;
        if (TP_MODULE == 4 || index == 1) {
            makeCid(cid, 2);
            *info = PClassInfo(cid, PClassInfo::kManyInstances, kVstComponentControllerClass,
                               "Test Controller");
        } else {
            makeCid(cid, 1);
            *info =
                PClassInfo(cid, PClassInfo::kManyInstances, kVstAudioEffectClass, "Test Effect");
        }
        return kResultOk;
    }
    tresult PLUGIN_API createInstance(FIDString cid, FIDString iid, void** obj) override {
        *obj = nullptr;
        TUID effect;
        TUID controller;
        makeCid(effect, 1);
        makeCid(controller, 2);
        TestPlugin* made = nullptr;
#ifdef TP_SINGLE
        if (std::memcmp(cid, effect, 16) == 0) {
            made = new TestPlugin(true, true);
        }
#else
        if (std::memcmp(cid, effect, 16) == 0) {
            made = new TestPlugin(true, false);
        } else if (std::memcmp(cid, controller, 16) == 0) {
            made = new TestPlugin(false, true);
        }
#endif
        if (made == nullptr) {
            return kInvalidArgument;
        }
        const tresult result = made->queryInterface(iid, obj);
        made->release();
        return result;
    }
};

TestFactory gFactory;

TestPlugin* newestController() {
    std::lock_guard lock(gNewestMutex);
    return gNewestController;
}

} // namespace

#if TP_MODULE != 5
TP_EXPORT bool ModuleEntry(void*) {
    trace("entry");
    return TP_MODULE != 1;
}
#endif

TP_EXPORT bool ModuleExit() {
    trace("exit");
    return true;
}

TP_EXPORT IPluginFactory* GetPluginFactory() {
    return &gFactory;
}

TP_EXPORT TestplugProbe* ruviTestplugProbe() {
    return &gProbe;
}
TP_EXPORT void ruviTestplugSetComponentStateMode(int mode) {
    gComponentStateMode = mode;
}
TP_EXPORT void ruviTestplugSetControllerStateMode(int mode) {
    gControllerStateMode = mode;
}
TP_EXPORT void ruviTestplugSetEditorMode(int mode) {
    gEditorMode = mode;
}

TP_EXPORT void ruviTestplugEdit(std::uint32_t firstId, int count, double value, int onThread) {
    TestPlugin* controller = newestController();
    if (controller == nullptr || controller->handler() == nullptr) {
        return;
    }
    auto edit = [controller, firstId, count, value] {
        for (int i = 0; i < count; ++i) {
            const auto id = firstId + static_cast<std::uint32_t>(i);
            controller->setOwnValue(id, value);
            controller->handler()->beginEdit(id);
            controller->handler()->performEdit(id, value);
            controller->handler()->endEdit(id);
        }
    };
    if (onThread != 0) {
        std::thread(edit).join();
    } else {
        edit();
    }
}

TP_EXPORT void ruviTestplugSetControllerValue(std::uint32_t id, double value) {
    if (TestPlugin* controller = newestController()) {
        controller->setOwnValue(id, value);
    }
}

TP_EXPORT double ruviTestplugControllerValue(std::uint32_t id) {
    TestPlugin* controller = newestController();
    return controller != nullptr ? controller->getParamNormalized(id) : -1.0;
}

TP_EXPORT int ruviTestplugRestart(int flags) {
    TestPlugin* controller = newestController();
    return controller != nullptr && controller->handler() != nullptr
               ? controller->handler()->restartComponent(flags)
               : kResultFalse;
}

TP_EXPORT int ruviTestplugResizeView(int width, int height, int onThread) {
    TestView* view = nullptr;
    {
        std::lock_guard lock(gNewestMutex);
        view = gNewestView;
    }
    if (view == nullptr || view->frame() == nullptr) {
        return kResultFalse;
    }
    int result = kResultFalse;
    auto ask = [&] {
        ViewRect wanted(0, 0, width, height);
        result = view->frame()->resizeView(view, &wanted);
    };
    if (onThread != 0) {
        std::thread(ask).join();
    } else {
        ask();
    }
    return result;
}
