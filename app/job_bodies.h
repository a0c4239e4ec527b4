#pragma once
// The body of the file jobs ("loadPlayback", "loadSession") and the one reading of a session's
// sample rate that the job start, the body and the completion share.

#include "app/application_impl.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace kestravon::ruvi {

// Runs on the job's pool thread on copies only; shares the job's cancel flag, phase and progress
// with the UI thread. Never throws: a failure is the Stage's error.
Application::AsyncJob::Stage loadFilesJob(Application::AsyncJob& job, nlohmann::json params,
                                          std::uint32_t sampleRate, std::uint64_t residentBytes);

// "sampleRate" of a native description: 48000 when absent (or the description is not an
// object), else an integer from 8000 to 192000; anything else throws "Invalid sampleRate".
std::uint32_t nativeSampleRate(const nlohmann::json& native);

} // namespace kestravon::ruvi
