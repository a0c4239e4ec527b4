#pragma once
// The native front of every request: the page, the LAN hand-off, pairing and the status tick all
// come through localRequest on the UI thread.

#include "remote/remote_server.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace kestravon::ruvi {

class Application;
class EditorHost;
class NativeDialogs;

struct FrontConfig {
    std::string webRoot;       // the page files, also served by the LAN server
    bool loopbackOnly = false; // every LAN enable listens on 127.0.0.1 only
};

class RequestFront {
public:
    RequestFront(Application& app, NativeDialogs& dialogs, EditorHost& editors,
                 RemoteServer& server, RemoteServer::ControlHandler controlHandler,
                 FrontConfig config);

    // UI thread only; never throws. May run inside itself: a dialog branch dispatches the
    // completed request, and a modal dialog lets ticks and queued requests run.
    nlohmann::json localRequest(const nlohmann::json& request);

    // Collects a finished job; returns the replies the page should see: only the first reply
    // after a page-started job, and never one with id 0.
    std::vector<nlohmann::json> collectFinishedJobs();
    // {"event": "status", "result": getControlState {"after": 0}'s result, or {}}.
    nlohmann::json statusEvent();
    // statusEvent() as its compact JSON text, byte for byte, for the display-rate tick: the UI
    // document goes in from its text kept per revision instead of being copied and written again.
    // Throws the json library's error when the snapshot cannot be written as text.
    std::string statusEventText();

    [[nodiscard]] bool pageOwnsJob() const noexcept { return pageOwnsJob_; }
    [[nodiscard]] bool jobReplyArmed() const noexcept { return jobReplyArmed_; }

private:
    nlohmann::json showVstEditor(const nlohmann::json& request, std::int32_t id, bool remote);
    nlohmann::json sessionDialog(const nlohmann::json& request, std::int32_t id, bool save);
    nlohmann::json playbackDialog(const nlohmann::json& request, std::int32_t id);
    nlohmann::json configureRemote(const nlohmann::json& request, std::int32_t id, bool remote);
    nlohmann::json dispatch(const nlohmann::json& request, const std::string& method);
    // What the front adds to a successful reply of the gate: the LAN server's part.
    void addFrontMembers(const std::string& method, nlohmann::json& reply);

    Application& app_;
    NativeDialogs& dialogs_;
    EditorHost& editors_;
    RemoteServer& server_;
    RemoteServer::ControlHandler controlHandler_;
    FrontConfig config_;
    bool pageOwnsJob_ = false;
    bool jobReplyArmed_ = false;
};

} // namespace kestravon::ruvi
