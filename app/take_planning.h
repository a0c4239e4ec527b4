#pragma once
// Turning a "startRecording" request into a take for the live recorder.

#include "app/application.h"
#include "audio/backend_status.h"
#include "media/take_config.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace kestravon::ruvi {

// Checks the request against the applied session, the shared UI document (for a remote request)
// and the running device, and plans one track per armed input strip. The ring is sized by time:
// device-sized blocks, slots for ten seconds, within the queue budget beside the live recorder's
// current ring. Throws the user-facing refusal; nothing is created.
RecorderTakeConfig planRecordingTake(Application::Impl& application, const nlohmann::json& params,
                                     const BackendStatus& status);

// "Take-YYYYMMDD-HHMMSS-mmm-<pid>" for a UTC time given as seconds and milliseconds.
std::string takeFolderName(std::int64_t utcSeconds, std::uint32_t milliseconds,
                           unsigned long processId);

} // namespace kestravon::ruvi
