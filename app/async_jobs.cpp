// Starting and cancelling background jobs: the checks and the quick, order-sensitive changes run
// here on the UI thread; the slow rest runs as the one job's body on a pool thread.

#include "app/application_impl.h"
#include "app/job_bodies.h"
#include "app/json_read.h"
#include "app/local_path.h"

#include <exception>
#include <future>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Impl = Application::Impl;

constexpr std::size_t kMaxPlaybackPaths = 128;

bool isJobMethod(std::string_view method) {
    return method == "loadPlayback" || method == "loadSession" || method == "startRecording" ||
           method == "stopRecording" || method == "stopAudio";
}

bool flaggedRemote(const Json& value) {
    if (!value.is_object()) {
        return false;
    }
    const auto remote = value.find("_remote");
    return remote != value.end() && remote->is_boolean() && remote->get<bool>();
}

// Audio stops and every plug-in's state is captured into the held description before the graph
// goes. One insert that cannot capture does not cost the others theirs: what captured is kept,
// and the failure is reported after the graph is cleared.
void stopAudioKeepingInsertStates(Impl& app, bool foldEdits) {
    app.playback->stop();
    app.backend.stop();
    if (foldEdits) {
        app.foldEditorParameterEdits();
    }
    app.graph.closeEditors();
    std::string captureError;
    try {
        app.captureInsertStatesPerInsert();
    } catch (const std::exception& e) {
        captureError = e.what();
    }
    app.syncUiParametersFromNative();
    app.graph.clear();
    if (!captureError.empty()) {
        throw std::runtime_error(captureError);
    }
}

} // namespace

std::optional<Json> Impl::beginAsyncRequest(const Json& request) {
    if (!request.is_object()) {
        return std::nullopt;
    }
    const auto methodField = request.find("method");
    if (methodField == request.end() || !methodField->is_string() ||
        !isJobMethod(methodField->get_ref<const std::string&>())) {
        return std::nullopt;
    }
    const std::string method = methodField->get<std::string>();
    Json reply = {{"id", readRequestId(request)}, {"ok", false}};
    try {
        if (job) {
            if (method == "stopAudio" && (job->stopJob || job->recordingJob)) {
                reply["result"] = stopAudioNow(request);
                reply["ok"] = true;
                return reply;
            }
            throw std::runtime_error("A file operation is still completing; please wait");
        }
        foldEditorParameterEdits();
        Json params = request.value("params", Json::object());
        if (flaggedRemote(request)) {
            params["_remote"] = true;
        }
        const bool remote = flaggedRemote(params);
        if (remote && method != "startRecording" && method != "stopRecording") {
            throw std::runtime_error("File and audio configuration is local-only");
        }
        const bool fileJob = method == "loadPlayback" || method == "loadSession";
        if (fileJob && (backend.status().running || isRecordingBusy())) {
            throw std::runtime_error("Stop audio and recording before loading files");
        }

        // From here on the job has its id, even when a later check refuses it.
        auto created = std::make_unique<AsyncJob>();
        created->request = request;
        created->id = static_cast<std::int64_t>(nextJobId++);
        created->revision = revision;
        created->method = method;
        created->stopJob = method == "stopRecording" || method == "stopAudio";
        created->recordingJob = method == "startRecording";

        if (created->recordingJob) {
            startRecordingJob(*created, params);
        } else if (created->stopJob) {
            if (method == "stopAudio") {
                stopAudioKeepingInsertStates(*this, false);
            }
            startStopJob(*created);
        } else {
            backend.stop();
            graph.dropRetired();
            graph.closeEditors();
            const std::uint32_t sampleRate = nativeSampleRate(nativeSession);
            const std::uint64_t residentBytes = playback->status().residentAudioBytes;
            if (method == "loadPlayback") {
                const auto paths = params.is_object() ? params.find("paths") : params.end();
                if (!params.is_object() || paths == params.end() || !paths->is_array() ||
                    paths->empty() || paths->size() > kMaxPlaybackPaths) {
                    throw std::runtime_error("Choose between 1 and 128 local WAV files");
                }
            } else {
                (void)localPathFromUtf8(params.at("path").get<std::string>());
            }
            AsyncJob& body = *created;
            created->future = std::async(
                std::launch::async, [&body, params, sampleRate, residentBytes]() mutable {
                    return loadFilesJob(body, std::move(params), sampleRate, residentBytes);
                });
        }
        job = std::move(created);
        reply["ok"] = true;
        reply["result"] = {{"jobId", job->id}, {"method", method}, {"pending", true}};
    } catch (const std::exception& e) {
        reply["ok"] = false;
        reply.erase("result");
        reply["error"] = e.what();
    }
    return reply;
}

void Impl::cancelAsyncJob() noexcept {
    if (job) {
        job->cancelRequested.store(true);
    }
}

Json Impl::stopAudioNow(const Json& request) {
    if (flaggedRemote(request) || flaggedRemote(request.value("params", Json::object()))) {
        throw std::runtime_error("Audio configuration is local-only");
    }
    if (job && job->recordingJob) {
        job->cancelRequested.store(true);
    }
    stopAudioKeepingInsertStates(*this, true);
    return buildControlState();
}

} // namespace kestravon::ruvi
