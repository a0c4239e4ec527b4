// Saving the shared session to a file: a fresh capture of every document is written first, and
// kept as the held documents only once the file is on disk.

#include "app/application_impl.h"
#include "app/local_path.h"
#include "app/session_document.h"
#include "app/session_file_store.h"

#include <stdexcept>
#include <string>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

Json Impl::saveSession(const Json& params) {
    if (params.value("_remote", false)) {
        throw std::runtime_error("Session files are local-only");
    }
    checkBaseRevision(params, revision);
    const auto ui = params.find("uiState");
    if (ui != params.end() && *ui != uiSession) {
        throw std::runtime_error("Apply the shared session before saving");
    }
    // Until a session routes the loaded lanes, the held catalogue still names the files that
    // were there before the last load or unload; saving now would write the wrong files.
    if (!playbackRoutingApplied) {
        throw std::runtime_error("Apply the file routing after loading or unloading WAV files");
    }
    Json payload = captureSessionPayload();
    const std::string warning =
        saveSessionFile(localPathFromUtf8(params.at("path").get<std::string>()), payload);
    nativeSession = std::move(payload.at("native"));
    if (payload.at("uiState") != uiSession) {
        revision += 1;
    }
    // An equal document may still read differently (1 and 1.0 compare equal).
    uiText = nullptr;
    uiSession = std::move(payload.at("uiState"));
    sceneStates = std::move(payload.at("sceneStates"));
    Json reply = {{"saved", true}, {"revision", revision}, {"status", buildControlState()}};
    if (!warning.empty()) {
        reply["durabilityWarning"] = warning; // saved all the same: the file is the new session
    }
    return reply;
}

} // namespace kestravon::ruvi
