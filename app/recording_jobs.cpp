// Recording from the running console: recording and stop jobs, shut-down of a take.

#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

bool Impl::isRecordingBusy() const {
    const auto state = recorder.status().state;
    return state == RecorderState::Recording || state == RecorderState::Finalizing ||
           (job && job->stopJob);
}

void Impl::startRecordingJob(AsyncJob&, const Json&) {
    throw std::runtime_error("Native method not implemented: startRecording");
}

void Impl::startStopJob(AsyncJob&) {
    throw std::runtime_error("Native method not implemented: stopRecording");
}

bool Impl::completeRecordingJob(AsyncJob&, Json&) {
    throw std::runtime_error("Native method not implemented: startRecording");
}

void Impl::completeStopJob(AsyncJob&, Json&) {
    throw std::runtime_error("Native method not implemented: stopRecording");
}

void Impl::finishCaptureHealth(const BackendStatus&) {
    recorder.stopWriter();
}

} // namespace kestravon::ruvi
