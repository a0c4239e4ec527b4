#pragma once
// The control core's one object.
//
// Thread contract: every member function runs on the UI thread, one call at a time (requests from
// the LAN reach it through the shell's hand-off, never directly). The device backend calls the
// render callback on its clock-master thread with this object as user data; that path touches
// only the render buffers, the playback bank, the live recorder and the graph engine, through
// their lock-free hand-overs. A background job's body runs on a pool thread and shares only its
// job's atomic cancel flag, phase and progress.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestravon::ruvi {

class EditorWindow;
class EndpointCatalogue;

class Application {
public:
    // The machine's endpoints (the virtual set, then ALSA devices and sound servers).
    Application();
    // Tests run on their own endpoint sets.
    explicit Application(std::shared_ptr<EndpointCatalogue> catalogue);
    // Stops audio, cancels and awaits a job, finishes an open take; never throws.
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The request gate: {"id", "method", "params"?, "_remote"?} -> {"id", "ok", "result"|"error"}.
    // Throws "Invalid request id" (and nothing else) when the request is not an object or its
    // "id" is not an integer within signed 32 bits; the caller answers that with id 0.
    nlohmann::json handleRequest(const nlohmann::json& request);

    // A reply whose result."uiState" is carried as JSON text, not as a copy of the document.
    struct TextReply {
        nlohmann::json reply;                           // without result."uiState"
        std::shared_ptr<const std::string> uiStateText; // null when the reply carries none
        // handleRequest(request).dump() of the same request, byte for byte.
        std::string dump() const;
    };
    // handleRequest for the display-rate snapshot poll: a "getControlState" reply carries the
    // shared UI document as its text, written once per revision and shared by every reply of
    // that revision; every other reply is handleRequest's. Throws what handleRequest throws and
    // the json library's error when the UI document cannot be written as text.
    TextReply handleRequestWithUiText(const nlohmann::json& request);

    // The five job methods ("loadPlayback", "loadSession", "startRecording", "stopRecording",
    // "stopAudio") are answered here, always, with a pending reply or a refusal; any other method
    // gives no answer. Never throws for a request the gate accepts.
    std::optional<nlohmann::json> beginAsyncRequest(const nlohmann::json& request);
    // Collects a finished job: none or one reply, with the id of the request that started it.
    std::vector<nlohmann::json> pollAsyncJob();
    void cancelAsyncJob() noexcept;
    [[nodiscard]] bool jobRunning() const noexcept;

    // The control-state snapshot (it may fold editor edits and finish an orphaned take).
    nlohmann::json buildControlState();

    // Plug-in editors of the applied graph, shown in the shell's editor window.
    bool showPluginEditor(const std::string& nodeId, const std::string& insertId,
                          EditorWindow* window, std::string& error);
    void closePluginEditors();
    bool resizePluginEditors(std::int32_t width, std::int32_t height);

    struct AsyncJob;
    struct Impl;
    // The control core's own files and their tests reach the members through this.
    Impl& impl() noexcept { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kestravon::ruvi
