// Host overhead of Vst3Effect::process around the pass-through test plug-in, against calling the
// same plug-in's own process directly. Needs the test bundles of the build tree (build all).

#include "vst3/vst3_effect.h"

#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace sv = Steinberg::Vst;
using kestravon::ruvi::Vst3Effect;

std::string bundle(const std::string& name) {
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
    return (exe.parent_path().parent_path() / "testplugins" / ("ruvi_testplug_" + name + ".vst3"))
        .string();
}

std::string moduleFile(const std::string& name) {
    return bundle(name) + "/Contents/x86_64-linux/ruvi_testplug_" + name + ".so";
}

struct Buffers {
    explicit Buffers(int frames)
        : in(2, std::vector<float>(static_cast<std::size_t>(frames), 0.25f)),
          out(2, std::vector<float>(static_cast<std::size_t>(frames))) {
        for (int c = 0; c < 2; ++c) {
            inPointers[c] = in[c].data();
            outPointers[c] = out[c].data();
        }
    }
    std::vector<std::vector<float>> in;
    std::vector<std::vector<float>> out;
    float* inPointers[2];
    float* outPointers[2];
};

// A bare host context: the plug-in only checks that there is one.
class BareContext final : public Steinberg::FUnknown {
public:
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID, void** obj) override {
        *obj = nullptr;
        return Steinberg::kNoInterface;
    }
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }
};

void openOrSkip(benchmark::State& state, Vst3Effect& effect, const std::string& name, int frames) {
    std::string error;
    if (!effect.open(bundle(name), 48000.0, frames, 2, error)) {
        state.SkipWithError(("open failed: " + error).c_str());
    }
}

void BM_HostProcess(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    Vst3Effect effect;
    openOrSkip(state, effect, "basic", frames);
    Buffers buffers(frames);
    for (auto _ : state) {
        benchmark::DoNotOptimize(effect.process(buffers.inPointers, buffers.outPointers, frames));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

// 64 of 128 parameters change before every block (the setParameter calls are timed too).
void BM_HostProcess64Changes(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    Vst3Effect effect;
    openOrSkip(state, effect, "params_128", frames);
    Buffers buffers(frames);
    double value = 0.0;
    for (auto _ : state) {
        value = value > 0.9 ? 0.0 : value + 0.01;
        for (std::uint32_t id = 64; id < 128; ++id) {
            effect.setParameter(id, value);
        }
        benchmark::DoNotOptimize(effect.process(buffers.inPointers, buffers.outPointers, frames));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

// The floor: the plug-in's own process with ready-made buffers and no host in between.
void BM_DirectProcess(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    void* module = ::dlopen(moduleFile("basic").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        state.SkipWithError("test plug-in not built");
        return;
    }
    auto getFactory =
        reinterpret_cast<Steinberg::IPluginFactory* (*)()>(::dlsym(module, "GetPluginFactory"));
    Steinberg::IPluginFactory* factory = getFactory();
    Steinberg::PClassInfo info{};
    factory->getClassInfo(0, &info);
    void* created = nullptr;
    factory->createInstance(info.cid, sv::IComponent::iid, &created);
    auto* component = static_cast<sv::IComponent*>(created);
    BareContext context;
    component->initialize(&context);
    void* processorPointer = nullptr;
    component->queryInterface(sv::IAudioProcessor::iid, &processorPointer);
    auto* processor = static_cast<sv::IAudioProcessor*>(processorPointer);
    sv::SpeakerArrangement stereo = sv::SpeakerArr::kStereo;
    processor->setBusArrangements(&stereo, 1, &stereo, 1);
    sv::ProcessSetup setup{sv::kRealtime, sv::kSample32, frames, 48000.0};
    processor->setupProcessing(setup);
    component->setActive(true);
    processor->setProcessing(true);

    Buffers buffers(frames);
    sv::AudioBusBuffers input;
    input.numChannels = 2;
    input.channelBuffers32 = buffers.inPointers;
    sv::AudioBusBuffers output;
    output.numChannels = 2;
    output.channelBuffers32 = buffers.outPointers;
    sv::ProcessData data;
    data.processMode = sv::kRealtime;
    data.symbolicSampleSize = sv::kSample32;
    data.numSamples = frames;
    data.numInputs = 1;
    data.numOutputs = 1;
    data.inputs = &input;
    data.outputs = &output;
    for (auto _ : state) {
        benchmark::DoNotOptimize(processor->process(data));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);

    processor->setProcessing(false);
    component->setActive(false);
    processor->release();
    component->terminate();
    component->release();
    ::dlclose(module);
}

BENCHMARK(BM_DirectProcess)->Arg(128)->Arg(512);
BENCHMARK(BM_HostProcess)->Arg(128)->Arg(512);
BENCHMARK(BM_HostProcess64Changes)->Arg(128)->Arg(512);

} // namespace

BENCHMARK_MAIN();
