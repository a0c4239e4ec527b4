// The request gate and the method table: the one index of the native method set.

#include "app/application_impl.h"
#include "app/json_read.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using Impl = Application::Impl;

bool isReadOnlyMethod(std::string_view method) {
    return method == "capabilities" || method == "getControlState" ||
           method == "getVstParameters" || method == "status";
}

bool isLiveControlMethod(std::string_view method) {
    return method == "playPlayback" || method == "seekPlayback" || method == "setInsertBypass" ||
           method == "setParameter" || method == "setPlaybackLoop" || method == "setSendLevel" ||
           method == "setStripProcessing" || method == "setVstParameter" ||
           method == "stopPlayback" || method == "uiPatch";
}

// While a job runs only reads pass, and live controls too while the job records or stops.
void checkJobGate(const Application::AsyncJob& job, const std::string& method, const Json& params) {
    if (isReadOnlyMethod(method)) {
        return;
    }
    if (!isLiveControlMethod(method) || !(job.stopJob || job.recordingJob)) {
        throw std::runtime_error(
            "A file operation is completing; wait before changing this configuration");
    }
    if (job.recordingJob && method == "uiPatch") {
        std::string key;
        if (params.is_object()) {
            const auto patch = params.find("uiPatch");
            if (patch != params.end() && patch->is_object()) {
                key = patch->value("key", std::string());
            }
        }
        if (key == "arm") {
            throw std::runtime_error("Wait for recording preparation before changing armed tracks");
        }
    }
}

using Method = Json (*)(Impl&, const Json&);

struct MethodEntry {
    std::string_view name;
    Method run;
};

// Tested in this order; the first match runs.
constexpr MethodEntry kMethods[] = {
    {"capabilities", [](Impl& a, const Json&) { return a.capabilities(); }},
    {"devices", [](Impl& a, const Json&) { return a.listDevices(); }},
    {"plugins", [](Impl& a, const Json&) { return a.listPlugins(); }},
    {"applySession", [](Impl& a, const Json& p) { return a.applySession(p); }},
    {"unloadPlayback", [](Impl& a, const Json& p) { return a.unloadPlayback(p); }},
    {"playPlayback", [](Impl& a, const Json&) { return a.playPlayback(); }},
    {"stopPlayback", [](Impl& a, const Json&) { return a.stopPlayback(); }},
    {"seekPlayback", [](Impl& a, const Json& p) { return a.seekPlayback(p); }},
    {"setPlaybackLoop", [](Impl& a, const Json& p) { return a.setPlaybackLoop(p); }},
    {"setParameter", [](Impl& a, const Json& p) { return a.setParameter(p); }},
    {"setStripProcessing", [](Impl& a, const Json& p) { return a.setStripProcessing(p); }},
    {"setVstParameter", [](Impl& a, const Json& p) { return a.setVstParameter(p); }},
    {"getVstParameters", [](Impl& a, const Json& p) { return a.getVstParameters(p); }},
    {"setInsertBypass", [](Impl& a, const Json& p) { return a.setInsertBypass(p); }},
    {"setSendLevel", [](Impl& a, const Json& p) { return a.setSendLevel(p); }},
    {"startAudio", [](Impl& a, const Json& p) { return a.startAudio(p); }},
    {"saveSession", [](Impl& a, const Json& p) { return a.saveSession(p); }},
    {"captureScene", [](Impl& a, const Json& p) { return a.captureScene(p); }},
    {"recallScene", [](Impl& a, const Json& p) { return a.recallScene(p); }},
    {"getControlState", [](Impl& a, const Json& p) { return a.getControlState(p); }},
    {"uiPatch", [](Impl& a, const Json& p) { return a.uiPatch(p); }},
    {"status", [](Impl& a, const Json&) { return a.status(); }},
};

} // namespace

Json Impl::handleRequest(const Json& request, std::shared_ptr<const std::string>* uiStateText) {
    Json reply = {{"id", readRequestId(request)}, {"ok", false}};
    std::string method;
    Json params;
    bool withUi = false;
    try {
        method = request.at("method").get<std::string>();
        params = request.value("params", Json::object());
    } catch (const std::exception& e) {
        reply["error"] = e.what();
        return reply;
    }
    try {
        const auto remote = request.find("_remote");
        if (remote != request.end() && remote->get<bool>()) {
            params["_remote"] = true;
        }
        if (job) {
            checkJobGate(*job, method, params);
        }
        foldEditorParameterEdits();
        if (uiStateText != nullptr && method == "getControlState") {
            reply["result"] = getControlStateWithoutUi(params, withUi);
        } else {
            reply["result"] = callNativeMethod(params, method);
        }
        reply["ok"] = true;
    } catch (const std::exception& e) {
        reply.erase("result");
        reply["error"] = e.what();
        withUi = false;
    }
    // Outside the gate: a document that cannot be written fails as the plain reply's dump would.
    if (withUi) {
        *uiStateText = uiSessionText();
    }
    return reply;
}

Json Impl::callNativeMethod(Json& params, const std::string& method) {
    for (const auto& entry : kMethods) {
        if (entry.name == method) {
            return entry.run(*this, params);
        }
    }
    throw std::runtime_error("Native method not implemented: " + method);
}

} // namespace kestravon::ruvi
