#pragma once
// A take's capture-health report: did the audio that reached the recorder arrive without gaps?
// A start record of the backend's counters when the take is planned, an end record of what
// accrued during the take, and capture-health.json in the take folder.

#include "app/application.h"
#include "audio/backend_status.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace kestravon::ruvi {

inline constexpr const char* kCaptureHealthFileName = "capture-health.json";

// The counters at planning time, the armed ids and the applied description.
nlohmann::json makeCaptureHealthStart(const BackendStatus& status, const nlohmann::json& nodeIds,
                                      const nlohmann::json& nativeSession);

// Every endpoint's own totals, and the take's deltas of the capture sums and backend counters
// against the application's take baseline.
nlohmann::json makeCaptureHealthEnd(const Application::Impl& application,
                                    const BackendStatus& status);

// The start document, written by atomic replace into the take folder. Throws on failure.
void writeCaptureHealthStartFile(const std::string& takeFolder, const nlohmann::json& start);

// The final document at `path`, written by atomic replace so that a crash or a full disk leaves
// the start document in place. Never throws: a failure is reported inside `end`.
void writeCaptureHealthFile(const std::string& path, const nlohmann::json& start,
                            nlohmann::json& end) noexcept;

} // namespace kestravon::ruvi
