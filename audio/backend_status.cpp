#include "audio/backend_status.h"

namespace kestravon::ruvi {

nlohmann::json endpointStatusToJson(const EndpointStatus& s) {
    return nlohmann::json{{"id", s.id},
                          {"name", s.name},
                          {"status", s.status},
                          {"capture", s.capture},
                          {"firstChannel", s.firstChannel},
                          {"channels", s.channels},
                          {"sampleRate", s.sampleRate},
                          {"correctionPpm", s.correctionPpm},
                          {"queueMilliseconds", s.queueMilliseconds},
                          {"discontinuities", s.discontinuities},
                          {"missingFrames", s.missingFrames},
                          {"bufferFrames", s.bufferFrames},
                          {"periodFrames", s.periodFrames},
                          {"targetQueueMilliseconds", s.targetQueueMilliseconds},
                          {"reportedLatencyMilliseconds", s.reportedLatencyMilliseconds},
                          {"primed", s.primed},
                          {"lowLatencyShared", s.lowLatencyShared},
                          {"startupMissingFrames", s.startupMissingFrames},
                          {"startupDiscontinuities", s.startupDiscontinuities}};
}

nlohmann::json backendStatusToJson(const BackendStatus& s) {
    nlohmann::json streams = nlohmann::json::array();
    for (const EndpointStatus& stream : s.streams) {
        streams.push_back(endpointStatusToJson(stream));
    }
    return nlohmann::json{{"running", s.running},
                          {"sampleRate", s.sampleRate},
                          {"blockFrames", s.blockFrames},
                          {"inputChannels", s.inputChannels},
                          {"outputChannels", s.outputChannels},
                          {"callbacks", s.callbacks},
                          {"xruns", s.xruns},
                          {"reportedOutputMs", s.reportedOutputMs},
                          {"maximumCallbackMs", s.maximumCallbackMs},
                          {"maximumRenderWorkMs", s.maximumRenderWorkMs},
                          {"renderDeadlineOverruns", s.renderDeadlineOverruns},
                          {"startupMissingFrames", s.startupMissingFrames},
                          {"error", s.error},
                          {"streams", std::move(streams)}};
}

} // namespace kestravon::ruvi
