#pragma once
// Virtual endpoints for tests that stream audio: endpoint setups, a catalogue of one set, device
// configurations and polling helpers. Shared by the audio backend's and the control core's tests.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/backend_status.h"
#include "audio/device_records.h"
#include "audio/endpoint_catalogue.h"
#include "audio/virtual_endpoints.h"

namespace kestravon::ruvi::testing {

inline VirtualEndpointSetup endpoint(const std::string& name, DataFlow flow,
                                     WaveFormat format = makeWaveFormat(true, 2, 48000, 32),
                                     const std::string& friendly = "") {
    VirtualEndpointSetup s;
    s.name = name;
    s.friendlyName = friendly;
    s.flow = flow;
    s.mixFormat = format;
    return s;
}

// A catalogue of one virtual set, for a backend under test.
inline std::shared_ptr<EndpointCatalogue> catalogueOf(std::shared_ptr<VirtualEndpointSet> set) {
    return std::make_shared<EndpointCatalogue>(
        std::vector<std::shared_ptr<AudioEndpointProvider>>{std::move(set)});
}

inline AudioDeviceConfig config(std::vector<std::string> inputs, std::vector<std::string> outputs,
                                std::string master = "", int rate = 48000, int block = 128) {
    AudioDeviceConfig c;
    for (auto& id : inputs) {
        c.inputs.push_back({std::move(id), false});
    }
    for (auto& id : outputs) {
        c.outputs.push_back({std::move(id), false});
    }
    c.masterOutputId = std::move(master);
    c.requestedRate = rate;
    c.requestedBlock = block;
    return c;
}

// Polls until the condition holds or the time runs out (for states reached asynchronously).
// The default ceiling is for a state that never comes; a busy machine only makes it later.
inline bool eventually(const std::function<bool()>& condition, double seconds = 30.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

inline void runFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

inline const EndpointStatus* streamOf(const BackendStatus& s, const std::string& id) {
    for (const EndpointStatus& e : s.streams) {
        if (e.id == id) {
            return &e;
        }
    }
    return nullptr;
}

} // namespace kestravon::ruvi::testing
