// Collecting a finished background job on the UI thread: the conditions are tested again, since
// the world may have moved on while the body ran, and the job becomes one reply and one event.

#include "app/application_impl.h"
#include "app/job_bodies.h"
#include "app/render_callback.h"

#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Impl = Application::Impl;
using AsyncJob = Application::AsyncJob;

// False while the body still runs; the check never waits, so the timer tick stays short.
bool collectStage(AsyncJob& job) {
    if (job.result) {
        return true;
    }
    if (job.future.valid() &&
        job.future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return false;
    }
    try {
        if (!job.future.valid()) {
            throw std::runtime_error("Background operation failed");
        }
        job.result.emplace(job.future.get());
    } catch (const std::exception& e) {
        job.result.emplace();
        job.result->error = e.what();
    } catch (...) {
        job.result.emplace();
        job.result->error = "Background operation failed";
    }
    return true;
}

// Plug-in states go into the held description before its graph is replaced or cleared. This is
// best effort: an insert that cannot capture keeps the state it was applied with, and the load
// the user asked for goes on.
void captureBeforeLeavingGraph(Impl& app) {
    if (!app.graph.hasGraph()) {
        return;
    }
    try {
        app.captureInsertStatesPerInsert();
    } catch (const std::exception&) {
    }
}

void completeFileJob(Impl& app, AsyncJob& job, Json& reply) {
    if (job.isJobCancelled()) {
        throw std::runtime_error("File operation cancelled");
    }
    if (app.backend.status().running || app.isRecordingBusy() || app.revision != job.revision) {
        throw std::runtime_error("Session changed during file loading; previous playback retained");
    }
    AsyncJob::Stage& stage = *job.result;
    const PlaybackConfig& loaded = stage.playbackConfig;
    if (job.method == "loadSession") {
        app.enumerateDevices();
        Json description = stage.document.at("native");
        description["playbackChannels"] = loaded.laneCount;
        description["playbackFiles"] = loaded.files;
        const auto rate = static_cast<std::int32_t>(nativeSampleRate(description));
        captureBeforeLeavingGraph(app);
        std::string error;
        if (!app.graph.applyGraph(description, buildPhysicalChannelLayout(app.devices, rate),
                                  error)) {
            throw std::runtime_error(error);
        }
        std::swap(app.playback, stage.playback);
        app.playbackFiles = loaded.files;
        app.playbackChannels = loaded.laneCount;
        app.nativeSession = std::move(description);
        app.playbackRoutingApplied = true;
        app.uiSession = stage.document.at("uiState");
        app.sceneStates = stage.document.at("sceneStates");
        app.revision += 1;
        Json result = {{"loaded", true}, {"revision", app.revision}, {"uiState", app.uiSession}};
        result["status"] = app.buildControlState();
        reply["result"] = std::move(result);
        return;
    }
    captureBeforeLeavingGraph(app);
    app.graph.clear();
    std::swap(app.playback, stage.playback);
    app.playbackFiles = loaded.files;
    app.playbackChannels = loaded.laneCount;
    // Audio stays refused until a session routes the new lanes.
    app.playbackRoutingApplied = false;
    app.revision += 1;
    Json result = {{"files", app.playbackFiles}, {"revision", app.revision}};
    result["status"] = app.buildControlState();
    reply["result"] = std::move(result);
}

void markFailedFinalization(Impl& app, const std::string& text) {
    const std::string prefix = "Recording finalization failed; audio files retained";
    app.captureHealth["captureIssue"] = true;
    app.captureHealth["error"] = text.empty() ? prefix : prefix + ": " + text;
    app.captureHealthPath.clear();
}

} // namespace

std::vector<Json> Impl::pollAsyncJob() {
    if (!job || !collectStage(*job)) {
        return {};
    }
    // The job is held here, not in `job`: building the snapshot may start the internal stop job,
    // which installs itself there.
    std::unique_ptr<AsyncJob> current = std::move(job);
    Json reply = {{"id", current->request.value("id", 0)}, {"ok", false}};
    try {
        if (!current->result->error.empty()) {
            throw std::runtime_error(current->result->error);
        }
        if (current->recordingJob) {
            if (!completeRecordingJob(*current, reply)) {
                // The take cannot be handed over yet; the next tick tries again.
                job = std::move(current);
                return {};
            }
        } else if (current->stopJob) {
            completeStopJob(*current, reply);
        } else {
            completeFileJob(*this, *current, reply);
        }
        reply["ok"] = true;
    } catch (const std::exception& e) {
        reply.erase("result");
        reply["error"] = e.what();
        if (current->stopJob) {
            markFailedFinalization(*this, e.what());
        }
    } catch (...) {
        reply.erase("result");
        reply["error"] = "File operation failed; existing audio retained";
        if (current->stopJob) {
            markFailedFinalization(*this, "");
        }
    }

    const bool ok = reply.at("ok").get<bool>();
    const auto error = reply.find("error");
    lastJobEvent = {{"busy", false},
                    {"jobId", current->id},
                    {"method", current->method},
                    {"phase", ok ? "complete" : "failed"},
                    {"ok", ok},
                    {"error", error != reply.end() ? *error : Json("")}};
    if (ok) {
        auto result = reply.find("result");
        if (result != reply.end() && result->is_object()) {
            if (result->contains("status")) {
                (*result)["status"]["controlJob"] = lastJobEvent;
            } else if (result->contains("controlJob")) {
                (*result)["controlJob"] = lastJobEvent;
            }
        }
    }
    return {std::move(reply)};
}

} // namespace kestravon::ruvi
