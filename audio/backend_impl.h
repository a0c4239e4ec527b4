#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_event.h"
#include "audio/device_records.h"
#include "audio/endpoint_catalogue.h"
#include "audio/endpoint_stream.h"
#include "audio/wasapi_backend.h"

namespace kestravon::ruvi {

// The state of one WasapiBackend.
// Thread contract: start, status, stop and destruction hold `mutex`. Endpoint threads never take
// it: they touch only the atomics, their own stream and (the master thread alone, while running)
// the planes. The planes are published before `running` is set and the activation event fires.
struct WasapiBackend::Impl {
    explicit Impl(std::shared_ptr<EndpointCatalogue> catalogue);

    // The common stop; called with the mutex held.
    void stopAndJoin();
    // One master period of `frames` frames; master thread only, while it runs.
    void runMasterPeriod(int frames) noexcept;
    // The master device played `frames` frames without us: the capture queues pass over what
    // their devices took meanwhile (counted as their missing frames), and the other outputs get
    // as much silence, so every endpoint keeps its latency and stays aligned with the master.
    // Master thread only.
    void passOverLostMasterTime(std::uint64_t frames) noexcept;
    // After a master wake: a capture queue left holding a stale backlog returns to its priming
    // fill, a glitch of its own. Master thread only.
    void dropStaleCapture() noexcept;
    // On a queue's consumer thread: pass over `deviceFrames` frames of lost time, and close one
    // wake (owed time, a stale backlog). What the queue passed over counts as the stream's
    // missing frames, so a take's capture health reports the gap; a trimmed backlog is an xrun.
    void passOver(EndpointStream& stream, std::uint64_t deviceFrames) noexcept;
    void endConsumerWake(EndpointStream& stream) noexcept;

    std::shared_ptr<EndpointCatalogue> catalogue;
    std::mutex mutex;
    std::vector<std::unique_ptr<EndpointStream>> endpoints;
    std::unique_ptr<AudioEvent> activationEvent;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
    std::atomic<std::int64_t> callbacks{0};
    std::atomic<std::int64_t> xruns{0};
    std::atomic<std::int64_t> renderDeadlineOverruns{0};
    std::atomic<double> maximumCallbackMs{0.0};
    std::atomic<double> maximumRenderWorkMs{0.0};
    std::atomic<double> masterMeasuredRate{48000.0};
    std::vector<EndpointSelection> inputs, outputs;
    std::string masterOutputId;
    std::int32_t sampleRate = 48000;
    std::int32_t blockFrames = 128;
    bool preferLowLatencyShared = true;
    DeviceRenderCallback callback = nullptr;
    void* userData = nullptr;
    std::int32_t inputChannels = 0;
    std::int32_t outputChannels = 0;
    std::string error;
    std::vector<float> inputPlanes, outputPlanes;
    std::vector<const float*> inputPointers;
    std::vector<float*> outputPointers;
};

// The text of a failed preparation: the first stream with a negative fault is named, else the
// waited-for stream as timed out or cancelled. `catalogueNames` holds the catalogue name of each
// stream (empty when it has none).
std::string prepareFailureMessage(const std::vector<std::unique_ptr<EndpointStream>>& streams,
                                  const std::vector<std::string>& catalogueNames,
                                  std::size_t waited, bool timedOut);

} // namespace kestravon::ruvi
