// localRequest: the native branches (editor window, file dialogs, LAN settings), then the job
// starter, then the gate; the LAN status joins three replies.

#include "shell/request_front.h"

#include "app/application.h"
#include "app/json_read.h"
#include "common/json_text.h"
#include "common/utf8.h"
#include "shell/editor_host.h"
#include "shell/native_dialogs.h"
#include "shell/remote_settings.h"

#include <sys/stat.h>

#include <exception>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxChosenWavFiles = 128;

const Json kStatusRequest = {{"id", 0}, {"method", "getControlState"}, {"params", {{"after", 0}}}};
constexpr std::string_view kSessionExtension = ".kestavel";

Json failure(std::int32_t id, const std::string& text) {
    return {{"id", id}, {"ok", false}, {"error", text}};
}

Json cancelled(std::int32_t id) {
    return {{"id", id}, {"ok", true}, {"result", {{"cancelled", true}}}};
}

bool endsWith(std::string_view text, std::string_view tail) noexcept {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool fileExists(const std::string& path) noexcept {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

const Json& paramsOf(const Json& request) {
    static const Json empty = Json::object();
    const auto params = request.find("params");
    return params == request.end() ? empty : *params;
}

bool hasMember(const Json& value, const char* key) {
    return value.is_object() && value.contains(key);
}

} // namespace

RequestFront::RequestFront(Application& app, NativeDialogs& dialogs, EditorHost& editors,
                           RemoteServer& server, RemoteServer::ControlHandler controlHandler,
                           FrontConfig config)
    : app_(app), dialogs_(dialogs), editors_(editors), server_(server),
      controlHandler_(std::move(controlHandler)), config_(std::move(config)) {}

Json RequestFront::localRequest(const Json& request) {
    std::int32_t id = 0;
    try {
        id = readRequestId(request);
    } catch (const std::exception& e) {
        return failure(0, e.what());
    }
    try {
        const auto methodValue = request.find("method");
        const std::string method = methodValue != request.end() && methodValue->is_string()
                                       ? methodValue->get<std::string>()
                                       : std::string();
        const auto remoteValue = request.find("_remote");
        const bool remote =
            remoteValue != request.end() && remoteValue->is_boolean() && remoteValue->get<bool>();
        if (method == "showVstEditor") {
            return showVstEditor(request, id, remote);
        }
        if ((method == "saveSession" || method == "loadSession") && !remote &&
            !hasMember(paramsOf(request), "path")) {
            return sessionDialog(request, id, method == "saveSession");
        }
        if (method == "loadPlayback" && !remote && !hasMember(paramsOf(request), "paths")) {
            return playbackDialog(request, id);
        }
        if (method == "configureRemote") {
            return configureRemote(request, id, remote);
        }
        return dispatch(request, method);
    } catch (const std::exception& e) {
        return failure(id, e.what());
    } catch (...) {
        return failure(id, "Native request failed");
    }
}

Json RequestFront::showVstEditor(const Json& request, std::int32_t id, bool remote) {
    if (remote) {
        return failure(id, "Use Parameters on remote devices; native editor opens on the stage "
                           "computer");
    }
    // Everything that can refuse is checked before the user's open editor is closed.
    const Json& params = request.at("params");
    const std::string nodeId = params.at("nodeId").get<std::string>();
    const std::string slotId = params.at("slotId").get<std::string>();
    if (app_.jobRunning()) {
        return failure(id, "Wait for the file operation before opening a plugin editor");
    }
    app_.closePluginEditors();
    editors_.destroyEditorWindow();
    std::string error;
    try {
        EditorWindow* window = editors_.createEditorWindow(error);
        if (window == nullptr) {
            return failure(id, error.empty() ? "Could not create the editor window" : error);
        }
        if (!app_.showPluginEditor(nodeId, slotId, window, error)) {
            app_.closePluginEditors();
            editors_.destroyEditorWindow();
            return failure(id, error);
        }
        editors_.showEditorWindow();
    } catch (...) {
        app_.closePluginEditors();
        editors_.destroyEditorWindow();
        throw;
    }
    return {{"id", id}, {"ok", true}, {"result", {{"shown", true}}}};
}

Json RequestFront::sessionDialog(const Json& request, std::int32_t id, bool save) {
    std::optional<std::string> chosen;
    for (;;) {
        chosen = save ? dialogs_.chooseSessionToSave() : dialogs_.chooseSessionToOpen();
        if (!chosen) {
            return cancelled(id);
        }
        if (!isValidUtf8(*chosen)) {
            return failure(id, "Invalid UTF-8 file path");
        }
        if (!save || endsWith(*chosen, kSessionExtension)) {
            break;
        }
        // The chooser asked about the name as typed; the name with the extension is new to it.
        chosen->append(kSessionExtension);
        if (!fileExists(*chosen) || dialogs_.confirmReplace(*chosen)) {
            break;
        }
    }
    Json completed = request;
    completed["params"]["path"] = *chosen;
    return localRequest(completed);
}

Json RequestFront::playbackDialog(const Json& request, std::int32_t id) {
    const std::optional<std::vector<std::string>> chosen = dialogs_.chooseWavFiles();
    if (!chosen) {
        return cancelled(id);
    }
    Json paths = Json::array();
    for (const std::string& path : *chosen) {
        if (paths.size() == kMaxChosenWavFiles) {
            return failure(id, "Select at most 128 WAV files");
        }
        if (!isValidUtf8(path)) {
            return failure(id, "Invalid UTF-8 file path");
        }
        paths.push_back(path);
    }
    Json completed = request;
    completed["params"]["paths"] = std::move(paths);
    return localRequest(completed);
}

Json RequestFront::configureRemote(const Json& request, std::int32_t id, bool remote) {
    if (remote) {
        return failure(id, "Configure LAN control on the stage computer");
    }
    const Json& params = paramsOf(request);
    const RemoteSettingsDecision decision = validateRemoteSettings(params, server_.status());
    switch (decision.action) {
    case RemoteSettingsDecision::Action::restart: {
        server_.disable();
        std::string error;
        const std::string& password = params.at("password").get_ref<const std::string&>();
        if (!server_.enable(config_.webRoot, password, decision.port, controlHandler_, error,
                            config_.loopbackOnly || lanLoopbackOnlyFromEnvironment())) {
            return failure(id, error);
        }
        break;
    }
    case RemoteSettingsDecision::Action::stop:
        server_.disable();
        break;
    case RemoteSettingsDecision::Action::keep:
        break;
    }
    return {{"id", id}, {"ok", true}, {"result", server_.status()}};
}

Json RequestFront::dispatch(const Json& request, const std::string& method) {
    if (std::optional<Json> answer = app_.beginAsyncRequest(request)) {
        if (answer->value("ok", false)) {
            const auto result = answer->find("result");
            if (result != answer->end() && result->is_object() && result->value("pending", false)) {
                const auto remote = request.find("_remote");
                pageOwnsJob_ =
                    !(remote != request.end() && remote->is_boolean() && remote->get<bool>());
                jobReplyArmed_ = true;
            }
        }
        return std::move(*answer);
    }
    Json reply = app_.handleRequest(request);
    addFrontMembers(method, reply);
    return reply;
}

void RequestFront::addFrontMembers(const std::string& method, Json& reply) {
    if (!reply.value("ok", false)) {
        return;
    }
    Json& result = reply["result"];
    if (method == "capabilities" && result.is_object()) {
        result["remote"] = true;
    } else if (method == "status" && result.is_object()) {
        result["remote"] = server_.status();
    } else if (method == "getControlState" && result.is_object() && result.contains("status") &&
               result["status"].is_object()) {
        result["status"]["remote"] = server_.status();
    }
}

std::vector<Json> RequestFront::collectFinishedJobs() {
    std::vector<Json> toPage;
    std::vector<Json> replies;
    try {
        replies = app_.pollAsyncJob();
    } catch (...) {
        return toPage;
    }
    for (Json& reply : replies) {
        const Json idValue = reply.value("id", Json(0));
        if (jobReplyArmed_ && pageOwnsJob_ && idValue != Json(0)) {
            toPage.push_back(std::move(reply));
        }
        jobReplyArmed_ = false;
    }
    return toPage;
}

Json RequestFront::statusEvent() {
    const Json reply = localRequest(kStatusRequest);
    const auto result = reply.find("result");
    return {{"event", "status"}, {"result", result != reply.end() ? *result : Json::object()}};
}

std::string RequestFront::statusEventText() {
    // The path localRequest takes for this request: no native branch and no job method, so
    // straight to the gate.
    Application::TextReply answer = app_.handleRequestWithUiText(kStatusRequest);
    addFrontMembers("getControlState", answer.reply);
    const auto result = answer.reply.find("result");
    const Json event = {
        {"event", "status"},
        {"result", result != answer.reply.end() ? std::move(*result) : Json::object()}};
    return answer.uiStateText
               ? dumpWithMemberText(event, {"result"}, "uiState", *answer.uiStateText)
               : event.dump();
}

} // namespace kestravon::ruvi
