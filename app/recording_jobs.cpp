// Recording from the running console: recording and stop jobs, shut-down of a take.

#include "app/application_impl.h"
#include "app/capture_health.h"
#include "app/take_planning.h"

#include <exception>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <utility>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;
using Stage = Application::AsyncJob::Stage;

namespace {

constexpr const char* kPreparationCancelled = "Recording preparation cancelled";
constexpr const char* kSessionChanged =
    "Audio session changed during recording preparation; take was not started";

void setPhase(Application::AsyncJob& job, JobPhase phase) noexcept {
    job.phase.exchange(static_cast<std::int32_t>(phase));
}

void throwIfCancelled(const Application::AsyncJob& job) {
    if (job.isJobCancelled()) {
        throw std::runtime_error(kPreparationCancelled);
    }
}

// The body of "startRecording", on the job's pool thread: creates the take folder and its files
// from the plan and writes the start document. Touches nothing of the Application; whatever it
// created stays on disk when it fails.
Stage prepareRecordingJob(Application::AsyncJob& job, RecorderTakeConfig plan, Json start) {
    Stage stage;
    try {
        throwIfCancelled(job);
        std::filesystem::create_directories(std::filesystem::path(plan.directory).parent_path());
        stage.preparedRecorder = std::make_unique<RawRecorder>(
            RawRecorder::prepareTake(plan, [&job] { return job.isJobCancelled(); }));
        stage.takeConfig = plan;
        throwIfCancelled(job);
        writeCaptureHealthStartFile(plan.directory, start);
        throwIfCancelled(job);
    } catch (const std::exception& error) {
        stage.error = error.what();
    } catch (...) {
        stage.error = "Recording preparation failed; partial take retained";
    }
    return stage;
}

// The body of "stopRecording" and "stopAudio": lets the writer finish the take (it may still be
// draining a stalled ring) and writes the final capture health.
Stage finalizeRecordingJob(RawRecorder& recorder, Application::AsyncJob& job, std::string path,
                           Json baseline, Json end) {
    Stage stage;
    try {
        recorder.stopWriter();
        if (!path.empty()) {
            writeCaptureHealthFile(path, baseline, end);
        }
    } catch (const std::exception& error) {
        stage.error = error.what();
        return stage;
    } catch (...) {
        stage.error = "Recording finalization failed; audio files retained";
        return stage;
    }
    stage.captureHealth = std::move(end);
    setPhase(job, JobPhase::complete);
    return stage;
}

// The request's params as the job started them: a remote request stays remote.
Json jobParams(const Application::AsyncJob& job) {
    Json params = job.request.is_object() && job.request.contains("params") ? job.request["params"]
                                                                            : Json::object();
    if (job.request.is_object() && job.request.contains("_remote") &&
        job.request["_remote"] == true) {
        params["_remote"] = true;
    }
    return params;
}

} // namespace

bool Impl::isRecordingBusy() const {
    const auto state = recorder.status().state;
    return state == RecorderState::Recording || state == RecorderState::Finalizing ||
           (job && job->stopJob);
}

void Impl::startRecordingJob(AsyncJob& started, const Json& params) {
    const BackendStatus status = backend.status();
    if (!status.running || !graph.hasGraph()) {
        throw std::runtime_error("Start the applied audio session before recording");
    }
    if (isRecordingBusy() || !captureHealthPath.empty()) {
        throw std::runtime_error("Finish the previous recording before starting another take");
    }
    if (!status.error.empty()) {
        throw std::runtime_error("Resolve the audio source error before recording");
    }
    RecorderTakeConfig plan = planRecordingTake(*this, params, status);
    plan.retainedQueueBytes = recorder.status().queueBytes;
    Json start = makeCaptureHealthStart(status, params.at("nodeIds"), nativeSession);
    setPhase(started, JobPhase::preparingRecording);
    started.future = std::async(std::launch::async, prepareRecordingJob, std::ref(started),
                                std::move(plan), std::move(start));
}

void Impl::startStopJob(AsyncJob& started) {
    std::string path = captureHealthPath;
    Json baseline = takeBaseline;
    BackendStatus status = backend.status();
    if (started.method == "stopRecording" && recorder.status().state == RecorderState::Recording &&
        !status.running && status.error.empty()) {
        status.error = "Audio source stopped unexpectedly during recording";
    }
    Json end = path.empty() ? captureHealth : makeCaptureHealthEnd(*this, status);
    captureHealth = end;
    recorder.requestStop();
    setPhase(started, JobPhase::finalizing);
    started.future =
        std::async(std::launch::async, finalizeRecordingJob, std::ref(recorder), std::ref(started),
                   std::move(path), std::move(baseline), std::move(end));
}

bool Impl::completeRecordingJob(AsyncJob& done, Json& reply) {
    Stage& stage = *done.result;
    if (!stage.error.empty()) {
        throw std::runtime_error(stage.error);
    }
    if (done.isJobCancelled()) {
        throw std::runtime_error("Recording preparation cancelled; partial take retained");
    }
    const BackendStatus status = backend.status();
    const RecorderTakeConfig& prepared = stage.takeConfig;
    if (!status.running || !status.error.empty() || !graph.hasGraph() ||
        static_cast<std::uint32_t>(status.sampleRate) != prepared.sampleRate) {
        throw std::runtime_error(kSessionChanged);
    }
    const Json params = jobParams(done);
    const RecorderTakeConfig now = planRecordingTake(*this, params, status);
    // A device restarted with longer blocks would hand the tap blocks its ring cannot hold.
    if (now.blockFrames != prepared.blockFrames) {
        throw std::runtime_error(kSessionChanged);
    }
    if (now.tracks.size() != prepared.tracks.size()) {
        throw std::runtime_error("Armed recording sources changed during preparation");
    }
    for (std::size_t t = 0; t < now.tracks.size(); ++t) {
        if (now.tracks[t].id != prepared.tracks[t].id ||
            now.tracks[t].sourceLanes != prepared.tracks[t].sourceLanes) {
            throw std::runtime_error("Recording sources changed during preparation");
        }
    }
    if (!recorder.installPrepared(*stage.preparedRecorder)) {
        return false; // the audio thread is inside the tap: the next tick tries again
    }
    takeBaseline = makeCaptureHealthStart(status, params.at("nodeIds"), nativeSession);
    recordingSampleRate = static_cast<std::uint32_t>(status.sampleRate);
    captureHealth = Json::object();
    captureHealthPath =
        (std::filesystem::path(prepared.directory) / kCaptureHealthFileName).string();
    reply["result"] = buildControlState();
    return true;
}

void Impl::completeStopJob(AsyncJob& done, Json& reply) {
    try {
        const Stage& stage = *done.result;
        if (!stage.error.empty()) {
            throw std::runtime_error(stage.error);
        }
        captureHealth = stage.captureHealth;
        captureHealthPath.clear();
    } catch (const std::exception& error) {
        const std::string text = error.what();
        captureHealth["captureIssue"] = true;
        captureHealth["error"] =
            text.empty() ? "Recording finalization failed; audio files retained"
                         : "Recording finalization failed; audio files retained: " + text;
        captureHealthPath.clear();
        throw;
    }
    reply["result"] = buildControlState();
}

void Impl::finishCaptureHealth(const BackendStatus& status) {
    recorder.stopWriter();
    if (captureHealthPath.empty()) {
        return;
    }
    Json end = makeCaptureHealthEnd(*this, status);
    writeCaptureHealthFile(captureHealthPath, takeBaseline, end);
    captureHealth = std::move(end);
    captureHealthPath.clear();
}

} // namespace kestravon::ruvi
