#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_event.h"
#include "audio/device_format.h"
#include "audio/drift_resampler.h"
#include "audio/frame_ring.h"
#include "audio/hresult.h"
#include "audio/wasapi_backend.h"

namespace kestravon::ruvi {

enum class StreamState : std::int32_t { preparing, prepared, running, stopped, fault };

// One selected endpoint and its thread.
// Thread contract: the start sequence fills id, flags and firstChannel and reads the set-up
// fields only after the prepared event (or after joining). The endpoint thread alone writes the
// set-up fields, before it reports prepared. Afterwards only the atomics cross threads; the ring
// has one producer and one consumer (the master thread on one side). Nothing here allocates or
// locks once the stream runs.
struct alignas(64) EndpointStream {
    static std::unique_ptr<EndpointStream> create();
    EndpointStream(const EndpointStream&) = delete;
    EndpointStream& operator=(const EndpointStream&) = delete;
    ~EndpointStream();

    // Records a fault; a fault of the clock master halts the whole backend.
    void fail(HRESULT code) noexcept;
    StreamState currentState() const noexcept { return state.load(std::memory_order_acquire); }

    WasapiBackend::Impl* backend = nullptr;
    std::string id;
    bool exclusive = false;
    bool capture = false;
    bool isMaster = false;
    std::string name;
    DeviceFormat format{};
    std::int32_t firstChannel = 0;
    std::uint32_t bufferFrames = 0;
    std::uint32_t periodFrames = 0;
    double reportedLatencyMs = 0.0;
    bool lowLatencyShared = false;
    double ringRate = 0.0; // device rate for capture, session rate for render
    AudioEvent preparedEvent{true};
    AudioEvent bufferEvent{false};
    std::thread thread;
    FrameRing ring;
    DriftResampler resampler;
    std::vector<float> scratch;
    float frame[64] = {};

    std::atomic<StreamState> state{StreamState::preparing};
    std::atomic<HRESULT> faultHresult{0};
    std::atomic<double> measuredRate{0.0};
    std::atomic<double> correctionPpm{0.0};
    std::atomic<double> queueMilliseconds{0.0};
    std::atomic<std::int64_t> discontinuities{0};
    std::atomic<std::int64_t> missingFrames{0};
    std::atomic<std::int64_t> startupMissingFrames{0};
    std::atomic<std::int64_t> startupDiscontinuities{0};
    std::atomic<bool> primed{false};

private:
    EndpointStream() = default;
};

// The ring request for a stream: at least max(8192, 4 x bufferFrames + 16448), and room for
// twice the resampler's priming fill plus a device buffer, so a high device rate still primes.
std::uint64_t ringRequestFrames(std::uint32_t bufferFrames, double targetFrames);

// 64 plus the larger of one device buffer plus one block and two blocks, in ring frames.
double resamplerTargetFrames(std::uint32_t bufferFrames, double ringRate, double deviceRate,
                             double sessionRate, int blockFrames);

// The thread body of one endpoint.
void runEndpointThread(WasapiBackend::Impl& backend, EndpointStream& stream);

} // namespace kestravon::ruvi
