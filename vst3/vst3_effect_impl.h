#pragma once

// Hidden state of Vst3Effect, shared by its source files only.

#include "vst3/glib_run_loop.h"
#include "vst3/loaded_module.h"
#include "vst3/parameter_changes.h"
#include "vst3/vst3_effect.h"
#include "vst3/x11_child_window.h"

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstmessage.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace kestravon::ruvi {

namespace sv = Steinberg::Vst;

constexpr std::int32_t kMaxBuses = 16;
constexpr std::int32_t kRebuildMask = sv::kReloadComponent | sv::kIoChanged | sv::kLatencyChanged;

// Thread contract: normalized is written by the UI thread and the plug-in's thread and read by
// the audio thread; each flag is raised with release order after the value is written and
// taken with an exchange before it is read.
struct Vst3Effect::ParameterValue {
    std::atomic<double> normalized{0.0};
    std::atomic<std::uint8_t> pendingForAudio{0};
    std::atomic<std::uint8_t> changedForUi{0};
    std::atomic<std::uint8_t> changedForController{0};
    // Handed over in a zero-frame call: some plug-ins read changes only with audio, so the
    // value goes again with the next block that has samples.
    std::atomic<std::uint8_t> resendForAudio{0};
};

// Thread contract: set-up, teardown, the controller and the editor belong to the UI thread;
// process touches only the processor, the scratch buffers, the changes and the atomics (and
// runs on the UI thread only while the device is stopped); the plug-in's own threads reach
// the host part, which stores values through the atomics alone.
class Vst3Effect::Impl {
public:
    // The plug-in's host context. Owned by the Impl; none of its interfaces is counted.
    // Thread contract: performEdit and restartComponent may come from any plug-in thread and
    // touch atomics only; resizeView and the run loop are for the editor thread.
    class Host final : public sv::HostApplication,
                       public sv::IComponentHandler,
                       public Steinberg::IPlugFrame {
    public:
        explicit Host(Impl* owner) : owner(owner) {}
        Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid,
                                                     void** obj) override;
        Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
        Steinberg::uint32 PLUGIN_API release() override { return 1; }
        Steinberg::tresult PLUGIN_API getName(sv::String128 name) override;
        Steinberg::tresult PLUGIN_API beginEdit(sv::ParamID) override {
            return Steinberg::kResultOk;
        }
        Steinberg::tresult PLUGIN_API performEdit(sv::ParamID id, sv::ParamValue value) override;
        Steinberg::tresult PLUGIN_API endEdit(sv::ParamID) override { return Steinberg::kResultOk; }
        Steinberg::tresult PLUGIN_API restartComponent(Steinberg::int32 flags) override;
        Steinberg::tresult PLUGIN_API resizeView(Steinberg::IPlugView* view,
                                                 Steinberg::ViewRect* rect) override;

        Impl* owner;
    };

    Impl() : host(this) {}
    ~Impl() { shutdown(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void instantiate(std::shared_ptr<LoadedModule> module);
    // Runs the set-up steps below in order; each refuses with its own message.
    void configureProcessing(double sampleRate, std::int32_t maxBlock, std::int32_t channels,
                             std::int32_t sidechainMode);
    void shutdown() noexcept;
    void closeEditor() noexcept;

    bool storeParameter(std::size_t index, double value, bool fromController) noexcept;
    bool setParameterById(std::uint32_t id, double value, bool fromController) noexcept;
    // Poll steps, UI thread: host changes to the controller, the controller's values read
    // again after it asked for it (a state restore), and the plug-in's edits collected.
    void syncControllerValues();
    void rereadControllerValues();
    void collectUiChanges(std::size_t limit, std::vector<ParameterUpdate>& updates);
    bool process(const float* const* inputs, float* const* outputs, std::int32_t frames,
                 const float* const* sidechain) noexcept;
    void silence(float* const* outputs, std::int32_t frames) noexcept;
    bool isEditorThread() const noexcept { return std::this_thread::get_id() == editorThread; }

    // The steps of configureProcessing.
    using Arrangements = std::array<sv::SpeakerArrangement, kMaxBuses>;
    void acceptHostConfiguration(double sampleRate, std::int32_t maxBlock, std::int32_t channels,
                                 std::int32_t sidechainMode);
    void requireFloat32();
    void readBusCounts();
    void findBuses(Arrangements& inputs, Arrangements& outputs);
    void arrangeBuses(Arrangements& inputs, Arrangements& outputs);
    void checkNegotiatedBuses();
    void activateBuses();
    void prepareBusRecords();
    void setUpProcessor();
    void readParameterTable();
    void startProcessing();

    Host host;
    std::shared_ptr<LoadedModule> module;
    sv::IComponent* component = nullptr;
    sv::IAudioProcessor* processor = nullptr;
    sv::IEditController* controller = nullptr;
    sv::IConnectionPoint* componentConnection = nullptr;
    sv::IConnectionPoint* controllerConnection = nullptr;

    bool separateController = false;
    bool componentInitialized = false;
    bool controllerInitialized = false;
    bool componentConnected = false;
    bool controllerConnected = false;
    bool active = false;
    bool processing = false;

    Steinberg::IPlugView* view = nullptr;
    X11ChildWindow childWindow;
    EditorWindow* editorParent = nullptr;
    std::thread::id editorThread;
    GLibRunLoop runLoop;
    bool attached = false;
    bool resizable = false;
    bool inResize = false;

    double sampleRate = 48000.0;
    std::int32_t maxBlock = 512;
    std::int32_t channels = 2;
    std::int32_t sidechainMode = 0;
    std::int32_t mainInputBus = -1;
    std::int32_t mainOutputBus = -1;
    std::int32_t sidechainBus = -1;
    std::int32_t inputBusCount = 0;
    std::int32_t outputBusCount = 0;
    std::int32_t mainInputChannels = 2;
    std::int32_t mainOutputChannels = 2;

    std::array<sv::AudioBusBuffers, kMaxBuses> inputBuffers{};
    std::array<sv::AudioBusBuffers, kMaxBuses> outputBuffers{};
    std::array<std::array<float*, 2>, kMaxBuses> inputChannelPointers{};
    std::array<std::array<float*, 2>, kMaxBuses> outputChannelPointers{};
    std::array<std::vector<float>, 2> inputScratch;
    std::array<std::vector<float>, 2> outputScratch;
    std::array<std::vector<float>, 2> sidechainScratch;

    std::vector<ParameterInfo> parameters;
    std::vector<std::int32_t> parameterFlags;
    // (id, index) sorted by id: set once at configuration, read by every thread after.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> parameterIndex;
    std::unique_ptr<ParameterValue[]> values;
    Changes changes;
    OutputChanges outputChanges;

    std::atomic<std::int32_t> restartFlags{0};
    std::int32_t latencySamples = 0;
    std::atomic<std::uint8_t> uiChangesPending{0};
    std::atomic<std::uint8_t> controllerSyncPending{0};
    std::atomic<std::uint8_t> resendPending{0};
    std::size_t pollCursor = 0;
};

} // namespace kestravon::ruvi
