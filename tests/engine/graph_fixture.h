#pragma once

#include <dlfcn.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/backend_status.h"
#include "engine/mixing.h"

namespace kestravon::ruvi::graphtest {

using nlohmann::json;

// A device with one 8-lane capture endpoint "cap" and one 8-lane render endpoint "play".
inline BackendStatus deviceLayout(int sampleRate = 48000, int inputs = 8, int outputs = 8) {
    BackendStatus layout;
    layout.sampleRate = sampleRate;
    layout.inputChannels = inputs;
    layout.outputChannels = outputs;
    EndpointStatus capture;
    capture.id = "cap";
    capture.capture = true;
    capture.channels = inputs;
    EndpointStatus render;
    render.id = "play";
    render.channels = outputs;
    layout.streams = {capture, render};
    return layout;
}

inline json port(const std::string& device, int channel) {
    return {{"deviceId", device}, {"channel", channel}};
}

inline json monoInput(const std::string& id, int lane) {
    return {{"id", id},
            {"kind", "input"},
            {"source", {{"kind", "device"}, {"ports", {port("cap", lane)}}}}};
}

inline json stereoInput(const std::string& id, int left, int right) {
    return {{"id", id},
            {"kind", "input"},
            {"width", 2},
            {"source", {{"kind", "device"}, {"ports", {port("cap", left), port("cap", right)}}}}};
}

inline json stereoBus(const std::string& id) {
    return {{"id", id}, {"kind", "bus"}, {"width", 2}};
}

// The main bus on output lanes 0 and 1.
inline json mainBus() {
    json main = stereoBus("main-lr");
    main["outputs"] = {port("play", 0), port("play", 1)};
    return main;
}

inline json route(const std::string& destination, const std::string& tap = "postFader",
                  double gainDb = 0.0) {
    return {{"destinationId", destination}, {"tap", tap}, {"gainDb", gainDb}};
}

inline json description(json nodes) {
    return {{"format", "kestravon-live-native-0.1"}, {"nodes", std::move(nodes)}};
}

// Planar lanes at the block stride, with the pointer arrays the render calls take.
struct Lanes {
    explicit Lanes(int count)
        : samples(static_cast<std::size_t>(count) * kBlockStride, 0.0f), pointers(count) {
        for (int c = 0; c < count; ++c) {
            pointers[static_cast<std::size_t>(c)] =
                samples.data() + static_cast<std::size_t>(c) * kBlockStride;
        }
    }
    float* lane(int c) { return pointers[static_cast<std::size_t>(c)]; }
    float* const* data() { return pointers.data(); }
    const float* const* in() const { return pointers.data(); }

    std::vector<float> samples;
    std::vector<float*> pointers;
};

// The host's own test plug-ins, built beside the tests (see tests/vst3/plugins).
inline std::string testPlugin(const std::string& name) {
    return std::string(RUVI_TESTPLUG_DIR) + "/ruvi_testplug_" + name + ".vst3";
}

// A knob the test plug-in exports; the bundle must already be loaded by an open insert.
template <class Function> Function testPluginKnob(const std::string& name, const char* symbol) {
    const std::string module =
        testPlugin(name) + "/Contents/x86_64-linux/ruvi_testplug_" + name + ".so";
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return nullptr;
    }
    auto* knob = reinterpret_cast<Function>(::dlsym(handle, symbol));
    ::dlclose(handle);
    return knob;
}

} // namespace kestravon::ruvi::graphtest
