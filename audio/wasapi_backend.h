#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "audio/backend_status.h"
#include "audio/device_records.h"

namespace kestravon::ruvi {

class EndpointCatalogue;

// Called once per master period on the clock master's thread: planar channels with a stride of
// 4096 floats, 1 to blockFrames frames, the configured session rate. It must not block.
using DeviceRenderCallback = void (*)(void* userData, const float* const* inputs,
                                      std::int32_t inputCount, float* const* outputs,
                                      std::int32_t outputCount, std::int32_t frames,
                                      double sampleRate);

// The selected capture and render endpoints run as one aggregate device clocked by one render
// endpoint, with one thread per endpoint.
// Thread contract: start, status, stop and the destructor may be called from any control
// thread; they serialise on one mutex. The callback runs on the master endpoint thread, which
// never takes that mutex, allocates, or logs.
class WasapiBackend {
public:
    WasapiBackend();
    explicit WasapiBackend(std::shared_ptr<EndpointCatalogue> catalogue);
    ~WasapiBackend();
    WasapiBackend(const WasapiBackend&) = delete;
    WasapiBackend& operator=(const WasapiBackend&) = delete;

    // True when every endpoint prepared and the aggregate was released to run; false with the
    // reason in error otherwise.
    [[nodiscard]] bool start(const AudioDeviceConfig& config, DeviceRenderCallback callback,
                             void* userData, std::string& error);
    BackendStatus status();
    // Stops and joins every endpoint thread; the streams stay listed in status.
    void stop();

    struct Impl; // shared with the endpoint threads

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kestravon::ruvi
