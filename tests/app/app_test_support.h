#pragma once
// A headless console for the control core's tests: an Application on its own virtual endpoint
// set (a stereo 1 kHz tone input and a stereo output that keeps what it played), driven only
// through handleRequest, with the session shapes and signal measurements the tests share.

#include "app/application.h"
#include "tests/support/tone_analysis.h"
#include "tests/support/virtual_audio.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestravon::ruvi::testing {

using Json = nlohmann::json;

inline constexpr const char* kToneInputId = "virtual:tone-input";
inline constexpr const char* kOutputId = "virtual:output";
inline constexpr double kToneHz = 1000.0;
inline constexpr double kToneAmplitude = 0.1;
inline constexpr const char* kNativeFormat = "kestravon-live-native-0.1";

struct ConsoleSetup {
    int sampleRate = 48000;
    double recordSeconds = 2.0; // output frames kept for reading, from the first one played
    VirtualSignal inputSignal = VirtualSignal::tone;
    double toneHz = kToneHz;
    double amplitude = kToneAmplitude;
    std::uint64_t impulseInterval = 4800;
};

class HeadlessConsole {
public:
    explicit HeadlessConsole(const ConsoleSetup& setup = {}) : setup_(setup) {
        endpoints = std::make_shared<VirtualEndpointSet>();
        auto in =
            endpoint("tone-input", DataFlow::capture,
                     makeWaveFormat(true, 2, static_cast<std::uint32_t>(setup.sampleRate), 32),
                     "Virtual Test Tone");
        in.signal = setup.inputSignal;
        in.toneHz = setup.toneHz;
        in.amplitude = setup.amplitude;
        in.impulseInterval = setup.impulseInterval;
        input = endpoints->add(in);
        auto out =
            endpoint("output", DataFlow::render,
                     makeWaveFormat(true, 2, static_cast<std::uint32_t>(setup.sampleRate), 32),
                     "Virtual Output");
        out.recordFrames = static_cast<std::uint64_t>(setup.recordSeconds * setup.sampleRate);
        output = endpoints->add(out);
        app = std::make_unique<Application>(catalogueOf(endpoints));
    }

    // The whole reply of one request.
    Json request(const std::string& method, const Json& params = Json::object(), int id = 1) {
        return app->handleRequest({{"id", id}, {"method", method}, {"params", params}});
    }
    // The result of a request that must succeed (a failure is reported and gives null).
    Json call(const std::string& method, const Json& params = Json::object()) {
        const Json reply = request(method, params);
        if (!reply.value("ok", false)) {
            ADD_FAILURE() << method << " failed: " << reply.dump();
            return nullptr;
        }
        return reply.at("result");
    }
    // The error text of a request that must be refused.
    std::string refusal(const std::string& method, const Json& params = Json::object()) {
        const Json reply = request(method, params);
        if (reply.value("ok", true) || !reply.contains("error")) {
            ADD_FAILURE() << method << " was not refused: " << reply.dump();
            return {};
        }
        return reply.at("error").get<std::string>();
    }

    // "applySession" of a native description, with a UI document when one is given; the reply's
    // result, or null after a reported failure.
    Json applySession(const Json& native, const Json& uiState = nullptr) {
        Json params = {{"native", native}};
        if (!uiState.is_null()) {
            params["uiState"] = uiState;
        }
        const Json reply = request("applySession", params);
        if (!reply.value("ok", false)) {
            ADD_FAILURE() << "applySession failed: " << reply.dump();
            return nullptr;
        }
        return reply.at("result");
    }

    // "startAudio" from the tone input to the output, at the console's rate.
    Json startParams(int block = 128) const {
        return {{"inputs", Json::array({{{"id", kToneInputId}}})},
                {"outputs", Json::array({{{"id", kOutputId}}})},
                {"masterOutputId", kOutputId},
                {"requestedRate", setup_.sampleRate},
                {"requestedBlock", block}};
    }

    // Waits until the output has played its whole record (or the time runs out).
    bool waitForRecording(double seconds = 15.0) const {
        const std::uint64_t frames =
            static_cast<std::uint64_t>(setup_.recordSeconds * setup_.sampleRate);
        return eventually([&] { return output->framesReleased() >= frames; }, seconds);
    }
    // One channel of what the output played, from its first frame.
    std::vector<float> recordedChannel(int channel) const {
        const std::vector<float> interleaved = output->recorded();
        std::vector<float> out;
        out.reserve(interleaved.size() / 2);
        for (std::size_t i = static_cast<std::size_t>(channel); i < interleaved.size(); i += 2) {
            out.push_back(interleaved[i]);
        }
        return out;
    }

    int sampleRate() const { return setup_.sampleRate; }

    std::shared_ptr<VirtualEndpointSet> endpoints;
    std::shared_ptr<VirtualEndpoint> input;
    std::shared_ptr<VirtualEndpoint> output;
    std::unique_ptr<Application> app;

private:
    ConsoleSetup setup_;
};

// ---- session shapes

inline Json devicePorts(const std::string& deviceId, int first = 0) {
    return Json::array({{{"deviceId", deviceId}, {"channel", first}},
                        {{"deviceId", deviceId}, {"channel", first + 1}}});
}

inline Json insertEntry(const std::string& id, const std::string& modulePath) {
    return {{"id", id}, {"enabled", true}, {"bypass", false}, {"modulePath", modulePath}};
}

// A stereo input strip fed by two ports of a capture endpoint and routed post-fader to main-lr.
inline Json stereoInputStrip(const std::string& id, const std::string& deviceId = kToneInputId,
                             Json inserts = Json::array()) {
    Json node = {{"id", id},
                 {"kind", "input"},
                 {"width", 2},
                 {"source", {{"kind", "device"}, {"ports", devicePorts(deviceId)}}},
                 {"routes", Json::array({{{"destinationId", "main-lr"}}})}};
    if (!inserts.empty()) {
        node["inserts"] = std::move(inserts);
    }
    return node;
}

// The main stereo bus on the first two channels of a render endpoint.
inline Json mainBus(const std::string& deviceId = kOutputId, Json inserts = Json::array()) {
    Json node = {
        {"id", "main-lr"}, {"kind", "bus"}, {"width", 2}, {"outputs", devicePorts(deviceId)}};
    if (!inserts.empty()) {
        node["inserts"] = std::move(inserts);
    }
    return node;
}

inline Json nativeDescription(Json nodes, int sampleRate = 48000) {
    return {{"format", kNativeFormat}, {"sampleRate", sampleRate}, {"nodes", std::move(nodes)}};
}

// in1 (stereo, from the tone input) into main-lr on the output.
inline Json toneToMainSession(Json in1Inserts = Json::array(), Json mainInserts = Json::array(),
                              int sampleRate = 48000) {
    return nativeDescription(
        Json::array({stereoInputStrip("in1", kToneInputId, std::move(in1Inserts)),
                     mainBus(kOutputId, std::move(mainInserts))}),
        sampleRate);
}

inline std::string zamPlugin(const std::string& name) {
    return "/usr/lib/vst3/" + name + ".vst3";
}

// The bundle of test plug-in ruvi_testplug_<name> (built beside the tests).
inline std::string testPluginBundle(const std::string& name) {
    return std::string(RUVI_TESTPLUG_DIR) + "/ruvi_testplug_" + name + ".vst3";
}

// A mono strip on the tone's left channel (ZamComp is a mono plug-in) holding ZamComp ("comp")
// and the basic test plug-in ("big", whose state can be made too large to capture), routed to
// main-lr.
inline Json compressorAndTestPluginStrip(const std::string& id = "in1") {
    return {{"id", id},
            {"kind", "input"},
            {"source",
             {{"kind", "device"},
              {"ports", Json::array({{{"deviceId", kToneInputId}, {"channel", 0}}})}}},
            {"inserts", Json::array({insertEntry("comp", zamPlugin("ZamComp")),
                                     insertEntry("big", testPluginBundle("basic"))})},
            {"routes", Json::array({{{"destinationId", "main-lr"}}})}};
}

// A knob of a loaded test plug-in (null while it is not loaded).
template <typename Fn> Fn testPluginSymbol(const std::string& name, const char* symbol) {
    const std::string module =
        testPluginBundle(name) + "/Contents/x86_64-linux/ruvi_testplug_" + name + ".so";
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return nullptr;
    }
    void* address = ::dlsym(handle, symbol);
    ::dlclose(handle); // the host's own reference keeps it loaded
    return reinterpret_cast<Fn>(address);
}

// ---- measurements

inline float peakOf(const std::vector<float>& x, std::size_t from = 0) {
    float peak = 0.0f;
    for (std::size_t i = from; i < x.size(); ++i) {
        peak = std::max(peak, std::fabs(x[i]));
    }
    return peak;
}

inline std::size_t firstAbove(const std::vector<float>& x, float threshold, std::size_t from = 0) {
    for (std::size_t i = from; i < x.size(); ++i) {
        if (std::fabs(x[i]) > threshold) {
            return i;
        }
    }
    return x.size();
}

// The tone of the second half of a recording: the median fit of its 100 ms windows, robust
// against a rare scheduling hiccup of a loaded machine.
inline ToneFit toneOfTail(const std::vector<float>& x, double rate, double hz) {
    return medianFit(x, rate, hz);
}

} // namespace kestravon::ruvi::testing
