#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestravon::ruvi {

// One endpoint stream of the aggregate device as the backend reports it. Counters are defined
// where the stream thread counts them; this record is a plain copy taken under the backend mutex.
struct EndpointStatus {
    std::string id;
    std::string name;
    std::string status;
    bool capture = false;
    std::int32_t firstChannel = 0;
    std::int32_t channels = 0;
    std::int32_t sampleRate = 0;
    double correctionPpm = 0.0;
    double queueMilliseconds = 0.0;
    std::int64_t discontinuities = 0;
    std::int64_t missingFrames = 0;
    std::int32_t bufferFrames = 0;
    std::int32_t periodFrames = 0;
    double targetQueueMilliseconds = 0.0;
    double reportedLatencyMilliseconds = 0.0;
    bool primed = false;
    bool lowLatencyShared = false;
    std::int64_t startupMissingFrames = 0;
    std::int64_t startupDiscontinuities = 0;
};

// Snapshot of the aggregate device: running state, negotiated layout and health counters. The
// graph compiler reads the layout fields as its device layout.
struct BackendStatus {
    bool running = false;
    std::int32_t sampleRate = 0;
    std::int32_t blockFrames = 0;
    std::int32_t inputChannels = 0;
    std::int32_t outputChannels = 0;
    std::int64_t callbacks = 0;
    std::int64_t xruns = 0;
    double reportedOutputMs = 0.0;
    double maximumCallbackMs = 0.0;
    double maximumRenderWorkMs = 0.0;
    std::int64_t renderDeadlineOverruns = 0;
    std::int64_t startupMissingFrames = 0;
    std::string error;
    std::vector<EndpointStatus> streams;
};

// JSON forms whose keys equal the field names.
nlohmann::json endpointStatusToJson(const EndpointStatus& status);
nlohmann::json backendStatusToJson(const BackendStatus& status);

} // namespace kestravon::ruvi
