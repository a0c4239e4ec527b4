#pragma once
// The Application's members and the control core's internal calls, shared by the files of app/
// and by their tests. Nothing outside app/ and tests/app/ includes this header.
//
// Members are declared in construction order; the destructor runs its explicit shut-down steps
// (application.cpp) before they are destroyed in reverse order.

#include "app/application.h"

#include "audio/backend_status.h"
#include "audio/device_records.h"
#include "audio/endpoint_catalogue.h"
#include "audio/wasapi_backend.h"
#include "engine/native_graph_engine.h"
#include "media/playback_bank.h"
#include "media/playback_config.h"
#include "media/raw_recorder.h"
#include "media/take_config.h"

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestravon::ruvi {

// System-wide limits of one render block.
inline constexpr std::size_t kMaxRenderChannels = 256;
inline constexpr std::size_t kMaxRenderFrames = 4096;

// The phase words clients see for a background job, by code.
enum class JobPhase : std::int32_t {
    inspecting = 0,
    decoding = 1,
    resampling = 2,
    preparing = 3,
    finalizing = 4,
    complete = 5,
    preparingRecording = 6,
};

// The word of a phase code; codes outside 0..6 read as the nearest end.
const char* jobPhaseWord(std::int32_t code) noexcept;

// The one background job. The body runs on a pool thread and shares only cancelRequested, phase
// and phaseProgress with the UI thread; everything else is the UI thread's.
struct Application::AsyncJob {
    // What a body hands back to the UI thread.
    struct Stage {
        std::unique_ptr<PlaybackBank> playback;
        std::unique_ptr<RawRecorder> preparedRecorder;
        RecorderTakeConfig takeConfig;
        PlaybackConfig playbackConfig;
        nlohmann::json document;      // a loaded session payload, else null
        nlohmann::json captureHealth; // the end record of a finished take, else null
        std::string error;            // empty when the body succeeded
    };

    nlohmann::json request; // as received ("_remote" only when the request carried it)
    std::int64_t id = 0;
    std::int64_t revision = 0; // Application revision when the job started
    std::string method;
    bool stopJob = false;      // "stopRecording", "stopAudio"
    bool recordingJob = false; // "startRecording"
    std::atomic<bool> cancelRequested{false};
    std::atomic<std::int32_t> phase{0};
    std::atomic<double> phaseProgress{0.0};
    std::future<Stage> future;
    std::optional<Stage> result;

    // The callbacks handed to the playback loader and the take preparation (pool thread).
    bool isJobCancelled() const noexcept { return cancelRequested.load(); }
    void reportJobProgress(std::string_view stage, double fraction) noexcept;
};

// Float storage on a 32-byte boundary, zero-filled by hand (not calloc): pages first touched on
// the SCHED_FIFO audio thread would fault there.
struct AlignedFloatBlock {
    explicit AlignedFloatBlock(std::size_t count);
    ~AlignedFloatBlock();
    AlignedFloatBlock(const AlignedFloatBlock&) = delete;
    AlignedFloatBlock& operator=(const AlignedFloatBlock&) = delete;
    float* data = nullptr;
    std::size_t count = 0;
};

struct Application::Impl {
    explicit Impl(std::shared_ptr<EndpointCatalogue> endpoints);
    ~Impl();

    // Where endpoints come from: the backend and every enumeration use the same catalogue.
    std::shared_ptr<EndpointCatalogue> catalogue;

    WasapiBackend backend;
    NativeGraphEngine graph;
    RawRecorder recorder;
    nlohmann::json nativeSession; // applied native description, or null
    // Shared UI document, or null. Every change steps `revision` (clients ask for the document
    // by revision, and its text is kept per revision: uiSessionText).
    nlohmann::json uiSession;
    nlohmann::json sceneStates = nlohmann::json::object(); // scene id -> {"native", "uiState"}
    std::int64_t revision = 0;
    std::unique_ptr<PlaybackBank> playback;
    nlohmann::json playbackFiles = nlohmann::json::array(); // the playback catalogue
    std::uint32_t playbackChannels = 0;
    bool playbackRoutingApplied = true;
    AlignedFloatBlock playbackBlock{kMaxRenderChannels * kMaxRenderFrames};
    std::array<float*, kMaxRenderChannels> playbackChannelBuffers{};
    std::array<const float*, kMaxRenderChannels> renderInputs{};
    std::vector<EndpointInfo> devices;
    nlohmann::json takeBaseline = nlohmann::json::object();
    nlohmann::json captureHealth = nlohmann::json::object();
    std::string captureHealthPath; // UTF-8; non-empty from recording start until finalized
    std::uint32_t recordingSampleRate = 0;
    std::unique_ptr<AsyncJob> job;
    std::uint64_t nextJobId = 1;
    nlohmann::json lastJobEvent = nlohmann::json::object();
    std::shared_ptr<const std::string> uiText; // uiSession's text at uiTextRevision, or null
    std::int64_t uiTextRevision = 0;

    // ---- request gate and dispatcher (request_gate.cpp)
    // With `uiStateText`, a "getControlState" reply carries the UI document as text there.
    nlohmann::json handleRequest(const nlohmann::json& request,
                                 std::shared_ptr<const std::string>* uiStateText = nullptr);
    nlohmann::json callNativeMethod(nlohmann::json& params, const std::string& method);

    // ---- device and audio methods (device_methods.cpp)
    nlohmann::json capabilities() const;
    nlohmann::json listDevices();
    nlohmann::json listPlugins() const;
    nlohmann::json startAudio(const nlohmann::json& params);
    nlohmann::json getControlState(const nlohmann::json& params);
    // getControlState's reply without "uiState"; `withUi` tells whether it belongs there.
    nlohmann::json getControlStateWithoutUi(const nlohmann::json& params, bool& withUi);
    // uiSession as dump() writes it, made once per revision.
    std::shared_ptr<const std::string> uiSessionText();
    nlohmann::json status();
    // Enumerates into `devices`; a non-empty error text fails with that text.
    void enumerateDevices();

    // ---- control-state snapshot (control_state.cpp)
    nlohmann::json buildControlState();
    std::uint64_t takeCounterDelta(const std::string& key, std::uint64_t counter) const;

    // ---- shared session document (session_document.cpp)
    void foldEditorParameterEdits();
    void syncUiParametersFromNative();
    nlohmann::json captureSessionPayload();
    // Captures plug-in states into `nativeSession` insert by insert: every insert that captured
    // is written; the first failure is thrown as "VST3 insert <id>: <text>".
    void captureInsertStatesPerInsert();

    // ---- session, playback transport (session_methods.cpp)
    nlohmann::json applySession(const nlohmann::json& params);
    nlohmann::json unloadPlayback(const nlohmann::json& params);
    nlohmann::json playPlayback();
    nlohmann::json stopPlayback();
    nlohmann::json seekPlayback(const nlohmann::json& params);
    nlohmann::json setPlaybackLoop(const nlohmann::json& params);
    // A copy of `description` with the loaded lanes: "playbackChannels" and "playbackFiles".
    nlohmann::json attachPlaybackToNative(const nlohmann::json& description) const;

    // ---- session files (session_file_methods.cpp)
    nlohmann::json saveSession(const nlohmann::json& params);

    // ---- live controls (live_controls.cpp)
    nlohmann::json setParameter(const nlohmann::json& params);
    nlohmann::json setStripProcessing(const nlohmann::json& params);
    nlohmann::json setVstParameter(const nlohmann::json& params);
    nlohmann::json getVstParameters(const nlohmann::json& params) const;
    nlohmann::json setInsertBypass(const nlohmann::json& params);
    nlohmann::json setSendLevel(const nlohmann::json& params);
    nlohmann::json uiPatch(const nlohmann::json& params);

    // ---- scenes (scene_methods.cpp)
    nlohmann::json captureScene(const nlohmann::json& params);
    nlohmann::json recallScene(const nlohmann::json& params);

    // ---- background jobs (async_jobs.cpp, job_completion.cpp)
    std::optional<nlohmann::json> beginAsyncRequest(const nlohmann::json& request);
    std::vector<nlohmann::json> pollAsyncJob();
    void cancelAsyncJob() noexcept;
    // The immediate "stopAudio" while a stop or recording job runs; throws on a failed capture.
    nlohmann::json stopAudioNow(const nlohmann::json& request);

    // ---- recording (recording_jobs.cpp, take_planning.cpp, capture_health.cpp)
    bool isRecordingBusy() const;
    // Starts the body of a "startRecording" job already created as `job`; throws its refusals.
    void startRecordingJob(AsyncJob& job, const nlohmann::json& params);
    // Starts the body of a stop job ("stopRecording", "stopAudio") created as `job`.
    void startStopJob(AsyncJob& job);
    // Completions of a collected recording or stop job: fill reply "result" or throw. A recording
    // job whose take cannot be installed yet returns false (try again on the next tick).
    bool completeRecordingJob(AsyncJob& job, nlohmann::json& reply);
    void completeStopJob(AsyncJob& job, nlohmann::json& reply);
    // Shut-down: stops the live recorder's writer and writes a pending final capture health.
    void finishCaptureHealth(const BackendStatus& status);
};

} // namespace kestravon::ruvi
